#include "http/TagParser.h"

#include <cstring>

namespace zn {

size_t CTagParser::FindTagStart(const std::string &text, const std::string &pattern, size_t from) {
    if (pattern.empty())
        return std::string::npos;
    for (size_t pos = text.find('<', from); pos != std::string::npos;
         pos = text.find('<', pos + 1)) {
        if (text.size() - pos < pattern.size())
            return std::string::npos;
        if (std::memcmp(text.data() + pos, pattern.data(), pattern.size()) == 0)
            return pos;
    }
    return std::string::npos;
}

std::string CTagParser::GetTagValue(std::string text, std::string tag) const {
    if (tag.size() > kMaxTagNameLength)
        return std::string();
    const std::string open = "<" + tag + ">";
    const size_t start = FindTagStart(text, open);
    if (start == std::string::npos)
        return std::string();
    // The closing tag is searched after the opening one: a closing tag
    // before it never counts, and one overlapping it (possible only for a
    // name holding "<" or "/") cannot end the value before it begins.
    const size_t valueStart = start + open.size();
    const size_t end = FindTagStart(text, "</" + tag + ">", valueStart);
    if (end == std::string::npos)
        return std::string();
    return text.substr(valueStart, end - valueStart);
}

}  // namespace zn
