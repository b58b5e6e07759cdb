#include "platform/Module.h"

#include <windows.h>

namespace zn {

namespace {
bool g_unloadedByHost = false;
}  // namespace

bool UnloadedByHost() {
    return g_unloadedByHost;
}

void ShowSocketLayerFailure(const char *text) {
    MessageBoxA(nullptr, text, "zembrixnet", MB_OK | MB_ICONERROR);
}

}  // namespace zn

// Runs before the static destructors (the runtime's start-up code calls it
// first). A null reserved argument at detach means FreeLibrary, not the
// process's exit.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        zn::g_unloadedByHost = true;
    return TRUE;
}
