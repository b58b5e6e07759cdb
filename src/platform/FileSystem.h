// Path separator and the read-only attribute of files.
#pragma once

#include <string>

namespace zn {

extern const char kPathSeparator;

// True when the last character of path is the separator. Narrow strings are
// in the system's code page, which may be double-byte: a separator byte that
// ends a two-byte character is no separator.
bool EndsWithSeparator(const std::string &path);

// Read-only: the owner may not write. Returns false when the file cannot be
// queried.
bool QueryReadOnly(const std::string &path, bool *readOnly);
// True when something exists at path (whether or not it can be read).
bool PathExists(const std::string &path);
// Makes the owner able to write; every other attribute stays as it was.
bool ClearReadOnly(const std::string &path);

}  // namespace zn
