// The settings file (private-profile reads and writes, atomic replacement, no line injection)
// and the follow-on task queue kept in it.
#include "session/DirectoryLock.h"
#include "settings/FollowingTasks.h"
#include "settings/IniFile.h"
#include "settings/TaskFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vontal {
namespace {

namespace fs = std::filesystem;

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vontal-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ / "Vontal.ini";
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    void WriteFile(const std::string& content) const {
        std::ofstream(path_, std::ios::binary) << content;
    }
    std::string FileContent() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    std::vector<std::string> DirectoryEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path dir_;
    fs::path path_;
};

TEST_F(SettingsFileTest, ReadsWithPrivateProfileRules) {
    WriteFile("; written by hand\r\n"
              "stray line before any section\r\n"
              "[f]\r\n"
              "nMin = 50  \r\n"
              "KTemp=\r\n"
              "\tkMin\t=\t35e11\t\r\n"
              "not a key line\r\n"
              "[Following tasks]\r\n"
              "Task 1=n=50 to 50, k=20e12 to 30e12\r\n");
    IniFile ini(path_);
    const struct { const char* section; const char* key; const char* expected; } cases[] = {
        {"f", "nMin", "50"},              // blanks around the value dropped
        {"F", "NMIN", "50"},              // names match without regard to case
        {"f", "nmin", "50"},
        {"f", "kMin", "35e11"},           // tabs count as blanks
        {"f", "KTemp", ""},               // present but empty: empty, not the default
        {"f", "nMax", "default"},         // missing key
        {"g", "nMin", "default"},         // missing section
        {"following tasks", "TASK 1", "n=50 to 50, k=20e12 to 30e12"},  // "=" inside a value
        {"Following tasks", "nMin", "default"},  // keys belong to their own section only
    };
    for (const auto& c : cases)
        EXPECT_EQ(ini.ReadString(c.section, c.key, "default"), c.expected) << c.section << "/" << c.key;

    EXPECT_EQ(IniFile(dir_ / "missing.ini").ReadString("f", "nMin", "default"), "default");
    EXPECT_FALSE(IniFile(dir_ / "missing.ini").Exists());
    EXPECT_TRUE(ini.Exists());
}

TEST_F(SettingsFileTest, ReadsFilesWithLineFeedsOnly) {
    WriteFile("[f]\nnMax=60\nnTemp=51");  // no line end after the last line either
    IniFile ini(path_);
    EXPECT_EQ(ini.ReadString("f", "nMax", ""), "60");
    EXPECT_EQ(ini.ReadString("f", "nTemp", ""), "51");
}

// Found by fuzzing: a file whose last line ends in a carriage return alone (a hand edit, or a
// copy cut short) had the next new key glued onto that line, where no reader found it.
TEST_F(SettingsFileTest, AKeyAddedAfterALastLineEndingInACarriageReturnIsFound) {
    WriteFile("[f]\r\nnMin=50\r\nnTemp=52\r");
    IniFile ini(path_);
    ini.WriteString("f", "KTemp", "1001");
    EXPECT_EQ(ini.ReadString("f", "KTemp", ""), "1001");
    EXPECT_EQ(ini.ReadString("f", "nTemp", ""), "52");
    EXPECT_EQ(FileContent(), "[f]\r\nnMin=50\r\nnTemp=52\r\nKTemp=1001\r\n");
}

TEST_F(SettingsFileTest, ReadIntegerTakesDecimalOrHexAndFallsBackToTheDefault) {
    const struct { const char* text; int expected; } cases[] = {
        {"12", 12},       {"-12", -12},    {" 7 ", 7},        {"0x1F", 31},   {"0X1f", 31},
        {"0x7FFFFFFF", 2147483647},        {"-2147483648", -2147483647 - 1},
        {"", -9},         {"abc", -9},     {"12abc", -9},     {"1.5", -9},    {"0x", -9},
        {"0xG", -9},      {"-", -9},       {"2147483648", -9}, {"0x80000000", -9}, {"-0x5", -9},
    };
    IniFile ini(path_);
    for (const auto& c : cases) {
        WriteFile(std::string("[f]\r\nPriority=") + c.text + "\r\n");
        EXPECT_EQ(ini.ReadInteger("f", "Priority", -9), c.expected) << "'" << c.text << "'";
    }
    EXPECT_EQ(ini.ReadInteger("f", "Missing", 4), 4);
    ini.WriteInteger("f", "Priority", -3);
    EXPECT_EQ(ini.ReadInteger("f", "Priority", 0), -3);
}

