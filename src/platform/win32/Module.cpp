#include "platform/Module.h"

#include <windows.h>

namespace zn {

namespace {
bool g_unloadedByHost = false;
}  // namespace

bool UnloadedByHost() {
    return g_unloadedByHost;
}

// The loader's lock is the critical section that the process environment
// block names at this offset, the same on every Windows since NT 4 and in
// Wine, which points it at its own loader's lock. Only the holder writes its
// own id as the owner, so the read needs no lock. The system exports no
// function that answers this.
bool UnderLoaderLock() {
    const BYTE *peb;
#ifdef _WIN64
    constexpr size_t kLoaderLockOffset = 0x110;
    asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
    constexpr size_t kLoaderLockOffset = 0xA0;
    asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
    const RTL_CRITICAL_SECTION *lock =
        *reinterpret_cast<RTL_CRITICAL_SECTION *const *>(peb + kLoaderLockOffset);
    return lock && static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(lock->OwningThread)) ==
                       GetCurrentThreadId();
}

void ShowSocketLayerFailure(const char *text) {
    MessageBoxA(nullptr, text, "zembrixnet", MB_OK | MB_ICONERROR);
}

namespace {

// The thread that unloads us goes on without us. The runtimes linked into
// the DLL keep a record of every thread that used them (the thread library
// holds a handle of the thread and an event in it), released when that
// thread ends while we are loaded: this one would keep its record, and its
// handles, for good. It gets the release it would get at its end.
void ReleaseRuntimeRecordsOfThisThread(HINSTANCE module) {
    const BYTE *base = reinterpret_cast<const BYTE *>(module);
    const IMAGE_NT_HEADERS *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &entry =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (entry.VirtualAddress == 0)
        return;
    const IMAGE_TLS_DIRECTORY *tls =
        reinterpret_cast<const IMAGE_TLS_DIRECTORY *>(base + entry.VirtualAddress);
    for (PIMAGE_TLS_CALLBACK *callback =
             reinterpret_cast<PIMAGE_TLS_CALLBACK *>(tls->AddressOfCallBacks);
         callback && *callback; ++callback)
        (*callback)(module, DLL_THREAD_DETACH, nullptr);
}

// The C++ runtime makes the lock behind statics' first use once per load,
// recording the thread that makes it with the thread library; the first
// static made here does it on the loading thread, whose record then goes.
void MakeStaticsLock() {
    static const DWORD loader = GetCurrentThreadId();
    (void)loader;
}

}  // namespace

}  // namespace zn

// Runs after the static constructors and before the static destructors (the
// runtime's start-up code calls it in between). A null reserved argument at
// detach means FreeLibrary, not the process's exit; then no thread of ours
// runs (each holds us loaded).
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Loading made a record of the loading thread, which another thread
        // may be the one to unload us: it goes now, and comes back only if
        // this thread needs one again.
        zn::MakeStaticsLock();
        zn::ReleaseRuntimeRecordsOfThisThread(module);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        zn::g_unloadedByHost = true;
        zn::ReleaseRuntimeRecordsOfThisThread(module);
    }
    return TRUE;
}
