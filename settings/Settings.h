// The settings file as its readers and writers see it: values of a section, read with a default.
// IniFile implements it; tests may use a map.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vontal {

class ISettings {
public:
    virtual ~ISettings() = default;
    // Private-profile reads: a missing key gives the default; blanks around a value are dropped.
    virtual std::string ReadString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) = 0;
    // Decimal with an optional sign, or "0x" hexadecimal; anything else gives the default.
    virtual int ReadInteger(const std::string& section, const std::string& key, int defaultValue) = 0;
    virtual void WriteString(const std::string& section, const std::string& key,
                             const std::string& value) = 0;
    // Several keys of one section, in order. The settings file writes them in one replacement,
    // so that a reader, or a crash, sees all of them or none; by default they are written one by one.
    virtual void WriteStrings(const std::string& section,
                              const std::vector<std::pair<std::string, std::string>>& values) {
        for (const auto& [key, value] : values) WriteString(section, key, value);
    }
};

}  // namespace vontal