TEST_F(SettingsFileTest, ValuesAreReadUpTo2047Characters) {
    const std::string longValue = std::string(2047, 'a') + "bcd";
    WriteFile("[f]\r\nHostServerVontal=" + longValue + "\r\nnMax=60\r\n");
    IniFile ini(path_);
    EXPECT_EQ(ini.ReadString("f", "HostServerVontal", ""), std::string(2047, 'a'));
    EXPECT_EQ(ini.ReadString("f", "nMax", ""), "60");
    // The file itself keeps the whole value.
    ini.WriteString("f", "nMax", "61");
    EXPECT_NE(FileContent().find(longValue), std::string::npos);
}

// Ten megabytes in one line, or in line breaks alone: the file is read and rewritten in one pass
// with nothing allocated per line (a line record each would take hundreds of megabytes), and
// every byte the write does not change stays as it was.
TEST_F(SettingsFileTest, TenMegabytesOfOneLineOrOfLineBreaks) {
    const std::string task = "[f]\r\nnTemp=30\r\nnMax=31\r\n";
    const std::string fillers[] = {"; " + std::string(10 << 20, 'x') + "\r\n", std::string(10 << 20, '\n')};
    for (const std::string& filler : fillers) {
        WriteFile(filler + task);
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        IniFile ini(path_);
        EXPECT_EQ(ini.ReadString("F", "NTEMP", ""), "30");
        ini.WriteString("f", "nMax", "32");
        ini.WriteString("f", "kMin", "5");
        getrusage(RUSAGE_SELF, &after);
        EXPECT_EQ(FileContent(), filler + "[f]\r\nnTemp=30\r\nnMax=32\r\nkMin=5\r\n");
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 200 * 1024);  // kilobytes
    }
    // A value of ten megabytes reads as its first 2047 characters and is kept whole.
    const std::string value(10 << 20, '7');
    WriteFile("[f]\r\nnTemp=" + value + "\r\n");
    IniFile ini(path_);
    EXPECT_EQ(ini.ReadString("f", "nTemp", ""), std::string(IniFile::kMaxValueLength, '7'));
    ini.WriteString("f", "nMax", "1");
    EXPECT_EQ(FileContent(), "[f]\r\nnTemp=" + value + "\r\nnMax=1\r\n");
}

TEST_F(SettingsFileTest, FirstWritesCreateFileSectionsAndKeysWithCrLf) {
    IniFile ini(path_);
    ini.WriteString("f", "nMin", "50");
    ini.WriteString("f", "kMin", "35e11");
    ini.WriteString("Following tasks", "Task 1", "");
    EXPECT_EQ(FileContent(),
              "[f]\r\nnMin=50\r\nkMin=35e11\r\n"
              "\r\n[Following tasks]\r\nTask 1=\r\n");
    // An empty value keeps the key: it reads as empty text, not as the default.
    EXPECT_EQ(ini.ReadString("Following tasks", "Task 1", "default"), "");
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"Vontal.ini"});  // no temporary left
}

TEST_F(SettingsFileTest, WritesReplaceInPlaceAndLeaveEveryOtherLineAlone) {
    WriteFile("; Vontal settings\r\n"
              "\r\n"
              "[F]\r\n"
              "nTemp = 50\r\n"
              "KTemp=123\n"                     // a line end of its own, kept as it is
              "unknown line\r\n"
              "\r\n"
              "; the queue\r\n"
              "[Following tasks]\r\n"
              "Task 1=n=50 to 50, k=20e12 to 30e12\r\n"
              "Task 2=n=51 to 51, k=1e6 to 2e6");  // last line without a line end
    IniFile ini(path_);
    ini.WriteString("f", "ktemp", "456");   // other case: the file's spelling is kept
    ini.WriteString("f", "nTemp", "51");
    ini.WriteString("f", "nMax", "60");     // new key: after the section's last key
    ini.WriteString("FOLLOWING TASKS", "task 1", "");
    ini.WriteString("Following tasks", "Task 3", "x");
    EXPECT_EQ(FileContent(),
              "; Vontal settings\r\n"
              "\r\n"
              "[F]\r\n"
              "nTemp=51\r\n"
              "KTemp=456\n"
              "nMax=60\r\n"
              "unknown line\r\n"
              "\r\n"
              "; the queue\r\n"
              "[Following tasks]\r\n"
              "Task 1=\r\n"
              "Task 2=n=51 to 51, k=1e6 to 2e6\r\n"
              "Task 3=x\r\n");
}

