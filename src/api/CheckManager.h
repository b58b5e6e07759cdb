// The one object that runs the library's jobs, one at a time, on its own
// thread: it starts, cancels and closes them and hands each to its unit (a
// check to CCheckRun, an update to CServerListUpdater). It also answers the server-information and
// proxy requests on the host's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "api/LibraryState.h"
#include "check/CheckRun.h"
#include "report/JobReporter.h"
#include "store/AddressCipher.h"
#include "thread/WorkerThread.h"
#include "update/ServerListUpdater.h"

namespace zn {

enum JobKind { kNoJob = 0, kCheckJob = 1, kUpdateJob = 2 };

// The host's reporter, until a close that could not wait for the job mutes
// it: the host may be a module that is being unloaded.
class MutableReporter : public IJobReporter {
  public:
    explicit MutableReporter(IJobReporter &host) : m_host(host) {}
    void Mute() { m_muted = true; }
    bool Muted() const { return m_muted; }
    void Status(const Message &message) override {
        if (!m_muted)
            m_host.Status(message);
    }
    void SetLastSelected(int kindIndex, const std::string &value) override {
        m_host.SetLastSelected(kindIndex, value);
    }
    std::string ServerListFile() override { return m_host.ServerListFile(); }

  private:
    IJobReporter &m_host;
    std::atomic<bool> m_muted{false};
};

class CCheckManager : public CWorkerThread {
  public:
    CCheckManager();
    ~CCheckManager() override;

    void SetRequest(const std::string &request);

    enum class StartResult { Started, Busy, Closed, NoThread };
    // Claims the library's one running job (g_bJobRunning), sets the job
    // kind, clears the cancel latch and starts the thread. Busy when a job
    // runs already; Closed when the manager is being closed; NoThread when
    // the thread could not be started (nothing is claimed then).
    StartResult StartJob(int jobKind, const std::string &request, int checkMask);

    // Always 1. Stops a running check or update; see the definition. A
    // manager without a job leaves the cancel latch alone: it belongs to
    // whichever manager runs the current job.
    int Cancel();

    // Refuses every later StartJob, and ends a running job at once: the
    // connectivity test and every checker, or the update job and its
    // transfer, are stopped, whatever an earlier cancel did or did not reach.
    void MarkClosed();
    // MarkClosed, and the cancel of a running job (reported unless the job
    // was cancelled before), decided in one step. Under the loader's lock it
    // waits for no checker, and nothing of the job reaches the host after it.
    void Close();
    // Waits until the run and every checker and update thread have ended. Not from a
    // thread that a run may wait for (see MayWaitForRuns).
    void WaitForAllThreads();
    // True when no thread of this manager runs any more.
    bool AllThreadsEnded();
    // MarkClosed, then WaitForAllThreads: silently, for a manager no host
    // uses any more.
    void Shutdown();

    // Writes host, port, description and (IM) transport of the server the
    // last check selected for one kind. False on failure.
    bool GetServerAddress(int kind, char *host, char *port, char *description, int *transport);
    int WriteProxySetting(const char *proxy);

  protected:
    int Run() override;

  private:
    int CancelRun(bool closing);
    void RunCheckJob();
    void RunUpdateJob();
    void EndJob();
    // The job's finish message, unless the job was muted.
    void ReportJobFinished(int jobKind);
    void CancelJob(int jobKind);
    // From any thread, without waiting: sets the stop event and stops the
    // update job, aborting its transfer. A job made after this is stopped
    // before it starts.
    void StopUpdater();

    // How the jobs reach the host.
    MutableReporter m_reporter;
    // The check job's unit; it shares the manager's stop event.
    CCheckRun m_checkRun;
    // The update job of the current or last update run, replaced by the
    // next. m_updaterMutex keeps a cancel (host thread) and the run from
    // using one that the other replaces.
    std::mutex m_updaterMutex;
    std::unique_ptr<CServerListUpdater> m_pUpdater;

    std::string m_strRequest;
    std::atomic<int> m_nJobKind{kNoJob};

    // Only GetServerAddress uses it, possibly from several host threads.
    std::mutex m_cipherMutex;
    CAddressCipher m_cipher;

    // Guards starting a job, closing, and the hand-over between a cancel and
    // the end of the run: a run's finish message waits (within a limit) for
    // a cancel in progress to be reported, so the host hears of the cancel
    // first; once the run has ended, a cancel finds no job.
    std::mutex m_lifeMutex;
    std::condition_variable m_cancelReported;
    int m_nCancelling = 0;
    bool m_bClosed = false;
};

}  // namespace zn
