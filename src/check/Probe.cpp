#include "check/Probe.h"

#include <cstdlib>

#include "thread/TimeLimits.h"

namespace zn {

namespace {
std::mutex g_observerMutex;
std::function<void(const std::string &, const std::string &)> g_observer;

void Observe(const std::string &host, const std::string &port) {
    std::function<void(const std::string &, const std::string &)> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerMutex);
        observer = g_observer;
    }
    if (observer) observer(host, port);
}
}  // namespace

namespace testhooks {
void SetProbeObserver(
    std::function<void(const std::string &host, const std::string &port)> observer) {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    g_observer = std::move(observer);
}
}  // namespace testhooks

CServerProbe::~CServerProbe() {
    std::vector<std::shared_ptr<Attempt>> attempts;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        attempts.swap(m_abandoned);
        if (m_current) attempts.push_back(m_current);
        m_current.reset();
    }
    for (auto &attempt : attempts) {
        attempt->m_probeSocket.CancelBlockingCall();
        attempt->thread.Join();
    }
}

void CServerProbe::ProbeThreadProc(Attempt *attempt) {
    const unsigned port = static_cast<unsigned>(std::atoi(attempt->m_strProbePort.c_str()));
    attempt->m_bProbeOk = attempt->m_probeSocket.TestConnect(attempt->m_strProbeHost, port) ? 1 : 0;
    attempt->m_probeEvent.Set();
}

void CServerProbe::JoinEndedAttempts() {
    std::vector<std::shared_ptr<Attempt>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_abandoned.begin(); it != m_abandoned.end();) {
            if ((*it)->thread.WaitForEnd(0) == WaitResult::Signalled) {
                ended.push_back(*it);
                it = m_abandoned.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &attempt : ended) attempt->thread.Join();
}

int CServerProbe::ProbeServer(const std::string &host, const std::string &portText,
                              uint32_t firstWaitMs, Event *stopEvent) {
    Observe(host, portText);
    JoinEndedAttempts();
    auto attempt = std::make_shared<Attempt>();
    attempt->m_strProbeHost = host;
    attempt->m_strProbePort = portText;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current = attempt;
    }
    // Whoever stops us sets the event first and then cancels the current
    // probe; looking at the event after publishing the probe closes the gap
    // in which that cancel would find no probe to cancel.
    if (stopEvent && stopEvent->Wait(0) != WaitResult::TimedOut) {
        attempt->m_probeSocket.CancelBlockingCall();
    }
    Attempt *raw = attempt.get();
    attempt->thread.Start([raw] { ProbeThreadProc(raw); });

    bool ended = true;
    switch (attempt->m_probeEvent.Wait(firstWaitMs)) {
        case WaitResult::Signalled:
            break;
        case WaitResult::TimedOut:
            attempt->m_probeSocket.CancelBlockingCall();
            ended = attempt->m_probeEvent.Wait(Limits().probeCancelWaitMs) ==
                    WaitResult::Signalled;
            break;
        case WaitResult::Failed:
            ended = false;
            break;
    }
    const int ok = attempt->m_bProbeOk;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current.reset();
    if (ended) {
        attempt->thread.Join();
    } else {
        m_abandoned.push_back(attempt);
    }
    return ok;
}

void CServerProbe::CancelBlockingCall() {
    std::shared_ptr<Attempt> attempt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        attempt = m_current;
    }
    if (attempt) attempt->m_probeSocket.CancelBlockingCall();
}

}  // namespace zn
