// Check value, record texts and the shared date-time form.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CheckValue.h"
#include "DateTimeText.h"
#include "Records.h"

namespace vontal {
namespace {

TEST(CheckValue, KnownValues) {
    EXPECT_EQ(CheckValue(50, 50, 20'000'000'000'001, 30'000'000'000'000, "4.4"), "BB1C9EA2C6");
    EXPECT_EQ(CheckValue(100, 100, 3, 1000, "4.4"), "BB7A2F4868");
    // From 65,536 on, n*n wraps at 2^32 before it is reduced: 65536^2 = 0 (mod 2^32).
    EXPECT_EQ(CheckValue(65536, 65536, 3, 1000, "4.4"), "BB00000000");
    // Always ten characters; the version digits are the complements of major and minor.
    EXPECT_EQ(CheckValue(8, 8, 3, 3, "4.4").size(), 10u);
    EXPECT_EQ(CheckValue(8, 8, 3, 3, "5.2").substr(0, 2), "AD");
}

TEST(Records, Texts) {
    EXPECT_EQ(ModelRecord(6, 2400), "Model 6  2400MHz");
    EXPECT_EQ(HeaderRecord(50, "20e12") + EndRecord("30e12", "BB1C9EA2C6", ""),
              "\r\nn=50  k from 20e12 up to 30e12, CODO=BB1C9EA2C6, Date/Time:");
    EXPECT_EQ(FoundRecord(12, 7, 14), "\r\nfound m=12,  k=7,  n=14\r\n7.2^14+1 divides F_12\r\n");
    EXPECT_EQ(FormatThousands(20'000'000'000'001), "20,000,000,000,001");
    EXPECT_EQ(FormatThousands(999), "999");
    EXPECT_EQ(FormatThousands(1000, '.'), "1.000");
}

TEST(Records, LogBeginsWithModelRecordAndIsRecreated) {
    const auto dir = std::filesystem::temp_directory_path() / "vontal-records-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    AppendToLog(dir, HeaderRecord(8, "3"), 6, 2400);
    AppendToLog(dir, EndRecord("100", "BB00000000", "x"), 6, 2400);
    auto read = [&] {
        std::ifstream in(dir / kLogFileName, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    EXPECT_EQ(read(), "Model 6  2400MHz\r\nn=8  k from 3 up to 100, CODO=BB00000000, Date/Time:x");
    std::filesystem::remove(dir / kLogFileName);
    AppendToLog(dir, FoundRecord(12, 7, 14), 6, 2400);  // a log deleted mid-run comes back
    EXPECT_EQ(read().rfind("Model 6  2400MHz\r\nfound", 0), 0u);
    // A result file that cannot be opened is an error with the path in it.
    std::filesystem::create_directories(dir / kResultFileName);
    try {
        AppendToFile(dir / kResultFileName, "x", true);
        FAIL() << "no error";
    } catch (const RecordError& e) {
        EXPECT_NE(std::string(e.what()).find((dir / kResultFileName).string()), std::string::npos);
    }
    std::filesystem::remove_all(dir);
}

TEST(DateTimeText, ReadsBackToTheSecond) {
    const std::time_t now = std::time(nullptr);
    for (std::time_t t : {now, now - 86400 * 400, std::time_t{1'700'000'000}}) {
        const auto back = ParseDateTime(FormatDateTime(t));
        ASSERT_TRUE(back.has_value()) << FormatDateTime(t);
        EXPECT_EQ(*back, t);
    }
    // Local midnight is written without its time part and still reads back.
    std::tm tm{};
    tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 10, tm.tm_isdst = -1;
    const std::time_t midnight = std::mktime(&tm);
    EXPECT_EQ(FormatDateTime(midnight), "2026-12-10");
    EXPECT_EQ(ParseDateTime("2026-12-10"), midnight);
    for (const char* bad : {"", "0", "yesterday", "2026-13-01", "2026-12-10 25:00:00", "2026-12-10 10:00"})
        EXPECT_FALSE(ParseDateTime(bad).has_value()) << bad;
}

}  // namespace
}  // namespace vontal
