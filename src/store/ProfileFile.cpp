#include "store/ProfileFile.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
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
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\0')
            return true;
    }
    return false;
}

bool Refused(const std::pair<std::string, std::string> &change) {
    return BreaksTheLine(change.first) || BreaksTheLine(change.second);
}

// A key whose line reads back under that key: trimmed, without "=", and
// not read as a header.
bool ReadsBackAsKey(const std::string &key) {
    return key.find('=') == std::string::npos &&
           (key.empty() || (!IsWhite(key.front()) && !IsWhite(key.back()) && key.front() != '['));
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

// Calls visit(i) for the index of each entry line of the section whose
// header is at index header, until visit answers false; returns the index of
// the line that ends the section (the next header, or lines.size()).
template <typename Visit>
size_t VisitEntries(const std::vector<std::string> &lines, size_t header, Visit visit) {
    size_t end = header + 1;
    for (; end < lines.size(); ++end) {
        if (IsBlank(lines[end]))
            continue;
        if (IsHeader(lines[end]) || !visit(end))
            break;
    }
    return end;
}

using Change = std::pair<std::string, std::string>;

// The changes written into the lines as one SetValue after another would
// write them, in time linear in the lines and the changes: the section is
// looked through once, its keys kept in a table, and new lines spliced in
// once at the end.
void ApplyChanges(const std::string &section, const std::vector<Change> &changes,
                  std::vector<std::string> *lines) {
    const std::string newHeader = "[" + section + "]";
    const size_t header = FindSection(*lines, section);
    if (header == lines->size()) {
        // A name that would not read back from its header (outer blanks, a
        // "]") gets a new section of its own with every change.
        if (HeaderName(newHeader) != section) {
            for (const Change &change : changes) {
                if (Refused(change))
                    continue;
                lines->push_back(newHeader);
                lines->push_back(change.first + "=" + change.second);
            }
            return;
        }
        lines->push_back(newHeader);
    }
    // Where each key's first line is: below end in the lines, from end on
    // in added.
    std::unordered_map<std::string, size_t> keys;
    keys.reserve(lines->size() - header + changes.size());
    const size_t end = VisitEntries(*lines, header, [&](size_t i) {
        keys.emplace(KeyOf((*lines)[i]), i);
        return true;
    });
    // New entries go right before the next header, after any blank lines
    // that close the section, or at the end of the file. An entry that reads
    // as a header (a key beginning with "[") closes the section for the
    // entries after it, which therefore go before it: such entries end up
    // after the others, the latest first.
    std::vector<std::string> added, addedHeaders;
    for (const Change &change : changes) {
        if (Refused(change))
            continue;
        std::string entry;
        entry.reserve(change.first.size() + 1 + change.second.size());
        entry.append(change.first).append(1, '=').append(change.second);
        const auto found = keys.find(change.first);
        if (found != keys.end()) {
            (found->second < end ? (*lines)[found->second] : added[found->second - end]) =
                std::move(entry);
        } else if (IsHeader(entry)) {
            addedHeaders.push_back(std::move(entry));
        } else {
            keys.emplace(ReadsBackAsKey(change.first) ? change.first : KeyOf(entry),
                         end + added.size());
            added.push_back(std::move(entry));
        }
    }
    added.insert(added.end(), std::make_move_iterator(addedHeaders.rbegin()),
                 std::make_move_iterator(addedHeaders.rend()));
    lines->insert(lines->begin() + static_cast<std::ptrdiff_t>(end),
                  std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
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
        std::string value = def;
        VisitEntries(m_lines, FindSection(m_lines, section), [&](size_t i) {
            if (KeyOf(m_lines[i]) != key)
                return true;
            value = ValueOf(m_lines[i]);
            return false;
        });
        return value;
    } catch (...) {
        return def;
    }
}

void CProfileFile::SetValue(const std::string &section, const std::string &key,
                            const std::string &value) {
    SetValues(section, {{key, value}});
}

void CProfileFile::SetValues(const std::string &section,
                             const std::vector<std::pair<std::string, std::string>> &changes) {
    try {
        if (BreaksTheLine(section) || std::all_of(changes.begin(), changes.end(), Refused))
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
        ApplyChanges(section, changes, &m_lines);
        Save();
    } catch (...) {
        // Failures of SetValue are silent; the lock is released on the way out.
    }
}

bool CProfileFile::ReadSection(const std::string &section,
                               std::unordered_map<std::string, std::string> *values) {
    values->clear();
    try {
        {
            std::lock_guard<std::recursive_mutex> guard(ProfileFileLock());
            FileUpdateLock shared(m_strFileName, FileUpdateLock::Mode::Shared,
                                  Limits().fileLockWaitMs);
            Load();
        }
        if (!m_bOpened)
            return false;
        VisitEntries(m_lines, FindSection(m_lines, section), [&](size_t i) {
            // The first line of a key is the one GetValue reads.
            values->emplace(KeyOf(m_lines[i]), ValueOf(m_lines[i]));
            return true;
        });
        return true;
    } catch (...) {
        values->clear();
        return false;
    }
}

CProfileBatch::CProfileBatch(CProfileFile &file, std::string section)
    : m_file(file), m_section(std::move(section)) {
    m_file.ReadSection(m_section, &m_values);
}

CProfileBatch::~CProfileBatch() {
    Save();
}

std::string CProfileBatch::GetValue(const std::string &key, const std::string &def) const {
    const auto found = m_values.find(key);
    return found == m_values.end() ? def : found->second;
}

void CProfileBatch::SetValue(std::string key, std::string value) {
    m_changes.emplace_back(std::move(key), std::move(value));
}

void CProfileBatch::Save() {
    if (m_changes.empty())
        return;
    m_file.SetValues(m_section, m_changes);
    m_changes.clear();
}

}  // namespace zn
