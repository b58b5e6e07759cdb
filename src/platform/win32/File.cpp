#include "platform/File.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

namespace zn {

namespace {

std::atomic<int> g_pendingFault{static_cast<int>(FileFault::None)};
std::atomic<unsigned> g_tempCounter{0};

bool TakeFault(FileFault fault) {
    int expected = static_cast<int>(fault);
    return g_pendingFault.compare_exchange_strong(expected, static_cast<int>(FileFault::None));
}

class FileHandle {
  public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    ~FileHandle() {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    HANDLE Get() const { return m_handle; }
    bool Close() {
        HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != 0;
    }

  private:
    HANDLE m_handle;
};

bool ReadAll(HANDLE file, std::string *content) {
    char chunk[8192];
    for (;;) {
        if (TakeFault(FileFault::Read))
            return false;
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        content->append(chunk, got);
    }
}

bool WriteAll(HANDLE file, const std::string &content) {
    size_t done = 0;
    while (done < content.size()) {
        if (TakeFault(FileFault::Write))
            return false;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1 << 20));
        DWORD put = 0;
        if (!WriteFile(file, content.data() + done, chunk, &put, nullptr) || put == 0)
            return false;
        done += put;
    }
    return true;
}

std::string TextOf(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) {
        for (char c : line) {
            if (c == '\n')
                text += '\r';
            text += c;
        }
        text += "\r\n";
    }
    return text;
}

// Removes the temporary file unless it was moved into place.
class TempFile {
  public:
    explicit TempFile(std::string path) : m_path(std::move(path)) {}
    ~TempFile() {
        if (!m_committed)
            DeleteFileA(m_path.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    const std::string &Path() const { return m_path; }
    void Commit() { m_committed = true; }

  private:
    std::string m_path;
    bool m_committed = false;
};

}  // namespace

bool ReadTextLines(const std::string &path, std::vector<std::string> *lines) {
    try {
        // Shared for writing and deleting, as a text-mode open would be, so
        // the host may keep the file open in its own editor.
        FileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Get() == INVALID_HANDLE_VALUE)
            return false;
        // Disk files only: a pipe or a device would block with the profile
        // file lock held.
        if (GetFileType(file.Get()) != FILE_TYPE_DISK)
            return false;
        std::string content;
        if (!ReadAll(file.Get(), &content))
            return false;
        std::vector<std::string> result;
        size_t start = 0;
        while (start < content.size()) {
            size_t end = content.find('\n', start);
            if (end == std::string::npos) {
                // A last line without a line end still counts.
                result.push_back(content.substr(start));
                break;
            }
            size_t length = end - start;
            if (length > 0 && content[end - 1] == '\r')
                --length;
            result.push_back(content.substr(start, length));
            start = end + 1;
        }
        lines->swap(result);
        return true;
    } catch (...) {
        return false;
    }
}

bool SaveTextLines(const std::string &path, const std::vector<std::string> &lines) {
    try {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        // A plain rewrite would fail on these.
        if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
            return false;

        const size_t slash = path.find_last_of("\\/");
        const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

        std::string tempPath;
        HANDLE handle = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
            tempPath = directory + base + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(g_tempCounter.fetch_add(1));
            handle = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
        }
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        FileHandle file(handle);
        TempFile temp(std::move(tempPath));

        if (!WriteAll(file.Get(), TextOf(lines)))
            return false;
        if (TakeFault(FileFault::Sync) || !FlushFileBuffers(file.Get()))
            return false;
        if (!file.Close())
            return false;
        // The new file takes the old one's attributes (hidden, system, ...),
        // whichever way it is moved into place.
        constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SYSTEM;
        if (exists && (attributes & kSettable) != 0)
            SetFileAttributesA(temp.Path().c_str(), attributes & kSettable);
        if (TakeFault(FileFault::Rename))
            return false;
        // ReplaceFile keeps the old file's security and identity; where it
        // cannot (the old one went meanwhile), a write-through move still
        // swaps the whole file at once.
        if (!(exists && ReplaceFileA(path.c_str(), temp.Path().c_str(), nullptr,
                                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) &&
            !MoveFileExA(temp.Path().c_str(), path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return false;
        }
        temp.Commit();
        return true;
    } catch (...) {
        return false;
    }
}

void InjectFileFault(FileFault fault) {
    g_pendingFault.store(static_cast<int>(fault));
}

}  // namespace zn
