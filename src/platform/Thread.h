// A thread owned by one object, which can wait for its end with a time limit
// and must join it before it is freed. Threads started here count as library
// threads (see IsLibraryThread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Event.h"

namespace zn {

// One thread of the system's own, started on a plain function and joined or
// let go by its owner. Where a host may unload the library (Windows), each
// thread holds the library loaded for its whole life and ends inside the
// system's code, so no code of ours (nor of a runtime linked into us) runs
// after its hold is given back.
class SystemThread {
  public:
    SystemThread() = default;
    // Lets go of a thread that is still attached.
    ~SystemThread();
    SystemThread(SystemThread &&other) noexcept;
    SystemThread &operator=(SystemThread &&other) noexcept;

    // Runs entry(argument) on a new thread. False when none could be
    // started; entry then never runs.
    bool Start(void (*entry)(void *), void *argument);
    bool Joinable() const { return m_attached; }
    bool IsCurrent() const;
    // Waits for the thread's end and lets go of it.
    void Join();
    // Lets go of the thread without waiting; it ends on its own.
    void Detach();

  private:
    uintptr_t m_handle = 0;  // the system's thread handle
    bool m_attached = false;
};

class OwnedThread {
  public:
    OwnedThread() = default;
    // Joins a thread that is still attached; owners normally wait first.
    ~OwnedThread();
    OwnedThread(const OwnedThread &) = delete;
    OwnedThread &operator=(const OwnedThread &) = delete;

    // Starts body on a new thread. A thread of an earlier start may still be
    // on its way out (its body returned a result to someone who starts the
    // next run at once); it is joined later, never waited for here. Returns
    // false when the thread could not be created.
    bool Start(std::function<void()> body);

    // Waits at most timeoutMs (kInfinite: no limit) for the thread to end.
    // Signalled when it has ended or none was started; TimedOut otherwise.
    WaitResult WaitForEnd(uint32_t timeoutMs);

    // Waits without limit and joins every thread this object started. A
    // thread cannot join itself: called from one, that one is detached;
    // owners avoid that case.
    void Join();

    // True when no thread this object started is still running (ended
    // threads may still wait to be joined).
    bool HasEnded() const;

    bool IsCurrent() const;
    uint32_t Id() const { return m_id; }

  private:
    // Threads of earlier starts on their way out, with their end events.
    struct Finishing {
        SystemThread thread;
        std::shared_ptr<Event> ended;
    };
    void JoinEndedFinishing();

    SystemThread m_thread;
    std::shared_ptr<Event> m_ended;
    std::vector<Finishing> m_finishing;
    uint32_t m_id = 0;
};

// A value of each thread, zero until the thread sets it, in the system's own
// thread-local storage: on Windows the compiler's thread_local goes through
// the thread library linked into the DLL, which then keeps a record (with
// two handles) of every host thread that touched it, beyond an unload.
class ThreadValue {
  public:
    ThreadValue();
    // Gives the slot back only when the host unloads the library; at the
    // process's exit a thread may still read it.
    ~ThreadValue();
    ThreadValue(const ThreadValue &) = delete;
    ThreadValue &operator=(const ThreadValue &) = delete;

    intptr_t Get() const;
    void Set(intptr_t value);

  private:
    unsigned long m_slot;
    bool m_valid;
};

// Gives back what the system keeps for a lock that is never destroyed (one
// that lives to the process's end). On Windows the thread library linked into
// the DLL makes a kernel event for a lock the first time two threads meet at
// it, and only destroying the lock frees it: each load would leave one. Only
// while the host unloads the library, when no thread of ours runs; the lock
// is not used again.
void ReleaseLockAtUnload(std::mutex &lock);
void ReleaseLockAtUnload(std::recursive_mutex &lock);

// True on every thread that the library started through OwnedThread.
bool IsLibraryThread();

void SleepMs(uint32_t ms);

}  // namespace zn
