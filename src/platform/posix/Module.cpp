#include "platform/Module.h"

#include <cstdio>

namespace zn {

// The shared library is linked never to be unmapped (-z nodelete).
bool UnloadedByHost() {
    return false;
}

// No loader here runs code of ours under a lock that threads need.
bool UnderLoaderLock() {
    return false;
}

void ShowSocketLayerFailure(const char *text) {
    std::fprintf(stderr, "%s\n", text);
}

}  // namespace zn
