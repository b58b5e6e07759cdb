// The temporary directories of the tests, made with the Windows file
// functions (the other builds' version uses mkdtemp).
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

namespace zntest {

TempDir::TempDir() {
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length > MAX_PATH) {
        ADD_FAILURE() << "no temporary directory";
        return;
    }
    static LONG counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = std::string(base) + "zntest-" + std::to_string(GetCurrentProcessId()) +
                           "-" + std::to_string(InterlockedIncrement(&counter));
        if (CreateDirectoryA(path.c_str(), nullptr)) {
            m_path = path;
            return;
        }
    }
    ADD_FAILURE() << "cannot create a temporary directory";
}

TempDir::~TempDir() {
    if (m_path.empty())
        return;
    std::error_code ec;
    // Read-only files would stay behind otherwise.
    for (const auto &entry : std::filesystem::recursive_directory_iterator(m_path, ec))
        SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(m_path, ec);
}

}  // namespace zntest
