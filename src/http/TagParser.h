// Cutting tagged values ("<RES>OK</RES>") out of a server's answer. Every
// fetcher and the response parser read their answers with it.
#pragma once

#include <cstddef>
#include <string>

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
    std::string GetTagValue(std::string text, std::string tag) const;

    // Position of the first occurrence of pattern (which begins with "<")
    // at or after from; npos when there is none.
    static size_t FindTagStart(const std::string &text, const std::string &pattern,
                               size_t from = 0);
};

}  // namespace zn