TEST_F(SettingsFileTest, EveryReadSeesTheFileAsItIsNow) {
    IniFile ini(path_);
    ini.WriteString("Following tasks", "Task 1", "");
    EXPECT_EQ(ini.ReadString("Following tasks", "Task 1", "d"), "");
    // Another program (or another machine over a shared folder) edits the file.
    WriteFile("[Following tasks]\r\nTask 1=n=8 to 9, k=3 to 5\r\n");
    EXPECT_EQ(ini.ReadString("Following tasks", "Task 1", "d"), "n=8 to 9, k=3 to 5");
    // A second object on the same file sees the first one's writes at once.
    IniFile other(path_);
    ini.WriteString("f", "nMin", "8");
    EXPECT_EQ(other.ReadString("f", "nMin", ""), "8");
}

TEST_F(SettingsFileTest, LineBreaksAndNulInAValueCannotAddKeysOrSections) {
    IniFile ini(path_);
    ini.WriteString("f", "isHidden", "0");
    const std::string hostile[] = {
        std::string("evil\r\n[f]\r\nisHidden=1"),
        std::string("evil\nisHidden=1"),
        std::string("evil\risHidden=1"),
        std::string("evil\0\nisHidden=1", 16),
    };
    for (const std::string& value : hostile) {
        ini.WriteString("f", "HostServerVontal", value);
        EXPECT_EQ(ini.ReadInteger("f", "isHidden", -1), 0);
        EXPECT_EQ(ini.ReadString("f", "HostServerVontal", "").substr(0, 4), "evil");
        EXPECT_EQ(FileContent().find("\r\nisHidden=1"), std::string::npos);
    }
    EXPECT_EQ(ini.ReadString("f", "HostServerVontal", ""), "evilisHidden=1");
    // The same holds for a key name.
    ini.WriteString("f", "Task\r\nisHidden", "1");
    EXPECT_EQ(ini.ReadInteger("f", "isHidden", -1), 0);
    EXPECT_EQ(ini.ReadString("f", "TaskisHidden", ""), "1");
    // Names that could not be read back are refused outright.
    EXPECT_THROW(ini.WriteString("f", "a=b", "1"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("f", "  ", "1"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("f]x", "a", "1"), std::invalid_argument);
}

std::string WriteErrorMessage(IniFile& ini) {
    try {
        ini.WriteString("f", "nMin", "50");
    } catch (const SettingsWriteError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST_F(SettingsFileTest, RefusedWritesReportThePathAndLeaveNothingBehind) {
    // The settings path is a directory.
    fs::create_directory(path_);
    IniFile onDirectory(path_);
    EXPECT_EQ(WriteErrorMessage(onDirectory), "Unable to write to " + path_.string());
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"Vontal.ini"});

    // The directory of the file does not exist.
    const fs::path nowhere = dir_ / "missing" / "Vontal.ini";
    IniFile inMissingDirectory(nowhere);
    EXPECT_EQ(WriteErrorMessage(inMissingDirectory), "Unable to write to " + nowhere.string());
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(SettingsFileTest, ARelativePathIsReportedInFull) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    fs::create_directory("sub.ini");
    IniFile ini("sub.ini");
    const std::string message = WriteErrorMessage(ini);
    fs::current_path(previous);
    EXPECT_EQ(message, "Unable to write to " + (dir_ / "sub.ini").string());
}

TEST_F(SettingsFileTest, AWriteThatFailsHalfwayKeepsTheOldFile) {
    // A file-size limit makes the write of the new file fail part way, as a full disk would;
    // unlike permissions it also holds for root.
    const std::string original = "[f]\r\nnMin=50\r\n";
    WriteFile(original);
    IniFile ini(path_);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message = "(no error)";
    try {
        ini.WriteString("f", "HostServerVontal", std::string(500, 'h'));
    } catch (const SettingsWriteError& error) {
        message = error.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(message, "Unable to write to " + path_.string());
    EXPECT_EQ(FileContent(), original);
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"Vontal.ini"});
}

// The saved position is read as a whole (the exponent and the k to resume it at), so it is written
// as a whole: a write that fails leaves none of its keys changed, and one that succeeds is a
// single replacement that keeps the keys' order and the other lines.
TEST_F(SettingsFileTest, APositionIsWrittenWholeOrNotAtAll) {
    const std::string original = "; mine\r\n[f]\r\nnTemp=21\r\nKTemp=5001\r\nPriority=3\r\n";
    WriteFile(original);
    IniFile ini(path_);
    const TaskTexts boxes{"22", "23", "1", "1e8"};
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = original.size() + 20;  // room for a key or two, not for all five
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int reason = 0;
    try {
        WritePosition(ini, boxes, 3);
    } catch (const SettingsWriteError& error) {
        reason = error.reason();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(reason, EFBIG);
    EXPECT_EQ(FileContent(), original);
    EXPECT_EQ(DirectoryEntries(), std::vector<std::string>{"Vontal.ini"});

    WritePosition(ini, boxes, 3);
    EXPECT_EQ(FileContent(), "; mine\r\n[f]\r\nnTemp=22\r\nKTemp=3\r\nPriority=3\r\nnMax=23\r\nkMin=1\r\nkMax=1e8\r\n");
}

// Temporary files of writes cut short by a kill are cleared by the next holder of the directory;
// nothing else is touched, the file itself and other programs' files included.
TEST_F(SettingsFileTest, StaleTemporaryFilesAreRemoved) {
    WriteFile("[f]\r\nnMin=50\r\n");
    for (const char* name : {".Vontal.ini.123.0.tmp", ".Vontal.ini.99999.17.tmp", ".Vontal.ini.bak", "Vontal.ini.1.2.tmp",
                             "other.tmp", ".Other.ini.1.2.tmp"})
        std::ofstream(dir_ / name) << "x";
    IniFile ini(path_);
    ini.RemoveStaleTemporaries();
    std::vector<std::string> left = DirectoryEntries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".Other.ini.1.2.tmp", ".Vontal.ini.bak", "Vontal.ini", "Vontal.ini.1.2.tmp",
                                              "other.tmp"}));
    EXPECT_EQ(ini.ReadString("f", "nMin", ""), "50");
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadIsToldApartFromAMissingOne) {
    IniFile ini(path_);
    EXPECT_EQ(ini.ReadProblem(), "");  // missing: a first run
    WriteFile("[f]\r\n");
    EXPECT_EQ(ini.ReadProblem(), "");
    fs::remove(path_);
    fs::create_directory(path_);
    EXPECT_EQ(ini.ReadProblem(), "it is a directory");
    fs::remove(path_);
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
    EXPECT_EQ(ini.ReadProblem(), "it is not a regular file");
}

