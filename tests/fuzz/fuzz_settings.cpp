// The settings file reader on any file content: no crash, and a value written reads back as
// written (less the characters the writer never lets into the file), with the file's other
// entries left as they were.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "settings/FollowingTasks.h"
#include "settings/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("vontal-fuzz-" + std::to_string(getpid()) + ".ini");
    const std::string content(reinterpret_cast<const char*>(data), size);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    vontal::IniFile ini(file);
    static const char* const kKeys[] = {"nMin", "nTemp", "nMax", "kMin", "kMax", "KTemp", "DateBegin", "Priority",
                                        "isHidden", "HostServerVontal"};
    std::string before[std::size(kKeys)];
    for (size_t i = 0; i < std::size(kKeys); ++i) {
        before[i] = ini.ReadString("f", kKeys[i], "<none>");
        (void)ini.ReadInteger("F", kKeys[i], -7);
    }
    (void)vontal::TakeNextFollowingTask(ini);

    // Write a value made of the input's own bytes, and read it back.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    std::string value = content.substr(0, 300);
    ini.WriteString("f", "KTemp", value);
    std::string expected;
    for (char c : value)
        if (c != '\r' && c != '\n' && c != '\0') expected += c;
    const auto first = expected.find_first_not_of(" \t\v\f");
    expected = first == std::string::npos ? "" : expected.substr(first, expected.find_last_not_of(" \t\v\f") - first + 1);
    const std::string back = ini.ReadString("f", "KTemp", "<none>");
    if (back != expected) {
        std::fprintf(stderr, "wrote [%s], read back [%s]\n", expected.c_str(), back.c_str());
        __builtin_trap();
    }
    std::filesystem::remove(file);
    return 0;
}
