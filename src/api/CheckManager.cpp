#include "api/CheckManager.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "api/LibraryState.h"
#include "api/StatusCodes.h"
#include "store/ProfileFile.h"
#include "store/ProviderConfig.h"
#include "store/ServerList.h"
#include "thread/TimeLimits.h"

namespace zn {

namespace {
// Replaced by tests only. Never destroyed: a run may outlive static
// destruction until the library's unload handler has stopped it.
struct ConnectivityHostOverride {
    std::mutex mutex;
    std::string hosts[2];
};
ConnectivityHostOverride &HostOverride() {
    static ConnectivityHostOverride *override = new ConnectivityHostOverride;
    return *override;
}

std::vector<std::string> ConnectivityHosts() {
    ConnectivityHostOverride &o = HostOverride();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (o.hosts[0].empty())
        return {kConnectivityHost1, kConnectivityHost2};
    return {o.hosts[0], o.hosts[1]};
}

const char *const kDescriptions[kKindCount] = {"WEB server address", "SIP server address",
                                               "IM server address", "FAX server address"};

int IndexOfKind(int kind) {
    for (int i = 0; i < kKindCount; ++i) {
        if (kKindCodes[i] == kind)
            return i;
    }
    return -1;
}
}  // namespace

namespace testhooks {
void SetConnectivityHosts(const std::string &first, const std::string &second) {
    ConnectivityHostOverride &o = HostOverride();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.hosts[0] = first;
    o.hosts[1] = second;
}
}  // namespace testhooks

CCheckManager::CCheckManager() = default;

CCheckManager::~CCheckManager() {
    Join();
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

CServerChecker **CCheckManager::CheckerSlot(int index) {
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

void CCheckManager::SetRequest(const std::string &request) {
    m_strRequest = request;
}

CCheckManager::StartResult CCheckManager::StartJob(int jobKind, const std::string &request,
                                                   int checkMask) {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    if (m_bClosed)
        return StartResult::Closed;
    // One atomic test-and-set: of two hosts starting at once, one wins.
    int idle = 0;
    if (!g_bJobRunning.compare_exchange_strong(idle, 1))
        return StartResult::Busy;
    if (jobKind == kCheckJob)
        g_nCheckMask = checkMask;
    g_bCancelLatch = 0;
    bool started = false;
    try {
        SetRequest(request);
        m_nJobKind = jobKind;
        started = Start(0) == 0 && ThreadId() != 0;
    } catch (...) {
        // Out of memory for the request: as if the thread never started.
    }
    // No thread, no run: give the job back rather than wedge the library.
    if (!started) {
        m_nJobKind = kNoJob;
        g_bJobRunning = 0;
        return StartResult::Closed;
    }
    return StartResult::Started;
}

void CCheckManager::MarkClosed() {
    {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        m_bClosed = true;
    }
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    m_hStopEvent.Set();
    m_connectivityProbe.CancelBlockingCall();
    for (int i = 0; i < kKindCount; ++i) {
        if (CServerChecker *checker = *CheckerSlot(i))
            checker->RequestStop();
    }
}

void CCheckManager::WaitForAllThreads() {
    Join();
    // The slots cannot change any more: the run has ended and the manager
    // is closed. Joined outside the lock (a finish callback may call an
    // export that takes it).
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

bool CCheckManager::AllThreadsEnded() {
    if (!HasEnded())
        return false;
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    for (int i = 0; i < kKindCount; ++i) {
        CServerChecker *checker = *CheckerSlot(i);
        if (checker && !checker->HasEnded())
            return false;
    }
    return true;
}

void CCheckManager::Shutdown() {
    MarkClosed();
    WaitForAllThreads();
}

int CCheckManager::Run() {
    const int jobKind = m_nJobKind.load();
    try {
        if (jobKind == kCheckJob)
            RunCheckJob();
        if (jobKind == kUpdateJob)
            RunUpdateJob();
    } catch (...) {
        // A run that failed still ends, so that the host can start the next.
        if (m_nJobKind != kNoJob) {
            EndJob();
            if (jobKind == kCheckJob)
                ReportCheckFinished(msg::kCheckFinished);
            if (jobKind == kUpdateJob)
                ReportUpdateFinished(msg::kUpdateFinished);
        }
    }
    return 0;
}

// Two well-known web hosts on port 80, the second only when the first does
// not answer.
bool CCheckManager::ConnectivityTest() {
    for (const std::string &host : ConnectivityHosts()) {
        if (StopRequested())
            return false;
        if (m_connectivityProbe.ProbeServer(host, "80", Limits().connectivityWaitMs,
                                            &m_hStopEvent)) {
            return true;
        }
    }
    return false;
}

void CCheckManager::StartCheckers() {
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

    std::lock_guard<std::mutex> lock(m_objectsMutex);
    const bool closing = StopRequested();
    for (int i = 0; i < kKindCount; ++i) {
        CheckerSignals &signals = m_checkerSignals[i];
        if (closing || !(m_nCheckMask & kKindCodes[i])) {
            signals.m_hDone.Set();
            continue;
        }
        signals.m_hDone.ResetEvent();
        CServerChecker **slot = CheckerSlot(i);
        switch (i) {
            case kWebIndex:
                *slot = new CWebChecker(signals);
                break;
            case kSipIndex:
                *slot = new CSIPChecker(signals);
                break;
            case kImIndex:
                *slot = new CIMChecker(signals);
                break;
            default:
                *slot = new CFaxChecker(signals);
                break;
        }
        (*slot)->Start(0);
    }
}

void CCheckManager::RunCheckJob() {
    const bool connected = ConnectivityTest();
    if (StopRequested()) {
        // Closing: leave the file as it is.
    } else if (!connected) {
        CProfileFile profile;
        profile.m_strFileName = ServerListFilePath();
        for (const char *key : {"WEB", "SIP", "IM"})
            profile.SetValue(kNetworkSection, key, kNone);
    } else {
        m_nCheckMask = g_nCheckMask.load();
        StartCheckers();
        std::vector<Event *> done;
        for (CheckerSignals &signals : m_checkerSignals)
            done.push_back(&signals.m_hDone);
        Event::WaitAll(done, Limits().checkersWaitMs);
    }
    EndJob();
    ReportCheckFinished(msg::kCheckFinished);
}

void CCheckManager::RunUpdateJob() {
    ReportStatus(kUpdateBegins, msg::kUpdateBegins);
    EndJob();
    ReportUpdateFinished(msg::kUpdateFinished);
}

// The job is over before the host hears of it, so the host may start the
// next one from inside the finish callback.
void CCheckManager::EndJob() {
    std::unique_lock<std::mutex> lock(m_lifeMutex);
    // Bounded: a host that holds the cancel callback until the run ends
    // must not hang the library.
    m_cancelReported.wait_for(lock, std::chrono::milliseconds(2 * Limits().cancelWaitMs + 1000),
                              [this] { return m_nCancelling == 0; });
    m_nJobKind = kNoJob;
    g_bJobRunning = 0;
}

int CCheckManager::Cancel() {
    int jobKind;
    {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        jobKind = m_nJobKind;
        if (jobKind == kNoJob || g_bCancelLatch.exchange(1))
            return 1;
        ++m_nCancelling;
    }
    // However the cancel ends, the run must not wait for it any longer.
    struct Reported {
        CCheckManager *self;
        ~Reported() {
            std::lock_guard<std::mutex> lock(self->m_lifeMutex);
            --self->m_nCancelling;
            self->m_cancelReported.notify_all();
        }
    } reported{this};
    CancelJob(jobKind);
    return 1;
}

void CCheckManager::CancelJob(int jobKind) {
    if (jobKind == kCheckJob) {
        StopCheckers();
        ReportStatus(kCancelled, msg::kCheckCancelled);
    } else {
        ReportStatus(kCancelled, msg::kUpdateCancelled);
    }
}

// Stops every checker of the run and cuts its connect short first, then
// waits for them all within one limit.
void CCheckManager::StopCheckers() {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    std::vector<CServerChecker *> stopping;
    for (int i = 0; i < kKindCount; ++i) {
        CServerChecker *checker = *CheckerSlot(i);
        if (!(m_nCheckMask & kKindCodes[i]) || !checker)
            continue;
        checker->RequestStop();
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

bool CCheckManager::GetServerAddress(int kind, char *host, char *port, char *description,
                                     int *transport) {
    const int index = IndexOfKind(kind);
    if (index < 0 || !host || !port || !description)
        return false;

    std::string selected = GetLastSelected(index);
    if (index == kSipIndex && selected == kNone) {
        CProfileFile profile;
        profile.m_strFileName = ServerListFilePath();
        selected = profile.GetValue(kNetworkSection, "SIP", kNone);
    }
    if (selected == kNone || selected.size() > 1023)
        return false;

    std::string plain;
    {
        std::lock_guard<std::mutex> lock(m_cipherMutex);
        m_cipher.DeriveKey();
        plain = m_cipher.Decipher(selected);
    }
    std::string hostPart, portPart;
    SplitAtLastColon(plain, &hostPart, &portPart);
    std::strcpy(host, hostPart.c_str());
    std::strcpy(port, portPart.c_str());
    std::strcpy(description, kDescriptions[index]);
    if (index != kImIndex)
        return true;

    if (!transport)
        return false;
    std::string portDigits;
    const int code = FindImTransport(portPart, &portDigits);
    if (code < 0)
        return false;
    *transport = code;
    std::strcpy(port, portDigits.c_str());
    return true;
}

int CCheckManager::WriteProxySetting(const char *proxy) {
    CProfileFile profile;
    profile.m_strFileName = ServerListFilePath();
    const std::string value = proxy ? proxy : "";
    // A line break would start keys or sections of its own: refused like a
    // write that failed, with the file unchanged.
    if (value.find_first_of("\r\n") != std::string::npos)
        return 1;
    profile.SetValue(kNetworkSection, "HTTPPROXY", value.empty() ? kNone : value);
    return 1;
}

}  // namespace zn
