// Lines of a text file as the profile file writes them: each ended by CR LF.
#pragma once

#include <string>
#include <vector>

namespace zntest {

inline std::string Crlf(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines)
        text += line + "\r\n";
    return text;
}

}  // namespace zntest