// One holder at a time; the lock goes with its holder. (flock locks belong to an open file, so
// two in one process shut each other out just as two processes do.)
TEST_F(SettingsFileTest, TheDirectoryLockHasOneHolderAtATime) {
    {
        DirectoryLock first(dir_);
        ASSERT_TRUE(first.Held()) << first.Problem();
        std::ifstream pid(dir_ / kLockFileName);
        std::string text;
        std::getline(pid, text);
        EXPECT_EQ(text, std::to_string(getpid()));
        DirectoryLock second(dir_);
        EXPECT_EQ(second.state(), DirectoryLock::State::Busy);
        EXPECT_EQ(second.Problem(), "another Vontal program (process " + std::to_string(getpid()) + ") is working in " +
                                        dir_.string());
    }
    DirectoryLock again(dir_);
    EXPECT_TRUE(again.Held());
    DirectoryLock nowhere(dir_ / "missing");
    EXPECT_EQ(nowhere.state(), DirectoryLock::State::Failed);
    EXPECT_NE(nowhere.Problem().find("No such file or directory"), std::string::npos) << nowhere.Problem();
}

TEST_F(SettingsFileTest, AFileThatCannotBeReadIsNotOverwritten) {
    // Rewriting it from nothing would lose every other setting.
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
    IniFile ini(path_);
    EXPECT_EQ(WriteErrorMessage(ini), "Unable to write to " + path_.string());
    EXPECT_EQ(fs::status(path_).type(), fs::file_type::fifo);
}

