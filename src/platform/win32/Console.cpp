#include "platform/Console.h"

#include <io.h>
#include <windows.h>

namespace zn {

bool IsTerminal(std::FILE *stream) {
    return stream && _isatty(_fileno(stream)) != 0;
}

std::FILE *TakeStandardOutput() {
    std::fflush(stdout);
    const int kept = _dup(_fileno(stdout));
    if (kept < 0)
        return nullptr;
    std::FILE *stream = _fdopen(kept, "w");
    if (!stream) {
        _close(kept);
        return nullptr;
    }
    if (_dup2(_fileno(stderr), _fileno(stdout)) < 0) {
        std::fclose(stream);
        return nullptr;
    }
    // What writes to the system's standard output handle, not through the
    // runtime's descriptor, goes to standard error as well.
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    return stream;
}

}  // namespace zn
