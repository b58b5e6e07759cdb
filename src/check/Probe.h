// Probing one server on a short-lived thread of its own, with a time limit
// and a cancel that cuts a hanging connect short from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "check/ProbeSocket.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace zn {

// The probe members one asking thread uses for its probes, one at a time.
class CServerProbe {
  public:
    CServerProbe() = default;
    // Cancels every probe; any still running are joined in the background
    // once they end.
    ~CServerProbe();
    CServerProbe(const CServerProbe &) = delete;
    CServerProbe &operator=(const CServerProbe &) = delete;

    // Connects to host at the port that atoi reads from portText, on a probe
    // thread. Waits firstWaitMs for it; then cancels the connect and waits
    // the probe-cancel limit more for the thread to end. Without a thread to
    // spare, connects on the calling thread within firstWaitMs. 1 when the
    // server answered in time.
    // A stop event that is already set when the probe starts cancels it at
    // once (the one who set it may have cancelled just before).
    int ProbeServer(const std::string &host, const std::string &portText, uint32_t firstWaitMs,
                    Event *stopEvent);

    // From any thread: fails the probe in progress at once; its asking
    // thread stops waiting for it.
    void CancelBlockingCall();

    // How the asking thread's last probe ended: None when it connected,
    // TimedOut when its wait ran out, Cancelled when it was stopped.
    ConnectFailure LastFailure() const { return m_lastFailure; }

  private:
    // One probe's own state, shared by the asking thread and the probe
    // thread. A probe that outlives its waits keeps its state, so it cannot
    // disturb the next probe, which gets fresh state.
    struct Attempt {
        CProbeSocket m_probeSocket;
        Event m_probeEvent{Event::Auto, false};
        std::string m_strProbeHost;
        std::string m_strProbePort;
        std::atomic<int> m_bProbeOk{0};
        std::atomic<bool> threadDone{false};
        ConnectFailure failure = ConnectFailure::Other;  // the probe thread's; once threadDone
        OwnedThread thread;
    };
    static void ProbeThreadProc(Attempt *attempt, uint32_t timeoutMs);
    static void Cancel(Attempt &attempt);
    // Joins the attempts whose threads have ended; keeps the others.
    static void JoinEnded(std::vector<std::shared_ptr<Attempt>> *attempts);

    std::mutex m_mutex;
    std::shared_ptr<Attempt> m_current;
    std::vector<std::shared_ptr<Attempt>> m_abandoned;
    ConnectFailure m_lastFailure = ConnectFailure::None;
};

// How a probe ended, in the words of a diagnosis: "connected", "refused",
// "timed out", "unreachable", "name not found", "no answer from the name
// servers", "cancelled" or "failed".
const char *ProbeOutcomeText(ConnectFailure failure);

}  // namespace zn
