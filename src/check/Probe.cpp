#include "check/Probe.h"

#include <chrono>
#include <cstdlib>

#include "platform/TestHooks.h"
#include "thread/Reaper.h"

namespace zn {

namespace {
void Observe(const std::string &host, const std::string &port) {
    if (const auto observer = TestHooks().probeObserver.Get())
        observer(host, port);
}
}  // namespace

const char *ProbeOutcomeText(ConnectFailure failure) {
    switch (failure) {
        case ConnectFailure::None:
            return "connected";
        case ConnectFailure::Refused:
            return "refused";
        case ConnectFailure::TimedOut:
            return "timed out";
        case ConnectFailure::Unreachable:
            return "unreachable";
        case ConnectFailure::NameNotFound:
            return "name not found";
        case ConnectFailure::NameServersSilent:
            return "no answer from the name servers";
        case ConnectFailure::Cancelled:
            return "cancelled";
        default:
            return "failed";
    }
}

CServerProbe::~CServerProbe() {
    std::vector<std::shared_ptr<ProbeThread>> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_leaving);
        if (m_thread)
            threads.push_back(std::move(m_thread));
        m_current.reset();
    }
    for (auto &probeThread : threads) {
        {
            std::lock_guard<std::mutex> lock(probeThread->mutex);
            if (probeThread->attempt)
                Cancel(*probeThread->attempt);
        }
        LetGo(*probeThread);
    }
    JoinEnded(&threads);
    for (auto &probeThread : threads) {
        try {
            FinishInBackground([probeThread] { probeThread->thread.Join(); });
        } catch (...) {
            // Out of memory for the queue: the thread's own end joins it.
        }
    }
}

void CServerProbe::Cancel(Attempt &attempt) {
    attempt.m_probeSocket.CancelBlockingCall();
    attempt.m_probeEvent.Set();
}

void CServerProbe::LetGo(ProbeThread &probeThread) {
    {
        std::lock_guard<std::mutex> lock(probeThread.mutex);
        probeThread.quit = true;
    }
    probeThread.wake.Set();
}

void CServerProbe::ProbeThreadProc(Attempt *attempt, uint32_t timeoutMs) {
    const unsigned port = static_cast<unsigned>(std::atoi(attempt->m_strProbePort.c_str()));
    attempt->m_bProbeOk =
        attempt->m_probeSocket.TestConnect(attempt->m_strProbeHost, port, timeoutMs) ? 1 : 0;
    const ConnectFailure failure = attempt->m_probeSocket.LastFailure();
    attempt->failure = attempt->m_bProbeOk               ? ConnectFailure::None
                       : failure == ConnectFailure::None ? ConnectFailure::Other
                                                         : failure;
    attempt->threadDone = true;
    attempt->m_probeEvent.Set();
}

void CServerProbe::ProbeThreadLoop(ProbeThread *probeThread) {
    for (;;) {
        std::shared_ptr<Attempt> attempt;
        {
            std::lock_guard<std::mutex> lock(probeThread->mutex);
            if (probeThread->quit)
                return;
            if (probeThread->pending) {
                probeThread->pending = false;
                attempt = probeThread->attempt;
            }
        }
        if (attempt)
            ProbeThreadProc(attempt.get(), attempt->connectLimitMs);
        else if (probeThread->wake.Wait(kInfinite) == WaitResult::Failed)
            return;
    }
}

void CServerProbe::WaitForAttempt(Attempt &attempt, uint32_t ms) {
    // The event is also set by cancels: only the done flag tells the end.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!attempt.threadDone) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 ||
            attempt.m_probeEvent.Wait(static_cast<uint32_t>(left)) == WaitResult::Failed)
            return;
    }
}

void CServerProbe::JoinEnded(std::vector<std::shared_ptr<ProbeThread>> *threads) {
    for (auto it = threads->begin(); it != threads->end();) {
        if ((*it)->thread.WaitForEnd(0) == WaitResult::Signalled) {
            (*it)->thread.Join();
            it = threads->erase(it);
        } else {
            ++it;
        }
    }
}

bool CServerProbe::Hand(const std::shared_ptr<Attempt> &attempt) {
    if (!m_thread) {
        auto fresh = std::make_shared<ProbeThread>();
        ProbeThread *raw = fresh.get();
        if (!raw->wake.IsValid() || !raw->thread.Start([raw] { ProbeThreadLoop(raw); }))
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_thread = std::move(fresh);
    }
    {
        std::lock_guard<std::mutex> lock(m_thread->mutex);
        m_thread->attempt = attempt;
        m_thread->pending = true;
    }
    m_thread->wake.Set();
    return true;
}

int CServerProbe::ProbeServer(const std::string &host, const std::string &portText,
                              uint32_t firstWaitMs, Event *stopEvent) {
    Observe(host, portText);
    std::vector<std::shared_ptr<ProbeThread>> leaving;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        leaving.swap(m_leaving);
    }
    JoinEnded(&leaving);

    auto attempt = std::make_shared<Attempt>();
    attempt->m_strProbeHost = host;
    attempt->m_strProbePort = portText;
    // The connect's own limit: a name lookup shares it among the name servers.
    attempt->connectLimitMs = firstWaitMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current = attempt;
        for (auto &probeThread : leaving)
            m_leaving.push_back(probeThread);
    }
    // Whoever stops us sets the event first and then cancels the current
    // probe; looking at the event after publishing the probe closes the gap
    // in which that cancel would find no probe to cancel.
    if (stopEvent && stopEvent->Wait(0) != WaitResult::TimedOut)
        Cancel(*attempt);
    ConnectFailure cutShort = ConnectFailure::None;
    if (!Hand(attempt)) {
        // No thread to spare: connect here instead, within the first wait. A
        // cancel from another thread still cuts it short.
        ProbeThreadProc(attempt.get(), firstWaitMs);
    } else if (attempt->m_probeEvent.Wait(firstWaitMs) != WaitResult::Signalled ||
               !attempt->threadDone) {
        // Out of time, or cancelled by whoever stops us. Every step of a
        // probe, the name lookup too, ends at once on a cancel: wait for it
        // so that the thread is free for the next probe.
        const bool stopped = stopEvent && stopEvent->Wait(0) != WaitResult::TimedOut;
        cutShort = stopped ? ConnectFailure::Cancelled : ConnectFailure::TimedOut;
        attempt->m_probeSocket.CancelBlockingCall();
        WaitForAttempt(*attempt, Limits().probeCancelWaitMs);
    }
    const int ok = attempt->m_bProbeOk;
    m_lastFailure = ok                                 ? ConnectFailure::None
                    : cutShort != ConnectFailure::None ? cutShort
                    : attempt->threadDone              ? attempt->failure
                                                       : ConnectFailure::Other;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current.reset();
    // A probe that did not end even after its cancel keeps its thread (and
    // its own state) until it does; the next probe gets a new thread.
    if (!attempt->threadDone && m_thread) {
        LetGo(*m_thread);
        m_leaving.push_back(std::move(m_thread));
    }
    return ok;
}

void CServerProbe::CancelBlockingCall() {
    std::shared_ptr<Attempt> attempt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        attempt = m_current;
    }
    if (attempt)
        Cancel(*attempt);
}

void CServerProbe::ReleaseThread() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_thread)
        return;
    LetGo(*m_thread);
    m_leaving.push_back(std::move(m_thread));
}

}  // namespace zn
