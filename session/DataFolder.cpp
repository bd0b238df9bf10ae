// The data folder: the rule that picks it, and its creation on first use.
#include "session/DataFolder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vontal {

namespace fs = std::filesystem;

namespace {

const char* const kSettingsName = "Vontal.ini";
const char* const kFolderName = "Vontal";

std::string NotADirectory(const fs::path& dir) { return "'" + dir.string() + "' is not a directory"; }

// A variable the XDG rules accept: set, not empty, and an absolute path (a relative one is to be
// ignored).
std::optional<fs::path> AbsoluteOrNothing(const std::optional<std::string>& value) {
    if (!value || value->empty()) return std::nullopt;
    const fs::path p(*value);
    if (!p.is_absolute()) return std::nullopt;
    return p;
}

std::optional<std::string> Environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace

DataFolder ChooseDataFolder(const DataFolderInputs& inputs) {
    DataFolder folder;
    if (inputs.given) {
        folder.source = DataFolderSource::Given;
        if (inputs.given->empty()) {
            folder.problem = NotADirectory(*inputs.given);
            return folder;
        }
        std::error_code ec;
        folder.dir = fs::absolute(*inputs.given, ec);
        if (ec) folder.dir = *inputs.given;
        return folder;
    }
    std::error_code ec;
    if (!inputs.executableDir.empty() && fs::exists(inputs.executableDir / kSettingsName, ec)) {
        folder.source = DataFolderSource::Portable;
        folder.dir = inputs.executableDir;
        return folder;
    }
    folder.source = DataFolderSource::UserData;
    if (const auto dataHome = AbsoluteOrNothing(inputs.xdgDataHome)) {
        folder.dir = *dataHome / kFolderName;
    } else if (const auto home = AbsoluteOrNothing(inputs.home)) {
        folder.dir = *home / ".local" / "share" / kFolderName;
    } else {
        folder.problem =
            "no data folder: neither XDG_DATA_HOME nor HOME names an absolute path; give one with --dir DIR";
    }
    return folder;
}

std::string PrepareDataFolder(const DataFolder& folder) {
    if (!folder.problem.empty()) return folder.problem;
    std::error_code ec;
    if (fs::is_directory(folder.dir, ec)) return {};
    if (folder.source != DataFolderSource::UserData || fs::exists(fs::symlink_status(folder.dir, ec)))
        return NotADirectory(folder.dir);
    // Each missing folder from the top down, private to the user as the XDG rules ask.
    std::vector<fs::path> missing;
    for (fs::path at = folder.dir; !at.empty() && !fs::exists(fs::symlink_status(at, ec)); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create the data folder '" + folder.dir.string() + "': " + std::strerror(errno) +
                   "; give another with --dir DIR";
        }
    }
    if (!fs::is_directory(folder.dir, ec)) return NotADirectory(folder.dir);
    return {};
}

fs::path ExecutableDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

DataFolderInputs DataFolderInputsOfThisProcess(std::optional<fs::path> given) {
    DataFolderInputs inputs;
    inputs.given = std::move(given);
    inputs.executableDir = ExecutableDir();
    inputs.xdgDataHome = Environment("XDG_DATA_HOME");
    inputs.home = Environment("HOME");
    if (!inputs.home) {
        // No HOME (a service started without one): the account's home directory.
        std::vector<char> buffer(16384);
        passwd entry {};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
            *found->pw_dir)
            inputs.home = std::string(found->pw_dir);
    }
    return inputs;
}

DataFolder FindDataFolder(std::optional<fs::path> given) {
    DataFolder folder = ChooseDataFolder(DataFolderInputsOfThisProcess(std::move(given)));
    folder.problem = PrepareDataFolder(folder);
    return folder;
}

}  // namespace vontal
