#include "platform/File.h"
#include "platform/FileShared.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace zn {

namespace {

std::atomic<unsigned> g_tempCounter{0};

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
        if (TakeFileFault(FileFault::Read))
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
        if (TakeFileFault(FileFault::Write))
            return false;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1 << 20));
        DWORD put = 0;
        if (!WriteFile(file, content.data() + done, chunk, &put, nullptr) || put == 0)
            return false;
        done += put;
    }
    return true;
}

// The directory of a file, with its separator, or empty.
std::string DirectoryOf(const std::string &path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Short, so that a temporary fits wherever the file's own path does: a
// directory near the path limit leaves little room beyond the file's name.
std::string TempPrefix() {
    return "~zn";
}

// How long a replacement is tried again while another program holds the
// file without sharing its deletion (a virus scanner holds it for
// milliseconds, an editor for good).
constexpr DWORD kReplaceTriesMs = 60;
constexpr DWORD kReplacePauseMs = 5;

// Failures that say the file may not be replaced although it may be written:
// another program holds it without delete sharing, the directory refuses new
// names. A full disk or a missing directory is none of them.
bool ReplacementRefused(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// The temporary takes the file's place whole: ReplaceFile keeps the old
// file's security and identity; where it cannot (the old one went
// meanwhile), a write-through move still swaps the whole file at once. A
// refusal is tried again for a while; *refused tells whether it was one.
bool ReplaceWithTemp(const std::string &path, const std::string &temp, bool exists, bool *refused) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (exists && ReplaceFileA(path.c_str(), temp.c_str(), nullptr,
                                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return true;
        if (MoveFileExA(temp.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        *refused = ReplacementRefused(GetLastError());
        if (!*refused || GetTickCount() - start >= kReplaceTriesMs)
            return false;
        Sleep(kReplacePauseMs);
    }
}

// Only where the file cannot be replaced, and not atomic: it writes from the
// first byte that changes, then cuts the old tail. A crash inside the write
// leaves the new bytes up to some point and the old ones after it, so the
// line there may mix both; one before the cut leaves the old tail after the
// whole new text.
bool RewriteInPlace(const std::string &path, const std::string &text) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE || GetFileType(file.Get()) != FILE_TYPE_DISK)
        return false;
    std::string old;
    if (!ReadAll(file.Get(), &old))
        return false;
    const size_t first = FirstChangedByte(old, text);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(first);
    if (!SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) ||
        !WriteAll(file.Get(), text.substr(first)))
        return false;
    if (TakeFileFault(FileFault::Sync) || !FlushFileBuffers(file.Get()))
        return false;
    if (!SetEndOfFile(file.Get()))
        return false;
    return file.Close();
}

}  // namespace

void RemoveFile(const std::string &path) {
    DeleteFileA(path.c_str());
}

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
        *lines = LinesOfText(content);
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

        const std::string directory = DirectoryOf(path);
        std::string tempPath;
        HANDLE handle = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
            tempPath = directory + TempPrefix() + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(g_tempCounter.fetch_add(1));
            // Shared with no one until it is closed for the move: the mark of
            // a live writer, whose temporary no other save can remove.
            handle = TakeFileFault(FileFault::Create)
                         ? (SetLastError(ERROR_DISK_FULL), INVALID_HANDLE_VALUE)
                         : CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
            const DWORD error = GetLastError();
            if (handle == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS &&
                error != ERROR_ALREADY_EXISTS) {
                // A directory that refuses new names, a name too long: the
                // file itself may still be written, as a plain rewrite would.
                // Any other failure (a full disk) leaves the file as it is.
                const bool refused = error == ERROR_ACCESS_DENIED ||
                                     error == ERROR_FILENAME_EXCED_RANGE ||
                                     tempPath.size() >= MAX_PATH;
                return exists && refused && RewriteInPlace(path, TextOfLines(lines));
            }
        }
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        FileHandle file(handle);
        TempFile temp(std::move(tempPath));

        if (!WriteAll(file.Get(), TextOfLines(lines)))
            return false;
        if (TakeFileFault(FileFault::Sync) || !FlushFileBuffers(file.Get()))
            return false;
        if (!file.Close())
            return false;
        // The new file takes the old one's attributes (hidden, system, ...),
        // whichever way it is moved into place.
        constexpr DWORD kSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SYSTEM;
        if (exists && (attributes & kSettable) != 0)
            SetFileAttributesA(temp.Path().c_str(), attributes & kSettable);
        if (TakeFileFault(FileFault::Rename))
            return false;
        bool refused = false;
        if (!ReplaceWithTemp(path, temp.Path(), exists, &refused)) {
            // Held by another program for longer: the text goes into the
            // file itself, which that program shares for writing.
            return exists && refused && RewriteInPlace(path, TextOfLines(lines));
        }
        temp.Commit();
        return true;
    } catch (...) {
        return false;
    }
}

void RemoveStaleSaveFiles(const std::string &path) {
    try {
        const std::string directory = DirectoryOf(path);
        const std::string prefix = TempPrefix();
        WIN32_FIND_DATAA found;
        HANDLE listing = FindFirstFileA((directory + prefix + "*").c_str(), &found);
        if (listing == INVALID_HANDLE_VALUE)
            return;
        std::vector<std::string> names;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                IsSaveTempName(found.cFileName, prefix)) {
                names.push_back(found.cFileName);
            }
        } while (FindNextFileA(listing, &found));
        FindClose(listing);
        // A live writer's temporary is open without sharing: its deletion
        // fails and it stays.
        for (const std::string &name : names)
            RemoveFile(directory + name);
    } catch (...) {
        // Litter stays for a later save.
    }
}

// A named mutex per file, the name made of the file's full path in upper
// case (Windows file names ignore case). Windows has no shared lock on a
// directory and a lock on the file itself would not outlive its replacement,
// so readers take the mutex alone too: their hold is a few milliseconds. A
// mutex whose holder died is handed to the next waiter, as a lock would be.
struct FileUpdateLock::State {
    HANDLE mutex = nullptr;
    bool held = false;
};

FileUpdateLock::FileUpdateLock(const std::string &path, Mode, unsigned waitMs)
    : m_state(std::make_unique<State>()) {
    char full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full)
        return;
    CharUpperBuffA(full, length);
    // Backslashes would name a namespace; the path goes in as a hash.
    uint64_t hash = 14695981039346656037ull;
    for (DWORD i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(full[i])) * 1099511628211ull;
    char name[64];
    snprintf(name, sizeof name, "Local\\zembrixnet-file-%016llx",
             static_cast<unsigned long long>(hash));
    m_state->mutex = CreateMutexA(nullptr, FALSE, name);
    if (m_state->mutex == nullptr)
        return;
    const DWORD waited = WaitForSingleObject(m_state->mutex, waitMs);
    m_state->held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

FileUpdateLock::~FileUpdateLock() {
    if (m_state->held)
        ReleaseMutex(m_state->mutex);
    if (m_state->mutex != nullptr)
        CloseHandle(m_state->mutex);
}

bool FileUpdateLock::Held() const {
    return m_state->held;
}

}  // namespace zn
