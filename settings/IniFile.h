// The settings file "Vontal.ini": an INI file read and written with private-profile semantics,
// nothing cached, every write an atomic replacement of the whole file.
#pragma once

#include "settings/Settings.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vontal {

// A write the file system refused; what() is "Unable to write to <full path>", and reason()
// the system's error number (0 when the old file could not be read, which is then not
// overwritten).
class SettingsWriteError : public std::runtime_error {
public:
    SettingsWriteError(const std::string& message, int reason) : std::runtime_error(message), reason_(reason) {}
    int reason() const { return reason_; }

private:
    int reason_;
};

// Private-profile rules: section and key names match without regard to ASCII case; a missing
// file, section or key reads as the default; a key present with an empty value reads as empty
// text; blanks around a value are dropped and at most 2047 characters are returned. A write
// creates the file, section and key as needed and replaces an existing value on its own line,
// leaving every other line (comments and blank lines included) as it was. Keys are never removed.
//
// Every call goes to the file, so changes made by other programs (or by hand) are seen by the
// next read. A write builds the new file beside the old one, syncs it and renames it over the
// original, so a crash leaves either the old or the new file, never a half-written one.
class IniFile : public ISettings {
public:
    static constexpr size_t kMaxValueLength = 2047;

    explicit IniFile(std::filesystem::path path);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;
    // Decimal with an optional minus sign, or "0x" followed by hexadecimal digits, within the
    // signed 32-bit range; anything else (empty text included) gives the default.
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) override;

    // CR, LF and NUL are dropped from the section, key and value before writing: a line break
    // inside a value (which may come from a network peer) would otherwise add lines, and so
    // keys or sections, to the file. Throws SettingsWriteError when the file cannot be written,
    // and std::invalid_argument for an empty key name, a key containing '=' or a section
    // containing ']', which could not be read back.
    void WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
    // The same for several keys, applied in order and written in one replacement of the file.
    void WriteStrings(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& values) override;
    void WriteInteger(const std::string& section, const std::string& key, int value);

    bool Exists() const;
    // Empty when the file is missing or can be read; otherwise why it cannot be read (it is a
    // directory, access is refused...). Reads of such a file give the defaults.
    std::string ReadProblem() const;
    // Removes the temporary files that writes left behind when their process was killed. Only
    // for the holder of the directory lock (control/DirectoryLock.h): no other writer is then at
    // work in the directory.
    void RemoveStaleTemporaries() const;
    // The file's absolute path, as named in SettingsWriteError.
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace vontal
