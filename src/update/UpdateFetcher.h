// Base of the three sources of an update run. Each runs one fetch on a
// thread of its own and publishes its outcome for the update job.
#pragma once

#include <atomic>
#include <string>

#include "platform/Event.h"
#include "thread/WorkerThread.h"

namespace zn {

// Run states of a fetcher.
enum FetcherRunState { kNotStarted = 0, kFetching = 1, kFetched = 2 };

class CUpdateFetcher : public CWorkerThread {
  public:
    CUpdateFetcher() = default;
    // Waits for the fetcher's thread; owners stop it first (RequestStop).
    // Derived fetchers join in their own destructors too, before their
    // members go.
    ~CUpdateFetcher() override;

    // From any thread, without waiting: sets the stop event and aborts the
    // transfer in progress. Also holds when called before Start: the fetch
    // then fails without network activity.
    void RequestStop();

    // The job reads m_bSucceeded and m_strResponse only after this has
    // read kFetched: the run state is published last, with release order.
    int RunState() const { return m_nRunState.load(std::memory_order_acquire); }

    // Set once the run state is kFetched; the job sleeps on it.
    void SetFinishedEvent(Event *finished) { m_pFinished = finished; }

    // For a fetcher whose thread could not be started: finished and failed,
    // so that nobody waits for it. Only while no thread of it runs.
    void FinishWithoutRunning();

    // Written by the job before Start.
    std::string m_strDirectory;
    std::string m_strQuery;    // web API fetchers only
    std::string m_strVersion;  // web API fetchers only
    // Valid once RunState() is kFetched.
    int m_bSucceeded = 0;
    std::string m_strResponse;

  protected:
    int Run() override;
    // One fetch; sets m_bSucceeded and m_strResponse.
    virtual void Fetch() = 0;
    // Ends the transfer in progress at once, from any thread.
    virtual void AbortTransfer() {}
    // True once a stop was asked for, before or after Start.
    bool Stopping() { return m_bStopping.load() || StopRequested(); }

    std::atomic<int> m_nRunState{kNotStarted};

  private:
    std::atomic<bool> m_bStopping{false};
    Event *m_pFinished = nullptr;
};

// The web API's object path: "/webapi/zembrix.php?op=getlist", then
// "&ver=" and the version when there is one, then the query. Bytes of the
// version that cannot stand in a query value are percent-encoded; the
// query's values come escaped already. False when the path would not fit
// ZN_ADDRESS_BUFFER_BYTES - 1 characters: such a request is not made.
bool BuildObjectPath(const std::string &version, const std::string &query, std::string *path);

}  // namespace zn
