#include "platform/Thread.h"

#include <pthread.h>

#include <new>

namespace zn {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread id fits the handle");

struct StartRecord {
    void (*entry)(void *);
    void *argument;
};

// The shared library is never unmapped (-z nodelete): a thread may simply
// return.
void *ThreadStart(void *parameter) {
    const StartRecord start = *static_cast<StartRecord *>(parameter);
    delete static_cast<StartRecord *>(parameter);
    start.entry(start.argument);
    return nullptr;
}

pthread_t NativeOf(uintptr_t handle) {
    return static_cast<pthread_t>(handle);
}

}  // namespace

bool SystemThread::Start(void (*entry)(void *), void *argument) {
    Detach();
    StartRecord *start = new (std::nothrow) StartRecord{entry, argument};
    if (!start)
        return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ThreadStart, start) != 0) {
        delete start;
        return false;
    }
    m_handle = static_cast<uintptr_t>(thread);
    m_attached = true;
    return true;
}

bool SystemThread::IsCurrent() const {
    return m_attached && pthread_equal(NativeOf(m_handle), pthread_self());
}

void SystemThread::Join() {
    if (!m_attached)
        return;
    m_attached = false;
    pthread_join(NativeOf(m_handle), nullptr);
}

void SystemThread::Detach() {
    if (!m_attached)
        return;
    m_attached = false;
    pthread_detach(NativeOf(m_handle));
}

}  // namespace zn
