// The console as a command-line host sees it: whether a stream is a terminal,
// and a standard output that nothing else in the process can write to.
#pragma once

#include <cstdio>

namespace zn {

// True when stream is open on a terminal.
bool IsTerminal(std::FILE *stream);

// Returns a stream on the process's original standard output and points the
// standard output descriptor at standard error, so that whatever else the
// process prints there (the library's own diagnostic line included) cannot
// mix into the caller's output. Null, with nothing changed, on failure.
std::FILE *TakeStandardOutput();

}  // namespace zn
