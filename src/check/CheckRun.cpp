#include "check/CheckRun.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/TestHooks.h"
#include "report/Observer.h"
#include "store/ProfileFile.h"
#include "store/ProviderConfig.h"
#include "store/ServerList.h"

namespace zn {

namespace {
std::vector<std::string> ConnectivityHosts() {
    std::vector<std::string> hosts = TestHooks().connectivityHosts.Get();
    if (hosts.empty())
        return {kConnectivityHost1, kConnectivityHost2};
    return hosts;
}
}  // namespace

CCheckRun::CCheckRun(IJobReporter &reporter, Event &stopEvent)
    : m_reporter(reporter), m_stopEvent(stopEvent) {
    for (CheckerSignals &signals : m_checkerSignals)
        signals.m_pWake = &m_hCheckersWake;
}

CCheckRun::~CCheckRun() {
    // Taken out under the lock, stopped and joined outside it: a stopped
    // checker's finish callback may call an export that takes the lock.
    std::vector<CServerChecker *> checkers;
    {
        std::lock_guard<std::mutex> lock(m_objectsMutex);
        for (int i = 0; i < kKindCount; ++i) {
            CServerChecker **slot = CheckerSlot(i);
            if (*slot)
                checkers.push_back(*slot);
            *slot = nullptr;
        }
    }
    for (CServerChecker *checker : checkers) {
        checker->RequestStop();
        checker->Join();
        delete checker;
    }
}

CServerChecker **CCheckRun::CheckerSlot(int index) {
    switch (index) {
        case kWebIndex:
            return &m_pWebChecker;
        case kSipIndex:
            return &m_pSipChecker;
        case kImIndex:
            return &m_pImChecker;
        default:
            return &m_pFaxChecker;
    }
}

bool CCheckRun::StopRequested() {
    return m_stopEvent.Wait(0) != WaitResult::TimedOut;
}

void CCheckRun::Run(int checkMask) {
    const bool connected = ConnectivityTest();
    // Its probe thread ends now; the next run's test starts another.
    m_connectivityProbe.ReleaseThread();
    if (StopRequested()) {
        // Cancelled or closing: the test reached no verdict; the file stays.
    } else if (!connected) {
        if (Observing())
            Observe(Observation(Step::NoInternet));
        CProfileFile profile;
        profile.m_strFileName = m_reporter.ServerListFile();
        for (const char *key : {"WEB", "SIP", "IM"})
            profile.SetValue(kNetworkSection, key, kNone);
    } else {
        m_nCheckMask = checkMask;
        StartCheckers();
        WaitForCheckers();
    }
}

// The stop event first: a checker start or probe that comes after it sees
// it; then whatever runs already is cut short.
void CCheckRun::Stop() {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    m_stopEvent.Set();
    m_connectivityProbe.CancelBlockingCall();
    for (int i = 0; i < kKindCount; ++i) {
        if (CServerChecker *checker = *CheckerSlot(i))
            checker->RequestStop();
    }
    m_hCheckersWake.Set();
}

void CCheckRun::WaitForStoppedCheckers() {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    std::vector<CServerChecker *> stopping;
    for (int i = 0; i < kKindCount; ++i) {
        CServerChecker *checker = *CheckerSlot(i);
        if (!(m_nCheckMask & kKindCodes[i]) || !checker)
            continue;
        // A host cancelling from a checker's callback runs on that checker's
        // thread, which cannot wait for itself.
        if (!checker->IsCurrentThread())
            stopping.push_back(checker);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Limits().cancelWaitMs);
    for (CServerChecker *checker : stopping) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        checker->Stop(left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0);
    }
}

void CCheckRun::JoinCheckers() {
    // Joined outside the lock (a finish callback may call an export that
    // takes it); the slots do not change once the run has ended.
    std::vector<CServerChecker *> checkers;
    {
        std::lock_guard<std::mutex> lock(m_objectsMutex);
        for (int i = 0; i < kKindCount; ++i) {
            if (CServerChecker *checker = *CheckerSlot(i))
                checkers.push_back(checker);
        }
    }
    for (CServerChecker *checker : checkers)
        checker->Join();
}

