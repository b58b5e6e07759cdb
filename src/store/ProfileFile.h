// One value at a time from an INI-format file. Every GetValue reads the
// whole file; every SetValue reads, changes one line and saves it whole.
#pragma once

#include <string>
#include <vector>

namespace zn {

class CProfileFile {
  public:
    CProfileFile();
    virtual ~CProfileFile();

    // The value after the first "=" of the key's line in the first section
    // of that name, trimmed; def, unchanged, when the file cannot be read or
    // the key is missing.
    std::string GetValue(const std::string &section, const std::string &key,
                         const std::string &def);
    // Replaces or adds key=value and saves the file; failures are silent.
    // Texts that hold a line end are refused (nothing is written).
    void SetValue(const std::string &section, const std::string &key, const std::string &value);

    std::string m_strFileName;

  private:
    int Load();
    int Save();

    int m_bOpened = 0;
    std::vector<std::string> m_lines;
};

}  // namespace zn
