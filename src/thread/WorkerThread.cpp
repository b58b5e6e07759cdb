#include "thread/WorkerThread.h"

namespace zn {

CWorkerThread::CWorkerThread() {
    if (!m_hStopEvent.IsValid())
        m_bFailed = 1;
}

CWorkerThread::~CWorkerThread() = default;

uint32_t CWorkerThread::ThreadEntry(CWorkerThread *self) {
    self->Run();
    return 0;
}

int CWorkerThread::Start(int /*priority: every caller asks for normal*/) {
    if (m_bFailed)
        return -1;
    std::lock_guard<std::mutex> lock(m_cs);
    m_hStopEvent.ResetEvent();
    if (m_thread.Start([this] { ThreadEntry(this); })) {
        m_nThreadId = m_thread.Id();
    } else {
        m_nThreadId = 0;
    }
    return 0;
}

int CWorkerThread::Stop(uint32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(m_cs);
    m_hStopEvent.Set();
    return m_thread.WaitForEnd(timeoutMs) == WaitResult::TimedOut ? -1 : 0;
}

bool CWorkerThread::HasEnded() {
    std::lock_guard<std::mutex> lock(m_cs);
    return m_thread.HasEnded();
}

void CWorkerThread::Join() {
    std::lock_guard<std::mutex> lock(m_cs);
    m_thread.Join();
}

bool CWorkerThread::StopRequested() {
    return m_hStopEvent.Wait(0) != WaitResult::TimedOut;
}

}  // namespace zn
