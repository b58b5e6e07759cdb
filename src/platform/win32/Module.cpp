#include "platform/Module.h"

#include <windows.h>

#include <atomic>

namespace zn {

namespace {

// Library threads that run or are about to; the first one takes a reference
// to our module, the last one gives it back.
std::atomic<long> g_threads{0};

HMODULE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

// A reference that keeps the module mapped until FreeLibrary gives it back.
void TakeModuleReference() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&OwnModule),
                       &module);
}

}  // namespace

void HoldLibraryForThread() {
    // The starter runs our code, so the module is mapped while it takes the
    // reference.
    if (g_threads.fetch_add(1) == 0)
        TakeModuleReference();
}

void ReleaseUnstartedThreadHold() {
    // The starter's own code still runs here, so the host holds the module
    // too (an export) or a running thread does: this is never the last
    // reference.
    if (g_threads.fetch_sub(1) == 1)
        FreeLibrary(OwnModule());
}

void ReleaseHoldAndEndThread() {
    if (g_threads.fetch_sub(1) != 1)
        return;
    // Last thread out: the module may go with the reference, so the thread
    // ends in the system's code, never returning into ours. What the
    // thread's own start-up left on the heap is given up with it.
    FreeLibraryAndExitThread(OwnModule(), 0);
}

void ShowSocketLayerFailure(const char *text) {
    MessageBoxA(nullptr, text, "zembrixnet", MB_OK | MB_ICONERROR);
}

}  // namespace zn
