#include "api/CheckManager.h"

#include <chrono>
#include <cstring>
#include <functional>

#include "api/LibraryState.h"
#include "api/ToolAccess.h"
#include "platform/Module.h"
#include "platform/TimeLimits.h"
#include "store/ProfileFile.h"
#include "store/ServerList.h"

namespace zn {

namespace {
// Each must fit the host's description buffer, terminator included.
const char kDescriptions[kKindCount][ZN_DESCRIPTION_BUFFER_BYTES] = {
    "WEB server address", "SIP server address", "IM server address", "FAX server address"};

int IndexOfKind(int kind) {
    for (int i = 0; i < kKindCount; ++i) {
        if (kKindCodes[i] == kind)
            return i;
    }
    return -1;
}

// Writes the parts of a stored selection of the kind at index, as
// GetServerAddress does; false when it has none or it cannot be used.
bool WriteSelection(int index, const std::string &selected,
                    const std::function<std::string(const std::string &)> &decipher, char *host,
                    char *port, char *description, int *transport) {
    if (selected.empty() || selected == kNone || selected.size() >= ZN_ADDRESS_BUFFER_BYTES)
        return false;

    std::string hostPart, portPart;
    SplitAtLastColon(decipher(selected), &hostPart, &portPart);
    // No host to connect to is no selection, whatever the file holds.
    if (hostPart.empty())
        return false;
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
}  // namespace

CCheckManager::CCheckManager() : m_reporter(HostReporter()), m_checkRun(m_reporter, m_hStopEvent) {}

CCheckManager::~CCheckManager() {
    Join();
    std::unique_ptr<CServerListUpdater> updater;
    {
        std::lock_guard<std::mutex> lock(m_updaterMutex);
        updater.swap(m_pUpdater);
    }
    // Its destructor stops it and waits for its threads.
    updater.reset();
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
        return StartResult::NoThread;
    }
    return StartResult::Started;
}

void CCheckManager::MarkClosed() {
    {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        m_bClosed = true;
    }
    m_checkRun.Stop();
    StopUpdater();
}

void CCheckManager::WaitForAllThreads() {
    Join();
    m_checkRun.JoinCheckers();
    // The run has ended and the manager is closed: the job stays as it is.
    std::lock_guard<std::mutex> lock(m_updaterMutex);
    if (m_pUpdater)
        m_pUpdater->Join();
}

bool CCheckManager::AllThreadsEnded() {
    if (!HasEnded() || !m_checkRun.CheckersEnded())
        return false;
    std::lock_guard<std::mutex> lock(m_updaterMutex);
    return !m_pUpdater || m_pUpdater->HasEnded();
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
            ReportJobFinished(jobKind);
        }
    }
    return 0;
}

void CCheckManager::RunCheckJob() {
    m_checkRun.Run(g_nCheckMask.load());
    EndJob();
    ReportJobFinished(kCheckJob);
}

void CCheckManager::RunUpdateJob() {
    m_reporter.Status(msg::kUpdateBegins);
    // The job of the last run ended with that run; its destructor joins
    // what is left of its threads, outside the lock.
    std::unique_ptr<CServerListUpdater> previous;
    CServerListUpdater *updater;
    {
        std::unique_ptr<CServerListUpdater> next(new CServerListUpdater);
        next->SetVersion(m_strRequest);
        next->m_strDirectory = GetDirectory();
        next->m_hDoneEvent.ResetEvent();
        std::lock_guard<std::mutex> lock(m_updaterMutex);
        previous.swap(m_pUpdater);
        m_pUpdater.swap(next);
        updater = m_pUpdater.get();
        // A cancel or close that came before the job existed still stops it.
        if (StopRequested())
            updater->RequestStop();
    }
    previous.reset();
    // A job whose thread cannot start has ended: nothing to wait for.
    if (updater->Start(0) == 0 && updater->ThreadId() != 0 &&
        updater->m_hDoneEvent.Wait(Limits().updateWaitMs) != WaitResult::Signalled) {
        // Out of time: the transfer is aborted and the job ends promptly.
        updater->RequestStop();
        updater->Join();
    }
    EndJob();
    ReportJobFinished(kUpdateJob);
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

void CCheckManager::ReportJobFinished(int jobKind) {
    if (m_reporter.Muted())
        return;
    if (jobKind == kCheckJob)
        ReportCheckFinished();
    if (jobKind == kUpdateJob)
        ReportUpdateFinished();
}

int CCheckManager::Cancel() {
    return CancelRun(false);
}

void CCheckManager::Close() {
    // Under the loader's lock (a host closing from a DllMain) no thread of
    // the job can end before the caller returns, which may then unload the
    // module its callbacks live in.
    if (UnderLoaderLock())
        m_reporter.Mute();
    CancelRun(true);
}

int CCheckManager::CancelRun(bool closing) {
    int jobKind;
    {
        // Whether a job runs, and whether its cancel is ours to report, is
        // decided in one step with the close: the run cannot end between.
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        m_bClosed = m_bClosed || closing;
        jobKind = m_nJobKind;
        if (jobKind != kNoJob && !g_bCancelLatch.exchange(1)) {
            ++m_nCancelling;
        } else {
            jobKind = kNoJob;
        }
    }
    if (closing)
        m_checkRun.Stop();
    if (jobKind == kNoJob)
        return 1;
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
        m_checkRun.Stop();
        // Their ends would wait for the loader's lock that this thread holds.
        if (!UnderLoaderLock())
            m_checkRun.WaitForStoppedCheckers();
        ReportStatus(msg::kCheckCancelled);
    } else {
        StopUpdater();
        ReportStatus(msg::kUpdateCancelled);
    }
}

void CCheckManager::StopUpdater() {
    std::lock_guard<std::mutex> lock(m_updaterMutex);
    m_hStopEvent.Set();
    if (m_pUpdater)
        m_pUpdater->RequestStop();
}

bool CCheckManager::GetServerAddress(int kind, char *host, char *port, char *description,
                                     int *transport) {
    const int index = IndexOfKind(kind);
    if (index < 0 || !host || !port || !description)
        return false;

    // Empty until a check of this process has run the kind's checker: a
    // host that starts up reads the selection the file records (as SIP's
    // does after a check that found none), not an empty address.
    std::string selected = GetLastSelected(index);
    if (selected.empty() || (index == kSipIndex && selected == kNone)) {
        CProfileFile profile;
        profile.m_strFileName = ServerListFilePath();
        selected = profile.GetValue(kNetworkSection, kKindKeys[index], kNone);
    }
    const auto decipher = [this](const std::string &hex) {
        std::lock_guard<std::mutex> lock(m_cipherMutex);
        m_cipher.DeriveKey();
        return m_cipher.Decipher(hex);
    };
    return WriteSelection(index, selected, decipher, host, port, description, transport);
}

bool ReadRecordedServerAddress(const std::string &path, int kind, char *host, char *port,
                               char *description, int *transport) {
    const int index = IndexOfKind(kind);
    if (index < 0 || !host || !port || !description)
        return false;
    CProfileFile profile;
    profile.m_strFileName = path;
    CAddressCipher cipher(false);
    cipher.DeriveKey();
    const auto decipher = [&cipher](const std::string &hex) { return cipher.Decipher(hex); };
    return WriteSelection(index, profile.GetValue(kNetworkSection, kKindKeys[index], kNone),
                          decipher, host, port, description, transport);
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
