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
    size_t size = 0;
    for (const std::string &line : lines)
        size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const std::string &line : lines) {
        // A "\n" inside a line goes out as "\r\n", as a line end does.
        for (size_t at = 0;;) {
            const size_t lf = line.find('\n', at);
            if (lf == std::string::npos) {
                text.append(line, at, std::string::npos);
                break;
            }
            text.append(line, at, lf - at).append("\r\n");
            at = lf + 1;
        }
        text.append("\r\n");
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
