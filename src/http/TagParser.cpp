#include "http/TagParser.h"

#include <algorithm>
#include <cstring>

namespace zn {

namespace {
// Text scanned between two questions whether to stop.
constexpr size_t kScanStopStride = 64 * 1024;
}  // namespace

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

std::string CTagParser::GetTagValue(const std::string &text, const std::string &tag) const {
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

CTagScan::CTagScan(const std::string &text, size_t slotCount, const SlotOf &slotOf,
                   const std::function<bool()> &stopping)
    : m_text(text), m_spans(slotCount) {
    size_t nextStopCheck = 0;
    // The first ">" after the current "<", found again only once passed, so
    // that a text of "<" without ">" is not searched to its end per "<".
    size_t close = 0;
    for (size_t open = text.find('<'); open != std::string::npos; open = text.find('<', open + 1)) {
        if (stopping && open >= nextStopCheck) {
            if (stopping()) {
                m_bStopped = true;
                m_spans.assign(slotCount, Span());
                return;
            }
            nextStopCheck = open + kScanStopStride;
        }
        if (close <= open)
            close = text.find('>', open + 1);
        if (close == std::string::npos)
            return;
        const char *name = text.data() + open + 1;
        size_t length = close - open - 1;
        const bool closing = length > 0 && *name == '/';
        if (closing) {
            ++name;
            --length;
        }
        if (length == 0 || length > kMaxTagNameLength)
            continue;
        const int slot = slotOf(name, length);
        if (slot < 0 || static_cast<size_t>(slot) >= slotCount)
            continue;
        Span &span = m_spans[slot];
        if (!closing) {
            if (span.begin == std::string::npos)
                span.begin = close + 1;
        } else if (span.begin != std::string::npos && span.end == std::string::npos &&
                   open >= span.begin) {
            span.end = open;
        }
    }
}

size_t CTagScan::Length(size_t slot) const {
    const Span &span = m_spans.at(slot);
    return span.end == std::string::npos ? 0 : span.end - span.begin;
}

std::string CTagScan::Value(size_t slot, size_t limit) const {
    const size_t length = std::min(Length(slot), limit);
    return length == 0 ? std::string() : m_text.substr(m_spans[slot].begin, length);
}

}  // namespace zn
