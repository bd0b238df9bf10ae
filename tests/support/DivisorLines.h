// The divisors a Result.txt, a log or a merged report holds, as the tests compare them.
#pragma once

#include <regex>
#include <string>
#include <vector>

namespace vontal::testing {

// Every "k.2^n+1 divides F_m" of the text, in text order.
inline std::vector<std::string> Divisors(const std::string& text) {
    std::vector<std::string> found;
    static const std::regex line("[0-9]+\\.2\\^[0-9]+\\+1 divides F_[0-9]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
        found.push_back(it->str());
    return found;
}

}  // namespace vontal::testing
