// Text files read as lines and saved whole, never left half-written.
#pragma once

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
// or the new file whole. The old file's permission bits are kept; a new file
// gets the usual creation mode. A file without its owner-write bit is not
// replaced, whoever runs the process. False when nothing was replaced.
bool SaveTextLines(const std::string &path, const std::vector<std::string> &lines);

// Test hook, process-wide: the next operation of the given kind fails, as on
// a failing or full device. None withdraws a pending fault.
enum class FileFault { None, Read, Write, Sync, Rename };
void InjectFileFault(FileFault fault);

}  // namespace zn
