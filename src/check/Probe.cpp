#include "check/Probe.h"

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
    std::vector<std::shared_ptr<Attempt>> attempts;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        attempts.swap(m_abandoned);
        if (m_current)
            attempts.push_back(m_current);
        m_current.reset();
    }
    for (auto &attempt : attempts)
        Cancel(*attempt);
    JoinEnded(&attempts);
    for (auto &attempt : attempts) {
        try {
            FinishInBackground([attempt] { attempt->thread.Join(); });
        } catch (...) {
            // Out of memory for the queue: the attempt's own end joins it.
        }
    }
}

void CServerProbe::Cancel(Attempt &attempt) {
    attempt.m_probeSocket.CancelBlockingCall();
    attempt.m_probeEvent.Set();
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

void CServerProbe::JoinEnded(std::vector<std::shared_ptr<Attempt>> *attempts) {
    for (auto it = attempts->begin(); it != attempts->end();) {
        if ((*it)->thread.WaitForEnd(0) == WaitResult::Signalled) {
            (*it)->thread.Join();
            it = attempts->erase(it);
        } else {
            ++it;
        }
    }
}

int CServerProbe::ProbeServer(const std::string &host, const std::string &portText,
                              uint32_t firstWaitMs, Event *stopEvent) {
    Observe(host, portText);
    std::vector<std::shared_ptr<Attempt>> earlier;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        earlier.swap(m_abandoned);
    }
    JoinEnded(&earlier);

    auto attempt = std::make_shared<Attempt>();
    attempt->m_strProbeHost = host;
    attempt->m_strProbePort = portText;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current = attempt;
        for (auto &a : earlier)
            m_abandoned.push_back(a);
    }
    // Whoever stops us sets the event first and then cancels the current
    // probe; looking at the event after publishing the probe closes the gap
    // in which that cancel would find no probe to cancel.
    if (stopEvent && stopEvent->Wait(0) != WaitResult::TimedOut)
        Cancel(*attempt);
    Attempt *raw = attempt.get();
    ConnectFailure cutShort = ConnectFailure::None;
    if (!attempt->thread.Start([raw, firstWaitMs] { ProbeThreadProc(raw, firstWaitMs); })) {
        // No thread to spare: connect here instead, within the first wait. A
        // cancel from another thread still cuts it short.
        ProbeThreadProc(raw, firstWaitMs);
    } else if (attempt->m_probeEvent.Wait(firstWaitMs) != WaitResult::Signalled ||
               !attempt->threadDone) {
        // Out of time, or cancelled by whoever stops us. Every step of a
        // probe, the name lookup too, ends at once on a cancel: wait for the
        // thread so that none is left behind.
        const bool stopped = stopEvent && stopEvent->Wait(0) != WaitResult::TimedOut;
        cutShort = stopped ? ConnectFailure::Cancelled : ConnectFailure::TimedOut;
        attempt->m_probeSocket.CancelBlockingCall();
        attempt->thread.WaitForEnd(Limits().probeCancelWaitMs);
    }
    const int ok = attempt->m_bProbeOk;
    m_lastFailure = ok                                 ? ConnectFailure::None
                    : cutShort != ConnectFailure::None ? cutShort
                    : attempt->threadDone              ? attempt->failure
                                                       : ConnectFailure::Other;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current.reset();
        // A probe thread that did not end even after its cancel keeps its
        // own state until it does.
        if (!attempt->threadDone) {
            m_abandoned.push_back(attempt);
            return ok;
        }
    }
    attempt->thread.Join();
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

}  // namespace zn
