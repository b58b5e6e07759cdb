// Text files read as lines and saved whole, never left half-written.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zn {

// Reads the file's lines without their ends; CR LF and LF both end a line.
// False when the file cannot be opened or read; *lines is then untouched.
bool ReadTextLines(const std::string &path, std::vector<std::string> *lines);

// Replaces the file's content with the lines, each ended by CR LF (a LF
// inside a line becomes CR LF too, as text-mode output makes it). A
// temporary file in the same directory is written, flushed to disk and
// renamed over the old one, so a crash or a full disk leaves either the old
// or the new file whole. The directory is not flushed: after a power cut the
// rename itself may be lost, leaving the previous whole file. Only where a
// replacement is refused but the file itself may be written (the directory
// refuses the temporary, its name would be too long, on Windows another
// program holds the file without delete sharing) is the file rewritten in
// place, from its first changed byte (written, flushed, cut to its new
// length): not atomic, since a crash inside that write may leave a line that
// mixes new and old bytes. Other failures, a full disk among them, leave the
// old file as it is. The old file's permission bits are kept; a
// new file gets the usual creation mode. A file without its owner-write bit
// is not replaced, whoever runs the process. False when nothing was replaced.
bool SaveTextLines(const std::string &path, const std::vector<std::string> &lines);

// Removes the temporary files that earlier saves of path left behind (their
// writer was killed mid-save); one that a live writer still holds stays.
void RemoveStaleSaveFiles(const std::string &path);

// Advisory lock across processes for one file, held from construction to
// destruction, so that a load, change and save of the file is not mixed
// with another process's: readers share it, a writer holds it alone. It
// takes no extra file. Only cooperating processes wait for it. When it
// cannot be had within waitMs (no lock on that file system, a peer that
// holds it for ever), Held() is false and the holder goes on without it,
// as if it were the only process: late rather than never.
class FileUpdateLock {
  public:
    enum class Mode { Shared, Exclusive };
    FileUpdateLock(const std::string &path, Mode mode, unsigned waitMs);
    ~FileUpdateLock();
    FileUpdateLock(const FileUpdateLock &) = delete;
    FileUpdateLock &operator=(const FileUpdateLock &) = delete;

    bool Held() const;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace zn
