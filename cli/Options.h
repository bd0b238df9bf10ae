// The command line of vontal-cli: its options, their checks, and the help text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vontal {

struct CliOptions {
    std::optional<std::filesystem::path> dir;  // --dir; else the data folder's rule
    std::optional<std::string> task;           // --task: begin this task afresh
    uint32_t threads = 0;                      // --threads; 0: the settings key "Threads"
    double saveSeconds = 1800;                 // --save-every
    bool help = false;
    bool version = false;
    bool showDir = false;                      // --show-dir: name the data folder and end
};

struct ParsedOptions {
    CliOptions options;
    // What is wrong with the command line (exit status 2), without the program's name; empty
    // when nothing is.
    std::string error;
};

// GNU conventions: long options with their value as the next argument or after "=", "--" ends
// the options. Checks the values of --threads and --save-every.
ParsedOptions ParseOptions(int argc, char** argv);

// One line: the options in brief, for standard error after a mistake.
const char* UsageLine();
// The whole help: every option, the task's form, an example, the exit statuses.
const char* HelpText();

}  // namespace vontal
