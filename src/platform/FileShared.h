// Pieces of the text-file services that every platform shares: the bytes of
// a save, the lines of a read, the names of a save's temporaries and the
// test hook's pending fault.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/TestHooks.h"

namespace zn {

// Every line ended by CR LF; a lone LF inside a line becomes CR LF too, as
// text-mode output makes it.
std::string TextOfLines(const std::vector<std::string> &lines);

// The lines of a file's content, split at LF with a CR before it dropped; a
// last line without a line end still counts.
std::vector<std::string> LinesOfText(const std::string &content);

// Temporaries of a save are named <prefix><process id>-<counter>; true for
// a name of that form.
bool IsSaveTempName(const std::string &name, const std::string &prefix);

// Where an in-place rewrite of old into text starts: the length of what they
// share from the start. Bytes before it are never written, so a crash inside
// the write cannot touch them.
size_t FirstChangedByte(const std::string &old, const std::string &text);

// True, once, when fault is the test hook's pending fault (which it clears).
bool TakeFileFault(FileFault fault);

// Removes the file, if it can; each platform writes it once.
void RemoveFile(const std::string &path);

// A save's temporary file, removed on the way out unless it was moved into
// place.
class TempFile {
  public:
    explicit TempFile(std::string path) : m_path(std::move(path)) {}
    ~TempFile() {
        if (!m_committed)
            RemoveFile(m_path);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    const std::string &Path() const { return m_path; }
    void Commit() { m_committed = true; }

  private:
    std::string m_path;
    bool m_committed = false;
};

}  // namespace zn
