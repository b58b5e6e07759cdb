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

// Never unloaded here: nothing to give back.
void ReleaseLockAtUnload(std::mutex &) {}
void ReleaseLockAtUnload(std::recursive_mutex &) {}

// Never unloaded here: the key stays to the process's end.
ThreadValue::ThreadValue() {
    pthread_key_t key;
    m_valid = pthread_key_create(&key, nullptr) == 0;
    m_slot = m_valid ? static_cast<unsigned long>(key) : 0;
}

ThreadValue::~ThreadValue() = default;

intptr_t ThreadValue::Get() const {
    return m_valid
               ? reinterpret_cast<intptr_t>(pthread_getspecific(static_cast<pthread_key_t>(m_slot)))
               : 0;
}

void ThreadValue::Set(intptr_t value) {
    if (m_valid)
        pthread_setspecific(static_cast<pthread_key_t>(m_slot), reinterpret_cast<void *>(value));
}

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
