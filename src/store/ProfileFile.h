// Values of an INI-format file. Every GetValue reads the whole file; every
// SetValue reads, changes one line and saves it whole. Many values are read
// and changed through a CProfileBatch: one read, one save.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zn {

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
    // Every key of the section with the value GetValue gives it; false, and
    // no keys, when the file cannot be read.
    bool ReadSection(const std::string &section,
                     std::unordered_map<std::string, std::string> *values);

    std::string m_strFileName;

  private:
    int Load();
    int Save();

    int m_bOpened = 0;
    std::vector<std::string> m_lines;
};

// One section of a file read once; changes are gathered and saved together,
// so that thousands of them cost one save of the file, not one each.
class CProfileBatch {
  public:
    CProfileBatch(CProfileFile &file, std::string section);
    // Saves what was gathered: whatever way the work ends, what it did
    // before is kept.
    ~CProfileBatch();
    CProfileBatch(const CProfileBatch &) = delete;
    CProfileBatch &operator=(const CProfileBatch &) = delete;

    // As CProfileFile::GetValue at the read: the changes gathered since are
    // not seen.
    std::string GetValue(const std::string &key, const std::string &def) const;
    // Gathered for the next Save, where a change that CProfileFile::SetValue
    // refuses is left out.
    void SetValue(std::string key, std::string value);
    // Writes the changes gathered so far with CProfileFile::SetValues;
    // nothing when there are none.
    void Save();

  private:
    CProfileFile &m_file;
    std::string m_section;
    std::unordered_map<std::string, std::string> m_values;
    std::vector<std::pair<std::string, std::string>> m_changes;
};

}  // namespace zn
