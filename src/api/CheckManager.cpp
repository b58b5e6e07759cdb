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
std::mutex g_hostsMutex;
std::string g_connectivityHosts[2];

std::vector<std::string> ConnectivityHosts() {
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    if (g_connectivityHosts[0].empty()) return {kConnectivityHost1, kConnectivityHost2};
    return {g_connectivityHosts[0], g_connectivityHosts[1]};
}

const char *const kDescriptions[kKindCount] = {"WEB server address", "SIP server address",
                                               "IM server address", "FAX server address"};

int IndexOfKind(int kind) {
    for (int i = 0; i < kKindCount; ++i) {
        if (kKindCodes[i] == kind) return i;
    }
    return -1;
}
}  // namespace

namespace testhooks {
void SetConnectivityHosts(const std::string &first, const std::string &second) {
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    g_connectivityHosts[0] = first;
    g_connectivityHosts[1] = second;
}
}  // namespace testhooks

CCheckManager::CCheckManager() {
    for (int i = 0; i < kKindCount; ++i) {
        g_hCheckerDone[i].ResetEvent();
        g_bCheckerRunning[i] = 0;
    }
}

CCheckManager::~CCheckManager() {
    Join();
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    for (int i = 0; i < kKindCount; ++i) {
        CServerChecker **slot = CheckerSlot(i);
        if (!*slot) continue;
        (*slot)->RequestStop();
        (*slot)->Join();
        delete *slot;
        *slot = nullptr;
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

void CCheckManager::SetRequest(const std::string &request) { m_strRequest = request; }

bool CCheckManager::StartJob(int jobKind, const std::string &request) {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    if (m_bClosed) return false;
    SetRequest(request);
    m_nJobKind = jobKind;
    Start(0);
    return true;
}

void CCheckManager::MarkClosed() {
    {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        m_bClosed = true;
    }
    // A closing manager ends its run at once, whatever an earlier cancel
    // did or did not reach: stop the connectivity test and every checker.
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    m_hStopEvent.Set();
    m_connectivityProbe.CancelBlockingCall();
    for (int i = 0; i < kKindCount; ++i) {
        if (CServerChecker *checker = *CheckerSlot(i)) checker->RequestStop();
    }
}

void CCheckManager::Shutdown() {
    MarkClosed();
    if (m_nJobKind != kNoJob) Cancel();
    Join();
}

int CCheckManager::Run() {
    g_bJobRunning = 1;
    switch (m_nJobKind.load()) {
        case kCheckJob:
            RunCheckJob();
            break;
        case kUpdateJob:
            RunUpdateJob();
            break;
        default:
            break;
    }
    return 0;
}

// Two well-known web hosts on port 80, the second only when the first does
// not answer.
bool CCheckManager::ConnectivityTest() {
    for (const std::string &host : ConnectivityHosts()) {
        if (StopRequested()) return false;
        if (m_connectivityProbe.ProbeServer(host, "80", Limits().connectivityWaitMs,
                                            &m_hStopEvent)) {
            return true;
        }
    }
    return false;
}

void CCheckManager::StartCheckers() {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    const bool closing = StopRequested();
    for (int i = 0; i < kKindCount; ++i) {
        if (closing || !(m_nCheckMask & kKindCodes[i])) {
            g_hCheckerDone[i].Set();
            continue;
        }
        CServerChecker **slot = CheckerSlot(i);
        if (*slot) {
            // A checker of an earlier run may still be going after that
            // run's time limit: stop it and wait before it is replaced.
            (*slot)->RequestStop();
            (*slot)->Join();
            delete *slot;
            *slot = nullptr;
        }
        g_hCheckerDone[i].ResetEvent();
        switch (i) {
            case kWebIndex:
                *slot = new CWebChecker;
                break;
            case kSipIndex:
                *slot = new CSIPChecker;
                break;
            case kImIndex:
                *slot = new CIMChecker;
                break;
            default:
                *slot = new CFaxChecker;
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
        for (const char *key : {"WEB", "SIP", "IM"}) profile.SetValue(kNetworkSection, key, kNone);
    } else {
        m_nCheckMask = g_nCheckMask.load();
        StartCheckers();
        std::vector<Event *> done;
        for (Event &event : g_hCheckerDone) done.push_back(&event);
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
    {
        std::unique_lock<std::mutex> lock(m_cancelMutex);
        m_cancelDone.wait(lock, [this] { return m_nCancelling == 0; });
    }
    m_nJobKind = kNoJob;
    g_bJobRunning = 0;
}

int CCheckManager::Cancel() {
    if (g_bCancelLatch.exchange(1)) return 1;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        ++m_nCancelling;
    }
    CancelJob();
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    --m_nCancelling;
    m_cancelDone.notify_all();
    return 1;
}

void CCheckManager::CancelJob() {
    switch (m_nJobKind.load()) {
        case kCheckJob:
            StopCheckers();
            ReportStatus(kCancelled, msg::kCheckCancelled);
            break;
        case kUpdateJob:
            ReportStatus(kCancelled, msg::kUpdateCancelled);
            break;
        default:
            break;
    }
}

// Stops every checker of the run and cuts its connect short first, then
// waits for them all within one limit.
void CCheckManager::StopCheckers() {
    std::lock_guard<std::mutex> lock(m_objectsMutex);
    std::vector<CServerChecker *> stopping;
    for (int i = 0; i < kKindCount; ++i) {
        CServerChecker *checker = *CheckerSlot(i);
        if (!(m_nCheckMask & kKindCodes[i]) || !checker) continue;
        checker->RequestStop();
        // A host cancelling from a checker's callback runs on that checker's
        // thread, which cannot wait for itself.
        if (!checker->IsCurrentThread()) stopping.push_back(checker);
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
    if (index < 0 || !host || !port || !description) return false;

    std::string selected = GetLastSelected(index);
    if (index == kSipIndex && selected == kNone) {
        CProfileFile profile;
        profile.m_strFileName = ServerListFilePath();
        selected = profile.GetValue(kNetworkSection, "SIP", kNone);
    }
    if (selected == kNone || selected.size() > 1023) return false;

    std::string plain;
    {
        std::lock_guard<std::mutex> lock(m_cipherMutex);
        m_cipher.DeriveKey();
        plain = m_cipher.Decipher(selected);
    }
    const std::string::size_type colon = plain.rfind(':');
    const std::string hostPart = colon == std::string::npos ? "" : plain.substr(0, colon);
    std::string portPart = colon == std::string::npos ? plain : plain.substr(colon + 1);
    std::strcpy(host, hostPart.c_str());
    std::strcpy(port, portPart.c_str());
    std::strcpy(description, kDescriptions[index]);
    if (index != kImIndex) return true;

    if (!transport) return false;
    // "HTTPS" before "HTTP": the one begins with the other.
    static const char *const kWords[] = {"TCP", "HTTPS", "HTTP"};
    for (int code = 0; code < 3; ++code) {
        const std::string::size_type at = portPart.find(kWords[code]);
        if (at == std::string::npos) continue;
        *transport = code;
        std::strcpy(port, portPart.substr(0, at).c_str());
        return true;
    }
    return false;
}

int CCheckManager::WriteProxySetting(const char *proxy) {
    CProfileFile profile;
    profile.m_strFileName = ServerListFilePath();
    const std::string value = proxy ? proxy : "";
    profile.SetValue(kNetworkSection, "HTTPPROXY", value.empty() ? kNone : value);
    return 1;
}

}  // namespace zn