TEST_F(SettingsFileTest, ReplacementKeepsPermissionsAndSymbolicLinks) {
    const fs::path real = dir_ / "real.ini";
    std::ofstream(real, std::ios::binary) << "[f]\r\nnMin=50\r\n";
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, path_);
    IniFile ini(path_);
    ini.WriteString("f", "nMin", "51");
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(ini.ReadString("f", "nMin", ""), "51");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(FollowingTaskLine, ParsesByPosition) {
    const struct { const char* line; TaskTexts expected; } cases[] = {
        {"n=50 to 50, k=20e12 to 30e12", {"50", "50", "20e12", "30e12"}},
        {"n=50 to 50, k=20e12 to 30e12, Days 12", {"50", "50", "20e12", "30e12"}},
        {"n=50 to 50, k=20e12 to 30e12, Days 1,5, more", {"50", "50", "20e12", "30e12"}},
        {"n=8 to 12345, k=3 to 999999999999999999", {"8", "12345", "3", "999999999999999999"}},
        {"N=50 to 51, K=35e11 to 36e11", {"50", "51", "35e11", "36e11"}},
        // Other shapes give whatever lies at the positions, for the start of the task to refuse.
        {"", {"", "", "", ""}},
        {"to", {"", "", "", ""}},
        {"=", {"", "", "", ""}},
        {"garbage", {"", "", "", "bage"}},
        {"n=50 to 50", {"50", "", "", "0"}},
        {"n=50, k=1 to 2", {"50, k=1", "", "", ""}},
        {"n=50 TO 50, k=1 to 2", {"50 TO 50, k=1", "", "", ""}},
    };
    for (const auto& c : cases) {
        const TaskTexts got = ParseFollowingTaskLine(c.line);
        EXPECT_EQ(got, c.expected) << "'" << c.line << "' gave '" << got.nFirst << "', '" << got.nLast
                                   << "', '" << got.kLow << "', '" << got.kHigh << "'";
    }
}

TEST(FollowingTaskLine, FormatsTheCanonicalLineThatParsesBack) {
    const TaskTexts task{"50", "50", "20e12", "30e12"};
    EXPECT_EQ(FormatFollowingTaskLine(task), "n=50 to 50, k=20e12 to 30e12");
    const TaskTexts wide{"12345", "12346", "123456789012345678", "3.5e17"};
    EXPECT_EQ(ParseFollowingTaskLine(FormatFollowingTaskLine(wide)), wide);
}

TEST_F(SettingsFileTest, TakingTasksSkipsEmptyAndMissingEntriesWithoutRenumbering) {
    WriteFile("[Following tasks]\r\n"
              "Task 1=\r\n"
              "task 3=n=50 to 50, k=20e12 to 30e12, Days 3\r\n"
              "Task 5=   \r\n"
              "Task 10=n=60 to 61, k=3 to 5\r\n"
              "Task 11=n=70 to 70, k=3 to 5\r\n");
    IniFile ini(path_);

    EXPECT_EQ(TakeNextFollowingTask(ini), (TaskTexts{"50", "50", "20e12", "30e12"}));
    EXPECT_EQ(ini.ReadString("Following tasks", "Task 3", "missing"), "");  // emptied, kept
    EXPECT_EQ(ini.ReadString("Following tasks", "Task 10", ""), "n=60 to 61, k=3 to 5");

    EXPECT_EQ(TakeNextFollowingTask(ini), (TaskTexts{"60", "61", "3", "5"}));
    const std::string drained = FileContent();
    EXPECT_EQ(drained,
              "[Following tasks]\r\n"
              "Task 1=\r\n"
              "task 3=\r\n"
              "Task 5=   \r\n"
              "Task 10=\r\n"
              "Task 11=n=70 to 70, k=3 to 5\r\n");  // beyond the ten entries: never taken

    EXPECT_EQ(TakeNextFollowingTask(ini), std::nullopt);
    EXPECT_EQ(FileContent(), drained);
}

TEST_F(SettingsFileTest, AnEmptyQueueWithoutAFileCreatesNoFile) {
    IniFile ini(path_);
    EXPECT_EQ(TakeNextFollowingTask(ini), std::nullopt);
    EXPECT_FALSE(fs::exists(path_));
}

}  // namespace
}  // namespace vontal
