// One update of the server list file, on a thread of its own: build the
// query from the current lists, ask up to three sources for new lists, one
// after another (the web API directly, the web API through the HTTP proxy,
// a fallback page), and merge the first answer into the file.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "thread/WorkerThread.h"
#include "update/UpdateFetcher.h"

namespace zn {

// States of a run.
enum UpdateState {
    kUpdateStart = 0,
    kDirectFetching = 1,
    kProxyFetching = 2,
    kPageFetching = 3,
    kResponseTaken = 4,
    kUpdateEnded = 5,
};

class CServerListUpdater : public CWorkerThread {
  public:
    CServerListUpdater();
    // Stops the run promptly if it still goes on, then waits for its thread
    // and the fetchers' threads.
    ~CServerListUpdater() override;

    // The version text of the request; empty leaves "&ver=" out.
    void SetVersion(std::string version) { m_strVersion = std::move(version); }

    // From any thread, without waiting: sets the stop event and aborts the
    // current fetcher's transfer; also holds when called before Start. The run then ends as soon as
    // that fetcher has finished, without trying another source and without touching the file with
    // what that fetcher got.
    void RequestStop();

    // The update query of the file's current lists; repairs comma-less
    // entries.
    std::string BuildQuery();
    // Merges an answer's lists into the file's failed and malformed entries,
    // in one save; a stop ends it between two entries, saving those before.
    void ApplyResponse(std::string response);

    // The run's state; read by others only after m_hDoneEvent was seen.
    int State() const { return m_nState; }

    // Directory of the server list file, set before Start.
    std::string m_strDirectory;
    // Set once, when the run ends, whatever its path.
    Event m_hDoneEvent{Event::Auto, false};

  protected:
    enum Source { kDirectSource, kProxySource, kPageSource };
    // The fetcher of one source; tests replace them.
    virtual std::unique_ptr<CUpdateFetcher> NewFetcher(Source source);

    int Run() override;

  private:
    void RunStates();
    // Creates, fills and starts the fetcher of a source in its slot.
    void Launch(Source source, std::unique_ptr<CUpdateFetcher> *slot, const std::string &query);
    // Sleeps until a fetcher finishes, a stop is asked for or the current
    // source's budget is over; a source over its budget is aborted.
    void WaitForFetcher();
    CUpdateFetcher *FetcherOfState() const;
    // The stop event, or a stop asked for before Start reset it.
    bool Stopping() { return m_bStopAsked.load() || StopRequested(); }

    CProfileFile m_profile;
    int m_bStopRequested = 0;
    std::string m_strVersion;
    int m_nState = kUpdateStart;
    CAddressCipher m_cipher;
    std::string m_strQuery;
    std::string m_strResponse;
    // The current source's budget: past it, the source is aborted and
    // counts as failed. The page has none (the run's own limit ends it).
    std::chrono::steady_clock::time_point m_budgetEnd;
    bool m_bOverBudget = false;
    // Auto-reset: set by a finishing fetcher and by RequestStop.
    Event m_hWake{Event::Auto, false};
    std::atomic<bool> m_bStopAsked{false};
    // Guards m_pCurrent between the job's thread and RequestStop.
    std::mutex m_fetcherLock;
    CUpdateFetcher *m_pCurrent = nullptr;
    // Declared last, so they go first: their threads use m_hWake.
    std::unique_ptr<CUpdateFetcher> m_pDirectFetcher;
    std::unique_ptr<CUpdateFetcher> m_pProxyFetcher;
    std::unique_ptr<CUpdateFetcher> m_pPageFetcher;
};

}  // namespace zn
