// The one object that runs the library's jobs, one at a time, on its own
// thread: a check job or an update job. It also carries out cancels on the
// host's thread and answers the server-information and proxy requests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "check/Probe.h"
#include "check/ServerChecker.h"
#include "store/AddressCipher.h"
#include "thread/WorkerThread.h"

namespace zn {

enum JobKind { kNoJob = 0, kCheckJob = 1, kUpdateJob = 2 };

class CCheckManager : public CWorkerThread {
public:
    CCheckManager();
    ~CCheckManager() override;

    void SetRequest(const std::string &request);

    // Sets the job kind and starts the thread. False when the manager is
    // being closed; nothing is started then.
    bool StartJob(int jobKind, const std::string &request);

    // Always 1. Stops a running check or update; see the definition.
    int Cancel();

    // Refuses every later StartJob.
    void MarkClosed();
    // From a host thread: refuses new jobs, cancels a running one and waits
    // until its run has ended.
    void Shutdown();

    // Writes host, port, description and (IM) transport of the server the
    // last check selected for one kind. False on failure.
    bool GetServerAddress(int kind, char *host, char *port, char *description, int *transport);
    int WriteProxySetting(const char *proxy);

    int JobKind() const { return m_nJobKind.load(); }

protected:
    int Run() override;

private:
    bool ConnectivityTest();
    void StartCheckers();
    void RunCheckJob();
    void CancelJob();
    void StopCheckers();
    void RunUpdateJob();
    void EndJob();

    // Checkers of the current or last check run, by kind; replaced at the
    // next run of their kind. m_objectsMutex keeps Cancel (host thread) and
    // the run (manager thread) from using a checker the other replaces.
    std::mutex m_objectsMutex;
    CServerChecker *m_pWebChecker = nullptr;
    CServerChecker *m_pSipChecker = nullptr;
    CServerChecker *m_pImChecker = nullptr;
    CServerChecker *m_pFaxChecker = nullptr;
    CServerChecker **CheckerSlot(int index);

    // The connectivity test's probe.
    CServerProbe m_connectivityProbe;

    std::atomic<int> m_nCheckMask{0};
    std::string m_strRequest;
    std::atomic<int> m_nJobKind{kNoJob};

    // Only GetServerAddress uses it, possibly from several host threads.
    std::mutex m_cipherMutex;
    CAddressCipher m_cipher;

    // A cancel in progress: the run's finish message waits for its report,
    // so the host always hears of the cancel before the end of the run.
    std::mutex m_cancelMutex;
    std::condition_variable m_cancelDone;
    int m_nCancelling = 0;

    // Serialises starting a job against closing the manager.
    std::mutex m_lifeMutex;
    bool m_bClosed = false;
};

namespace testhooks {
// Replaces the two connectivity-test hosts (empty texts restore them).
void SetConnectivityHosts(const std::string &first, const std::string &second);
}  // namespace testhooks

}  // namespace zn
