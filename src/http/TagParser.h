// Cutting tagged values ("<RES>OK</RES>") out of a server's answer. Every
// fetcher and the response parser read their answers with it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zn {

// Longest tag name that is looked for: both "<name>" and "</name>" must fit
// the 64-byte pattern buffer the answers were designed around. A longer
// name finds nothing.
constexpr size_t kMaxTagNameLength = 60;

class CTagParser {
  public:
    virtual ~CTagParser() = default;

    // The text between the first "<tag>" and the first "</tag>" after it;
    // empty when either is missing. Exact, case-sensitive matching: a tag
    // with attributes or white space inside the brackets is not found.
    std::string GetTagValue(const std::string &text, const std::string &tag) const;

    // Position of the first occurrence of pattern (which begins with "<")
    // at or after from; npos when there is none.
    static size_t FindTagStart(const std::string &text, const std::string &pattern,
                               size_t from = 0);
};

// The values of many tags cut out of one text in a single pass, each as
// GetTagValue cuts it, for answers that name thousands of tags: asking
// GetTagValue for each would scan the text once per tag. Tag names are not
// empty and hold no "<", ">" or "/". The text must outlive the scan.
class CTagScan {
  public:
    // Numbers a wanted tag name with a slot below slotCount; -1 for a name
    // that is not wanted.
    using SlotOf = std::function<int(const char *name, size_t length)>;

    // stopping, when given, is asked every 64 KiB of text; once it answers
    // true the scan ends there and every slot reads as missing.
    CTagScan(const std::string &text, size_t slotCount, const SlotOf &slotOf,
             const std::function<bool()> &stopping = nullptr);

    bool Stopped() const { return m_bStopped; }
    // Length of the slot's value (0 when the tag is missing), without copying it.
    size_t Length(size_t slot) const;
    // The value, or its first limit bytes.
    std::string Value(size_t slot, size_t limit = std::string::npos) const;

  private:
    struct Span {
        size_t begin = std::string::npos;  // just after the first "<tag>"
        size_t end = std::string::npos;    // the first "</tag>" after it
    };
    const std::string &m_text;
    std::vector<Span> m_spans;
    bool m_bStopped = false;
};

}  // namespace zn