bool CCheckRun::CheckersEnded() {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    for (int i = 0; i < kKindCount; ++i) {
        CServerChecker *checker = *CheckerSlot(i);
        if (checker && !checker->HasEnded())
            return false;
    }
    return true;
}

// Two well-known web hosts on port 80, the second only when the first does
// not answer.
bool CCheckRun::ConnectivityTest() {
    for (const std::string &host : ConnectivityHosts()) {
        if (StopRequested())
            return false;
        const StepClock clock;
        const bool answered = m_connectivityProbe.ProbeServer(
                                  host, "80", Limits().connectivityWaitMs, &m_stopEvent) != 0;
        if (Observing()) {
            Observation seen(Step::Connectivity);
            seen.subject = host + ":80";
            seen.outcome = ProbeOutcomeText(m_connectivityProbe.LastFailure());
            seen.ms = clock.Ms();
            Observe(seen);
        }
        if (answered)
            return true;
    }
    return false;
}

void CCheckRun::StartCheckers() {
    // Checkers of an earlier run may still be going after that run's time
    // limit: they are stopped and waited for before they are replaced, and
    // outside the lock (their finish callback may call an export).
    std::vector<CServerChecker *> previous;
    {
        std::lock_guard<std::mutex> lock(m_objectsMutex);
        for (int i = 0; i < kKindCount; ++i) {
            CServerChecker **slot = CheckerSlot(i);
            if (!(m_nCheckMask & kKindCodes[i]) || !*slot)
                continue;
            previous.push_back(*slot);
            *slot = nullptr;
        }
    }
    for (CServerChecker *checker : previous) {
        checker->RequestStop();
        checker->Join();
        delete checker;
    }

    // Finished outside the lock: their finish callback may call an export.
    std::vector<CServerChecker *> unstarted;
    {
        std::lock_guard<std::mutex> lock(m_objectsMutex);
        const bool stopped = StopRequested();
        for (int i = 0; i < kKindCount; ++i) {
            CheckerSignals &signals = m_checkerSignals[i];
            if (stopped || !(m_nCheckMask & kKindCodes[i])) {
                signals.m_hDone.Set();
                continue;
            }
            signals.m_hDone.ResetEvent();
            CServerChecker **slot = CheckerSlot(i);
            switch (i) {
                case kWebIndex:
                    *slot = new CWebChecker(signals, m_reporter);
                    break;
                case kSipIndex:
                    *slot = new CSIPChecker(signals, m_reporter);
                    break;
                case kImIndex:
                    *slot = new CIMChecker(signals, m_reporter);
                    break;
                default:
                    *slot = new CFaxChecker(signals, m_reporter);
                    break;
            }
            (*slot)->Start(0);
            if ((*slot)->ThreadId() == 0)
                unstarted.push_back(*slot);
        }
    }
    // A checker without a thread is finished, not waited for.
    for (CServerChecker *checker : unstarted)
        checker->FinishUnstarted();
}

// Until every checker is done, the run's limit passes, or the run is
// stopped (cancel or close). The stopped checkers then get the cancel limit
// to end, so that their finish messages still come before the run's.
void CCheckRun::WaitForCheckers() {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(Limits().checkersWaitMs);
    bool stopSeen = false;
    for (;;) {
        // Reset before looking: a checker that ends after the look wakes us.
        m_hCheckersWake.ResetEvent();
        bool allDone = true;
        for (CheckerSignals &signals : m_checkerSignals) {
            // A wait that cannot be made counts as done, as a failed wait does.
            if (!signals.m_hDone.IsValid())
                return;
            allDone = allDone && signals.m_hDone.IsSet();
        }
        if (allDone)
            return;
        if (!stopSeen && StopRequested()) {
            stopSeen = true;
            deadline =
                std::min(deadline, Clock::now() + std::chrono::milliseconds(Limits().cancelWaitMs));
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 ||
            m_hCheckersWake.Wait(static_cast<uint32_t>(left.count())) == WaitResult::Failed) {
            return;
        }
    }
}

}  // namespace zn
