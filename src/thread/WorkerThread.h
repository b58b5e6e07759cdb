// Base of every object that runs on a thread of its own: one thread, a
// manual-reset stop event that the body polls, Start and Stop.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace zn {

class CWorkerThread {
  public:
    CWorkerThread();
    // Does not stop the thread: owners Stop it, and Join it before freeing.
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread &) = delete;
    CWorkerThread &operator=(const CWorkerThread &) = delete;

    // Resets the stop event and runs Run on a new thread. -1 when the stop
    // event could not be created; 0 otherwise, also when the thread could
    // not be created (a later Stop then returns 0 at once).
    int Start(int priority);

    // Sets the stop event and waits at most timeoutMs (kInfinite: no limit)
    // for the thread to end. -1 on time-out, 0 otherwise. Never kills it.
    int Stop(uint32_t timeoutMs);

    // Waits for the thread to end without limit and releases it. Owners call
    // this before freeing the object so no thread outlives what it touches.
    void Join();

    bool IsCurrentThread() const { return m_thread.IsCurrent(); }
    // True when no thread this object started is still running.
    bool HasEnded();
    uint32_t ThreadId() const { return m_nThreadId; }

    // The thread procedure: runs the object's body; the result is always 0.
    static uint32_t ThreadEntry(CWorkerThread *self);

  protected:
    virtual int Run() = 0;

    // Zero-time poll of the stop event, as the bodies do between steps:
    // true when stopping (the event is set, or the wait failed).
    bool StopRequested();

    int m_bFailed = 0;
    uint32_t m_nThreadId = 0;
    Event m_hStopEvent{Event::Manual, false};

  private:
    OwnedThread m_thread;
    std::mutex m_cs;
};

}  // namespace zn
