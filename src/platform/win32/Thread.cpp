#include "platform/Thread.h"
#include "platform/Module.h"

#include <pthread.h>
#include <windows.h>

#include <new>

namespace zn {

namespace {

struct StartRecord {
    void (*entry)(void *);
    void *argument;
    HMODULE module;  // the thread's own hold on the library
};

// Started with the system's own CreateThread, not through a runtime's thread
// wrapper: that wrapper is linked into the library and would run again after
// the thread's body, when the hold may be gone. The thread ends here, inside
// the system, whichever way the hold goes.
DWORD WINAPI ThreadStart(void *parameter) {
    const StartRecord start = *static_cast<StartRecord *>(parameter);
    delete static_cast<StartRecord *>(parameter);
    start.entry(start.argument);
    FreeLibraryAndExitThread(start.module, 0);
}

HANDLE NativeOf(uintptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

ThreadValue::ThreadValue() : m_slot(TlsAlloc()), m_valid(m_slot != TLS_OUT_OF_INDEXES) {}

ThreadValue::~ThreadValue() {
    if (m_valid && UnloadedByHost())
        TlsFree(m_slot);
}

intptr_t ThreadValue::Get() const {
    return m_valid ? reinterpret_cast<intptr_t>(TlsGetValue(m_slot)) : 0;
}

void ThreadValue::Set(intptr_t value) {
    if (m_valid)
        TlsSetValue(m_slot, reinterpret_cast<void *>(value));
}

bool SystemThread::Start(void (*entry)(void *), void *argument) {
    Detach();
    StartRecord *start = new (std::nothrow) StartRecord{entry, argument, nullptr};
    if (!start)
        return false;
    // The starter runs our code, so the library is mapped while the hold is
    // taken; the host or another of our threads holds it too.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&ThreadStart), &start->module)) {
        delete start;
        return false;
    }
    const HANDLE thread = CreateThread(nullptr, 0, ThreadStart, start, 0, nullptr);
    if (!thread) {
        FreeLibrary(start->module);
        delete start;
        return false;
    }
    m_handle = reinterpret_cast<uintptr_t>(thread);
    m_attached = true;
    return true;
}

bool SystemThread::IsCurrent() const {
    return m_attached && GetThreadId(NativeOf(m_handle)) == GetCurrentThreadId();
}

void SystemThread::Join() {
    if (!m_attached)
        return;
    m_attached = false;
    // While the host unloads us, or calls us from inside a DllMain, the
    // loader's lock is held, and an ending thread waits for that lock: it
    // runs none of our code any more (owners join there only threads whose
    // work has ended), and waiting for it would never end.
    if (!UnloadedByHost() && !UnderLoaderLock())
        WaitForSingleObject(NativeOf(m_handle), INFINITE);
    CloseHandle(NativeOf(m_handle));
}

void SystemThread::Detach() {
    if (!m_attached)
        return;
    m_attached = false;
    CloseHandle(NativeOf(m_handle));
}

void ReleaseLockAtUnload(std::mutex &lock) {
    pthread_mutex_destroy(lock.native_handle());
}

void ReleaseLockAtUnload(std::recursive_mutex &lock) {
    pthread_mutex_destroy(lock.native_handle());
}

}  // namespace zn
