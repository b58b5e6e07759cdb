// Narrow strings in a double-byte code page, where the second byte of a
// character may have any value, the backslash's included.
#pragma once

#include <string>

namespace zn {

// True when the last character of text (in codePage, or CP_ACP for the
// system's) is a backslash, not a character whose second byte is 0x5C.
bool EndsWithBackslash(const std::string &text, unsigned codePage);

}  // namespace zn
