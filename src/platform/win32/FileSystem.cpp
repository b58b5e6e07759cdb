#include "platform/FileSystem.h"

#include <windows.h>

namespace zn {

const char kPathSeparator = '\\';

bool QueryReadOnly(const std::string &path, bool *readOnly) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    *readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return true;
}

bool PathExists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ClearReadOnly(const std::string &path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return true;
    return SetFileAttributesA(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) != 0;
}

}  // namespace zn
