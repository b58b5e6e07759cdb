#include "platform/FileSystem.h"

#include <sys/stat.h>

namespace zn {

const char kPathSeparator = '/';

// Narrow strings here are UTF-8 or single-byte: no byte of a multibyte
// character is ever '/'.
bool EndsWithSeparator(const std::string &path) {
    return !path.empty() && path.back() == kPathSeparator;
}

bool QueryReadOnly(const std::string &path, bool *readOnly) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    *readOnly = (st.st_mode & S_IWUSR) == 0;
    return true;
}

bool PathExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool ClearReadOnly(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    return chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

}  // namespace zn
