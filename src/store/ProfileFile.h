// Values of an INI-format file. Every GetValue reads the whole file; every
// SetValue reads, changes one line and saves it whole. Many values are read
// and changed through a CProfileBatch: one read, one save.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zn {

class FileUpdateLock;

// One lock for every profile file of the process, taken by every load and
// save. Recursive, because SetValue holds it across the Load and Save that
// take it again.
std::recursive_mutex &ProfileFileLock();

class CProfileFile {
  public:
    CProfileFile();
    virtual ~CProfileFile();

    // The value after the first "=" of the key's line in the first section
    // of that name, trimmed; def, unchanged, when the file cannot be read or
    // the key is missing.
    std::string GetValue(const std::string &section, const std::string &key,
                         const std::string &def);
    // Replaces or adds key=value and saves the file; failures are silent. A
    // section, key or value holding CR, LF or NUL is refused: nothing is
    // written. Other processes using this class wait for the save.
    void SetValue(const std::string &section, const std::string &key, const std::string &value);
    // SetValue for each change in turn, with one load and one save: the file
    // gets the same bytes as from the calls one after another.
    void SetValues(const std::string &section,
                   const std::vector<std::pair<std::string, std::string>> &changes);

    std::string m_strFileName;

  private:
    friend class CProfileBatch;

    int Load();
    int Save();

    int m_bOpened = 0;
    std::vector<std::string> m_lines;
};

// One section of a file read once and held, with the process's and the
// file's locks, until the batch goes; changes are gathered and saved
// together, so that thousands of them cost one save of the file, not one
// each. Nothing that may wait on the library must run while one is held.
class CProfileBatch {
  public:
    CProfileBatch(CProfileFile &file, std::string section);
    // Saves what was gathered: whatever way the work ends, what it did
    // before is kept.
    ~CProfileBatch();
    CProfileBatch(const CProfileBatch &) = delete;
    CProfileBatch &operator=(const CProfileBatch &) = delete;

    // As CProfileFile::GetValue after the changes gathered so far.
    std::string GetValue(const std::string &key, const std::string &def) const;
    // As CProfileFile::SetValue, saved at the next Save; refused alike.
    void SetValue(std::string key, std::string value);
    // Writes the changes gathered so far; nothing when there are none.
    void Save();

  private:
    class Edit;

    CProfileFile &m_file;
    std::unique_lock<std::recursive_mutex> m_guard;
    std::unique_ptr<FileUpdateLock> m_lock;
    std::unique_ptr<Edit> m_edit;
    bool m_writable = false;
    bool m_changed = false;
};

}  // namespace zn
