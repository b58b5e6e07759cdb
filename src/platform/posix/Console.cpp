#include "platform/Console.h"

#include <unistd.h>

namespace zn {

bool IsTerminal(std::FILE *stream) {
    return stream && isatty(fileno(stream)) == 1;
}

std::FILE *TakeStandardOutput() {
    std::fflush(stdout);
    const int kept = dup(STDOUT_FILENO);
    if (kept < 0)
        return nullptr;
    std::FILE *stream = fdopen(kept, "w");
    if (!stream) {
        close(kept);
        return nullptr;
    }
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

}  // namespace zn
