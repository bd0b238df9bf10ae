// The data folder: where both programs keep "Vontal.ini", "Result.txt" and "Vontal.log".
//
// The folder named on the command line (--dir DIR) when there is one; else the executable's own
// folder when a "Vontal.ini" already lies there (a portable copy, kept on a stick or unpacked
// somewhere writable); else the user's data folder, $XDG_DATA_HOME/Vontal (by default
// ~/.local/share/Vontal), created on first use. A folder that cannot be used is reported, never
// replaced by another: results would land where the user does not look for them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vontal {

enum class DataFolderSource {
    Given,     // --dir
    Portable,  // the executable's folder, which holds a "Vontal.ini"
    UserData,  // $XDG_DATA_HOME/Vontal
};

struct DataFolder {
    std::filesystem::path dir;  // absolute; empty when there is none
    DataFolderSource source = DataFolderSource::UserData;
    std::string problem;        // why no folder can be used; empty when it can
};

// What the choice depends on. Unset variables are nullopt; an empty value counts as unset.
struct DataFolderInputs {
    std::optional<std::filesystem::path> given;  // --dir
    std::filesystem::path executableDir;
    std::optional<std::string> xdgDataHome;      // $XDG_DATA_HOME
    std::optional<std::string> home;             // $HOME, else the password database's home
};

// The rule alone: looks for "Vontal.ini" beside the executable and changes nothing.
DataFolder ChooseDataFolder(const DataFolderInputs& inputs);

// Makes the chosen folder ready for use: a given folder must exist; the user's data folder is
// created (with the folders above it, each readable by its owner alone) when it is missing.
// Returns the problem, or empty when the folder can be used.
std::string PrepareDataFolder(const DataFolder& folder);

// The executable's folder, from /proc/self/exe; empty when that cannot be read.
std::filesystem::path ExecutableDir();

// The inputs of this process: its executable and environment.
DataFolderInputs DataFolderInputsOfThisProcess(std::optional<std::filesystem::path> given);

// Chooses and prepares the folder of this process; `problem` is set when it cannot be used.
DataFolder FindDataFolder(std::optional<std::filesystem::path> given);

}  // namespace vontal
