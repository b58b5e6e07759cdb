#include "platform/FileShared.h"

#include <algorithm>

namespace zn {

namespace {

bool AllDigits(const std::string &text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string TextOfLines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) {
        for (char c : line) {
            if (c == '\n')
                text += '\r';
            text += c;
        }
        text += "\r\n";
    }
    return text;
}

std::vector<std::string> LinesOfText(const std::string &content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        size_t length = end - start;
        if (length > 0 && content[end - 1] == '\r')
            --length;
        lines.push_back(content.substr(start, length));
        start = end + 1;
    }
    return lines;
}

bool IsSaveTempName(const std::string &name, const std::string &prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string rest = name.substr(prefix.size());
    const size_t dash = rest.find('-');
    return dash != std::string::npos && AllDigits(rest.substr(0, dash)) &&
           AllDigits(rest.substr(dash + 1));
}

size_t FirstChangedByte(const std::string &old, const std::string &text) {
    const size_t shorter = std::min(old.size(), text.size());
    return static_cast<size_t>(
        std::mismatch(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(shorter), text.begin())
            .first -
        old.begin());
}

bool TakeFileFault(FileFault fault) {
    return TestHooks().fileFault.compare_exchange_strong(fault, FileFault::None);
}

}  // namespace zn
