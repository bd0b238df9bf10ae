// The data folder: the rule that picks it, and its creation on first use, which never falls back
// to a folder the user did not choose.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "session/DataFolder.h"

namespace vontal {
namespace {

namespace fs = std::filesystem;

class DataFolderTest : public ::testing::Test {
protected:
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("vontal-data-folder-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "bin");
        fs::create_directories(root / "portable");
        std::ofstream(root / "portable" / "Vontal.ini") << "[f]\r\n";
    }
    void TearDown() override { fs::remove_all(root); }
};

TEST_F(DataFolderTest, TheRule) {
    const std::string cwd = fs::current_path().string();
    struct Row {
        const char* what;
        std::optional<std::string> given;
        bool portableCopy;
        std::optional<std::string> xdgDataHome, home;
        DataFolderSource source;
        std::string dir;      // expected, relative to nothing; "ROOT" stands for the test's folder
        std::string problem;  // part of the expected problem; empty: none
    };
    const Row rows[] = {
        {"XDG_DATA_HOME set", {}, false, "/data", "/home/u", DataFolderSource::UserData, "/data/Vontal", ""},
        {"XDG_DATA_HOME unset", {}, false, {}, "/home/u", DataFolderSource::UserData, "/home/u/.local/share/Vontal", ""},
        {"XDG_DATA_HOME empty", {}, false, "", "/home/u", DataFolderSource::UserData, "/home/u/.local/share/Vontal", ""},
        {"XDG_DATA_HOME relative, which the XDG rules ignore", {}, false, "rel/data", "/home/u",
         DataFolderSource::UserData, "/home/u/.local/share/Vontal", ""},
        {"a portable copy: Vontal.ini beside the executable", {}, true, "/data", "/home/u", DataFolderSource::Portable,
         "ROOT/portable", ""},
        {"--dir before a portable copy", "/given", true, "/data", "/home/u", DataFolderSource::Given, "/given", ""},
        {"--dir relative, to the working directory", "rel", false, {}, "/home/u", DataFolderSource::Given,
         cwd + "/rel", ""},
        {"--dir empty", "", false, "/data", "/home/u", DataFolderSource::Given, "", "'' is not a directory"},
        {"no HOME and no XDG_DATA_HOME", {}, false, {}, {}, DataFolderSource::UserData, "", "give one with --dir DIR"},
        {"a relative HOME", {}, false, "rel", "home", DataFolderSource::UserData, "", "give one with --dir DIR"},
    };
    for (const Row& r : rows) {
        DataFolderInputs in;
        if (r.given) in.given = fs::path(*r.given);
        in.executableDir = root / (r.portableCopy ? "portable" : "bin");
        in.xdgDataHome = r.xdgDataHome;
        in.home = r.home;
        const DataFolder got = ChooseDataFolder(in);
        std::string want = r.dir;
        if (want.rfind("ROOT", 0) == 0) want = root.string() + want.substr(4);
        EXPECT_EQ(got.source, r.source) << r.what;
        EXPECT_EQ(got.dir.string(), want) << r.what;
        if (r.problem.empty()) EXPECT_EQ(got.problem, "") << r.what;
        else EXPECT_NE(got.problem.find(r.problem), std::string::npos) << r.what << ": " << got.problem;
    }
    // Choosing changes nothing on disk.
    EXPECT_FALSE(fs::exists(root / "bin" / "Vontal.ini"));
}

TEST_F(DataFolderTest, PreparingCreatesOnlyTheUsersDataFolder) {
    // The user's data folder is made with the folders above it, each private to the user.
    DataFolder user{root / "home" / ".local" / "share" / "Vontal", DataFolderSource::UserData, ""};
    ASSERT_EQ(PrepareDataFolder(user), "");
    EXPECT_TRUE(fs::is_directory(user.dir));
    for (const fs::path& made : {root / "home", root / "home" / ".local", user.dir}) {
        struct stat st {};
        ASSERT_EQ(stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
    }
    EXPECT_EQ(PrepareDataFolder(user), "");  // there already

    // Not creatable: a plain file stands where a folder above it should be. The problem names the
    // folder and the way out, and nothing else is made.
    std::ofstream(root / "file") << "x";
    DataFolder blocked{root / "file" / "share" / "Vontal", DataFolderSource::UserData, ""};
    const std::string why = PrepareDataFolder(blocked);
    EXPECT_NE(why.find("cannot create the data folder '" + blocked.dir.string() + "': Not a directory"),
              std::string::npos)
        << why;
    EXPECT_NE(why.find("--dir DIR"), std::string::npos) << why;

    // A file by the folder's own name.
    DataFolder isFile{root / "file", DataFolderSource::UserData, ""};
    EXPECT_EQ(PrepareDataFolder(isFile), "'" + isFile.dir.string() + "' is not a directory");

    // A folder named with --dir is used as it is, never made: a mistyped name would scatter files.
    DataFolder given{root / "missing", DataFolderSource::Given, ""};
    EXPECT_EQ(PrepareDataFolder(given), "'" + given.dir.string() + "' is not a directory");
    EXPECT_FALSE(fs::exists(given.dir));
    given.dir = root / "bin";
    EXPECT_EQ(PrepareDataFolder(given), "");

    // A problem of the choice is passed on.
    EXPECT_EQ(PrepareDataFolder({{}, DataFolderSource::UserData, "no data folder"}), "no data folder");
}

}  // namespace
}  // namespace vontal
