// The lines of "results.jsonl", the divisor in decimal, and the repair of a last line cut short.
#include <gtest/gtest.h>

#include <gmp.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Records.h"
#include "ResultsJson.h"

namespace vontal {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ResultsJsonFiles : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("vontal-results-json-" + std::to_string(getpid()));
    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    void Write(const char* name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << text;
    }
};

// Each kind of line, exactly, and what a JSON reader takes from it: k near 2^63 and the divisor
// come back digit for digit, since they are strings.
TEST(ResultsJson, LinesAreWholeAndExact) {
    const ResultsOrigin origin{"4.4", "avx2"};
    const std::time_t when = 1765416672;  // 2025-12-11 01:31:12 UTC
    ExponentSummary finished{50, 20'000'000'000'001, 30'000'000'000'000, "BB1C9EA2C6", 5'123'456'789, 20'000'000'000'001};
    ExponentSummary unknown{50, 3, 9'223'372'036'854'775'807, "BB00000000", std::nullopt, std::nullopt};
    struct Row {
        const char* what;
        std::string line, expected;
        const char* bigKey;  // a value that must read back exactly
        const char* bigValue;
    };
    const Row rows[] = {
        {"divisor", DivisorLine(12, 7, 14, when, origin),
         R"({"type":"divisor","m":12,"k":"7","n":14,"divisor":"114689","time":"2025-12-11T01:31:12Z","version":"4.4","kernel":"avx2"})",
         "divisor", "114689"},
        {"k near 2^63", DivisorLine(97, 9'223'372'036'854'775'783, 99, when, origin),
         R"({"type":"divisor","m":97,"k":"9223372036854775783","n":99,)"
         R"("divisor":"5846006549323611656969106828012264559914940104705","time":"2025-12-11T01:31:12Z","version":"4.4","kernel":"avx2"})",
         "k", "9223372036854775783"},
        {"exponent", ExponentLine(finished, when, origin),
         R"({"type":"exponent","n":50,"k_from":"20000000000001","k_to":"30000000000000","check":"BB1C9EA2C6",)"
         R"("tested":"5123456789","tested_from":"20000000000001","time":"2025-12-11T01:31:12Z","version":"4.4","kernel":"avx2"})",
         "k_from", "20000000000001"},
        {"exponent, count unknown", ExponentLine(unknown, when, origin),
         R"({"type":"exponent","n":50,"k_from":"3","k_to":"9223372036854775807","check":"BB00000000",)"
         R"("tested":null,"tested_from":null,"time":"2025-12-11T01:31:12Z","version":"4.4","kernel":"avx2"})",
         "k_to", "9223372036854775807"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.line, r.expected + "\n");
        EXPECT_EQ(r.line.find('\n'), r.line.size() - 1);  // one line, LF only
        EXPECT_EQ(r.line.find('\r'), std::string::npos);
        const nlohmann::json parsed = nlohmann::json::parse(r.line);
        EXPECT_EQ(parsed.at(r.bigKey).get<std::string>(), r.bigValue);
        EXPECT_TRUE(parsed.at("n").is_number_unsigned());
    }
}

// The divisor's digits against GMP, from the smallest exponents to the widest the task boxes take.
TEST(ResultsJson, DivisorDigitsMatchGmp) {
    const std::pair<int64_t, uint32_t> cases[] = {
        {3, 8}, {7, 14}, {1071, 8}, {4294967295, 31}, {4294967297, 32}, {5, 33}, {9'223'372'036'854'775'807, 1},
        {9'223'372'036'854'775'807, 63}, {9'223'372'036'854'775'807, 64}, {9'223'372'036'854'775'783, 99999},
        {123456789, 4000},
    };
    for (const auto& [k, n] : cases) {
        mpz_t p;
        mpz_init_set_ui(p, static_cast<unsigned long>(k));
        mpz_mul_2exp(p, p, n);
        mpz_add_ui(p, p, 1);
        char* digits = mpz_get_str(nullptr, 10, p);
        EXPECT_EQ(DivisorDecimal(k, n), digits) << k << "·2^" << n << "+1";
        free(digits);
        mpz_clear(p);
    }
}

// A last line without its line end is cut off; whole files, empty or missing ones stay as they are.
TEST_F(ResultsJsonFiles, LastLineCutShortIsRemoved) {
    const std::string whole = "{\"a\":1}\n{\"b\":2}\n";
    const std::string longLine = "{\"c\":\"" + std::string(9000, 'x') + "\"}\n";
    struct Row {
        const char* what;
        std::optional<std::string> before;  // nullopt: no file
        std::optional<std::string> after;
        bool cut;
    };
    const Row rows[] = {
        {"missing", std::nullopt, std::nullopt, false},
        {"empty", "", "", false},
        {"whole", whole, whole, false},
        {"cut short", whole + "{\"type\":\"divi", whole, true},
        {"no line end at all", "{\"type\":", "", true},
        {"cut short after a long line", longLine + std::string(5000, 'y'), longLine, true},
        {"long cut line after a short one", whole + std::string(10000, 'z'), whole, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        fs::remove(dir / kResultsJsonFileName);
        if (r.before) Write(kResultsJsonFileName, *r.before);
        EXPECT_EQ(RepairResultsFile(dir), r.cut);
        EXPECT_EQ(fs::exists(dir / kResultsJsonFileName), r.after.has_value());
        if (r.after) EXPECT_TRUE(ReadFile(dir / kResultsJsonFileName) == *r.after);
    }
}

// What a run that finished an exponent but ended before its line was written leaves: the log's
// end records of that exponent and task outnumber its lines, also when the same task was searched
// before.
TEST_F(ResultsJsonFiles, EndRecordsAndExponentLinesAreCounted) {
    const std::string end = EndRecord("100", "BB7A2F4868", "");
    Write(kLogFileName, ModelRecord(6, 2400) + HeaderRecord(100, "3") + end + "2026-12-10 10:00:00" +
                            HeaderRecord(101, "3") + EndRecord("100", "BB11111111", "2026-12-10 10:00:01") +
                            HeaderRecord(100, "3") + FoundRecord(12, 7, 100) + end + "2026-12-11");
    EXPECT_EQ(LogEndRecordDates(dir, 100, end), (std::vector<std::string>{"2026-12-10 10:00:00", "2026-12-11"}));
    EXPECT_TRUE(LogEndRecordDates(dir, 102, end).empty());

    const ResultsOrigin origin{"4.4", "portable"};
    ExponentSummary summary{100, 3, 100, "BB7A2F4868", 10, 3};
    ExponentSummary otherTask{100, 5, 100, "BB7A2F4868", 10, 5};
    EXPECT_EQ(CountExponentLines(dir, summary), 0u);  // no file
    AppendResultsLine(dir, ExponentLine(summary, 0, origin), false);
    AppendResultsLine(dir, DivisorLine(12, 7, 100, 0, origin), true);
    AppendResultsLine(dir, ExponentLine(otherTask, 0, origin), false);
    EXPECT_EQ(CountExponentLines(dir, summary), 1u);
    summary.tested.reset();
    AppendResultsLine(dir, ExponentLine(summary, 0, origin), false);
    EXPECT_EQ(CountExponentLines(dir, summary), 2u);
}

}  // namespace
}  // namespace vontal
