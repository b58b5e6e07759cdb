#include "store/ProfileFile.h"

#include <mutex>

#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/TimeLimits.h"

namespace zn {

std::recursive_mutex &ProfileFileLock() {
    // Never destroyed: library threads may still save while the process
    // exits.
    static std::recursive_mutex *lock = new std::recursive_mutex;
    return *lock;
}

namespace {

bool IsWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

size_t FirstNonWhite(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && IsWhite(text[i]))
        ++i;
    return i;
}

std::string Trim(const std::string &text) {
    size_t begin = FirstNonWhite(text);
    size_t end = text.size();
    while (end > begin && IsWhite(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool IsBlank(const std::string &line) {
    return FirstNonWhite(line) == line.size();
}

bool IsHeader(const std::string &line) {
    size_t first = FirstNonWhite(line);
    return first < line.size() && line[first] == '[';
}

// The name between the first "[" and the first "]" after it; a header that
// never closes has the empty name.
std::string HeaderName(const std::string &line) {
    size_t open = line.find('[');
    size_t close = line.find(']', open + 1);
    if (close == std::string::npos)
        return std::string();
    return Trim(line.substr(open + 1, close - open - 1));
}

// Only the first "=" separates: a value may contain more of them.
std::string KeyOf(const std::string &line) {
    size_t equals = line.find('=');
    if (equals == std::string::npos)
        return std::string();
    return Trim(line.substr(0, equals));
}

std::string ValueOf(const std::string &line) {
    size_t equals = line.find('=');
    if (equals == std::string::npos)
        return std::string();
    return Trim(line.substr(equals + 1));
}

// A line end or NUL would cut the line it is written into and start entries
// or sections of its own.
bool BreaksTheLine(const std::string &text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Index of the first header named section (a later one of the same name is
// never used), or lines.size() when there is none.
size_t FindSection(const std::vector<std::string> &lines, const std::string &section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (IsHeader(lines[i]) && HeaderName(lines[i]) == section)
            return i;
    }
    return lines.size();
}

}  // namespace

CProfileFile::CProfileFile() : m_strFileName("ini.ini") {}

CProfileFile::~CProfileFile() = default;

int CProfileFile::Load() {
    std::lock_guard<std::recursive_mutex> guard(ProfileFileLock());
    // A file that opened but could not be read counts as not opened; the
    // lines of the last good load stay.
    m_bOpened = ReadTextLines(m_strFileName, &m_lines) ? 1 : 0;
    return m_bOpened;
}

int CProfileFile::Save() {
    std::lock_guard<std::recursive_mutex> guard(ProfileFileLock());
    m_bOpened = SaveTextLines(m_strFileName, m_lines) ? 1 : 0;
    return m_bOpened;
}

std::string CProfileFile::GetValue(const std::string &section, const std::string &key,
                                   const std::string &def) {
    try {
        {
            std::lock_guard<std::recursive_mutex> guard(ProfileFileLock());
            // Shared with other readers; only keeps out another process that
            // may be rewriting the file in place.
            FileUpdateLock shared(m_strFileName, FileUpdateLock::Mode::Shared,
                                  Limits().fileLockWaitMs);
            Load();
        }
        if (!m_bOpened)
            return def;
        size_t header = FindSection(m_lines, section);
        for (size_t i = header + 1; i < m_lines.size(); ++i) {
            const std::string &line = m_lines[i];
            if (IsBlank(line))
                continue;
            if (IsHeader(line))
                break;
            if (KeyOf(line) == key)
                return ValueOf(line);
        }
        return def;
    } catch (...) {
        return def;
    }
}

void CProfileFile::SetValue(const std::string &section, const std::string &key,
                            const std::string &value) {
    try {
        if (BreaksTheLine(section) || BreaksTheLine(key) || BreaksTheLine(value))
            return;
        // Held from load to save, so that two objects changing the same file
        // at once cannot lose one of the changes: the process's lock first,
        // then the lock that keeps other processes out (always in this order).
        std::lock_guard<std::recursive_mutex> guard(ProfileFileLock());
        FileUpdateLock exclusive(m_strFileName, FileUpdateLock::Mode::Exclusive,
                                 Limits().fileLockWaitMs);
        // Only a writer that holds the file alone may take what looks stale.
        if (exclusive.Held())
            RemoveStaleSaveFiles(m_strFileName);
        // A missing file is created by the save. An existing one that cannot
        // be read is left alone: rewriting it from what this object holds
        // (nothing, for a fresh object) would lose its entries.
        if (!Load() && PathExists(m_strFileName))
            return;
        std::string entry = key + "=" + value;
        size_t header = FindSection(m_lines, section);
        if (header == m_lines.size()) {
            m_lines.push_back("[" + section + "]");
            m_lines.push_back(entry);
        } else {
            size_t end = header + 1;
            bool replaced = false;
            for (; end < m_lines.size(); ++end) {
                const std::string &line = m_lines[end];
                if (IsBlank(line))
                    continue;
                if (IsHeader(line))
                    break;
                if (KeyOf(line) == key) {
                    m_lines[end] = entry;
                    replaced = true;
                    break;
                }
            }
            // The new entry goes right before the next header, after any
            // blank lines that close the section, or at the end of the file.
            if (!replaced)
                m_lines.insert(m_lines.begin() + end, entry);
        }
        Save();
    } catch (...) {
        // Failures of SetValue are silent; the lock is released on the way out.
    }
}

}  // namespace zn
