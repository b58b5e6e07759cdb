#include "store/ProfileFile.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

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
    for (const char c : {'\r', '\n', '\0'}) {
        if (std::memchr(text.data(), c, text.size()))
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

}  // namespace

// One section's changes written into the lines as one SetValue after another
// would write them, in time linear in the lines and the changes: the section
// is looked through once, its keys kept in a table, and new lines spliced in
// once at the end.
class CProfileBatch::Edit {
  public:
    Edit(std::vector<std::string> *lines, std::string section)
        : m_lines(*lines),
          m_section(std::move(section)),
          m_header(FindSection(m_lines, m_section)) {
        if (m_header < m_lines.size())
            Index();
    }

    // The value GetValue would read now.
    const std::string *Find(const std::string &key) {
        const auto found = m_keys.find(key);
        return found == m_keys.end() ? nullptr : &Line(found->second);
    }

    // False, and nothing changed, for a change that SetValue refuses.
    bool Apply(std::string key, std::string value) {
        if (BreaksTheLine(key) || BreaksTheLine(value))
            return false;
        // The line is made in the value's own room where it has enough.
        std::string entry = std::move(value);
        entry.insert(entry.begin(), key.size() + 1, '=');
        key.copy(&entry[0], key.size());
        if (m_header == m_lines.size()) {
            const std::string header = "[" + m_section + "]";
            // A name that would not read back from its header (outer blanks,
            // a "]") gets a new section of its own with every change.
            if (HeaderName(header) != m_section) {
                m_lines.push_back(header);
                m_lines.push_back(std::move(entry));
                m_header = m_lines.size();
                return true;
            }
            m_lines.push_back(header);
            Index();
        }
        // A key that reads back is looked up and taken in one go.
        if (ReadsBackAsKey(key)) {
            const auto placed = m_keys.try_emplace(std::move(key), m_end + m_added.size());
            if (placed.second)
                m_added.push_back(std::move(entry));
            else
                Line(placed.first->second) = std::move(entry);
            return true;
        }
        const auto found = m_keys.find(key);
        if (found != m_keys.end()) {
            Line(found->second) = std::move(entry);
        } else if (IsHeader(entry)) {
            m_addedHeaders.push_back(std::move(entry));
        } else {
            m_keys.emplace(KeyOf(entry), m_end + m_added.size());
            m_added.push_back(std::move(entry));
        }
        return true;
    }

    // New entries go right before the next header, after any blank lines
    // that close the section, or at the end of the file. An entry that reads
    // as a header (a key beginning with "[") closes the section for the
    // entries after it, which therefore go before it: such entries end up
    // after the others, the latest first.
    // The table stays true: an added entry's place, m_end on, is its line's
    // index once spliced in, and the section now ends after them.
    void Finish() {
        const size_t added = m_added.size();
        m_added.insert(m_added.end(), std::make_move_iterator(m_addedHeaders.rbegin()),
                       std::make_move_iterator(m_addedHeaders.rend()));
        m_addedHeaders.clear();
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(m_end),
                       std::make_move_iterator(m_added.begin()),
                       std::make_move_iterator(m_added.end()));
        m_added.clear();
        m_end += added;
    }

  private:
    std::string &Line(size_t index) {
        return index < m_end ? m_lines[index] : m_added[index - m_end];
    }

    // Where each key's first line is: below m_end in the lines, from m_end
    // on in m_added.
    void Index() {
        m_end = VisitEntries(m_lines, m_header, [&](size_t i) {
            m_keys.emplace(KeyOf(m_lines[i]), i);
            return true;
        });
    }

    std::vector<std::string> &m_lines;
    const std::string m_section;
    size_t m_header;
    size_t m_end = 0;
    std::unordered_map<std::string, size_t> m_keys;
    std::vector<std::string> m_added, m_addedHeaders;
};

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
    // Refused without a load, so that the lines held stay those of the last
    // read.
    if (BreaksTheLine(section) || std::all_of(changes.begin(), changes.end(), Refused))
        return;
    CProfileBatch batch(*this, section);
    for (const auto &change : changes)
        batch.SetValue(change.first, change.second);
}

CProfileBatch::CProfileBatch(CProfileFile &file, std::string section) : m_file(file) {
    try {
        // Held until the batch goes, so that two objects changing the same
        // file at once cannot lose one of the changes: the process's lock
        // first, then the lock that keeps other processes out (always in
        // this order).
        m_guard = std::unique_lock<std::recursive_mutex>(ProfileFileLock());
        m_lock = std::make_unique<FileUpdateLock>(
            m_file.m_strFileName, FileUpdateLock::Mode::Exclusive, Limits().fileLockWaitMs);
        // Only a writer that holds the file alone may take what looks stale.
        if (m_lock->Held())
            RemoveStaleSaveFiles(m_file.m_strFileName);
        // A missing file is created by the save. An existing one that cannot
        // be read is left alone: rewriting it from what the object holds
        // (nothing, for a fresh object) would lose its entries.
        m_writable =
            (m_file.Load() || !PathExists(m_file.m_strFileName)) && !BreaksTheLine(section);
        m_edit = std::make_unique<Edit>(&m_file.m_lines, std::move(section));
    } catch (...) {
        // Failures are silent: the batch reads nothing and writes nothing.
        m_edit.reset();
    }
}

CProfileBatch::~CProfileBatch() {
    Save();
}

std::string CProfileBatch::GetValue(const std::string &key, const std::string &def) const {
    const std::string *line = m_edit && m_file.m_bOpened ? m_edit->Find(key) : nullptr;
    return line ? ValueOf(*line) : def;
}

void CProfileBatch::SetValue(std::string key, std::string value) {
    try {
        if (m_edit && m_writable && m_edit->Apply(std::move(key), std::move(value)))
            m_changed = true;
    } catch (...) {
        // As a failed SetValue: silent, and the batch's other changes stay.
    }
}

void CProfileBatch::Save() {
    if (!m_changed)
        return;
    m_changed = false;
    try {
        m_edit->Finish();
        m_file.Save();
    } catch (...) {
        // Failures of a save are silent, as those of SetValue.
    }
}

}  // namespace zn
