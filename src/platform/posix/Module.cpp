#include "platform/Module.h"

#include <cstdio>

namespace zn {

// The shared library is linked never to be unmapped (-z nodelete), so a
// thread needs no hold of its own.
void HoldLibraryForThread() {}

void ReleaseUnstartedThreadHold() {}

void ReleaseHoldAndEndThread() {}

void ShowSocketLayerFailure(const char *text) {
    std::fprintf(stderr, "%s\n", text);
}

}  // namespace zn
