#include "platform/FileSystem.h"
#include "platform/win32/DoubleByte.h"

#include <windows.h>

namespace zn {

const char kPathSeparator = '\\';

bool EndsWithBackslash(const std::string &text, unsigned codePage) {
    // Which bytes lead a character is known only walking from the start.
    size_t last = 0;
    for (size_t i = 0; i < text.size();) {
        last = i;
        const bool lead = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[i])) != 0;
        i += lead && i + 1 < text.size() ? 2 : 1;
    }
    return !text.empty() && last == text.size() - 1 && text[last] == '\\';
}

bool EndsWithSeparator(const std::string &path) {
    return EndsWithBackslash(path, CP_ACP);
}

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
