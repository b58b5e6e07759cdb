#include "update/ServerListUpdater.h"

#include <algorithm>

#include "platform/TimeLimits.h"
#include "store/ServerList.h"
#include "update/ApiFetcher.h"
#include "update/FallbackPageFetcher.h"
#include "update/ListExchange.h"

namespace zn {

namespace {
// Pause between checks of a fetcher when the wake event is unusable.
constexpr uint32_t kFallbackPollMs = 10;
}  // namespace

CServerListUpdater::CServerListUpdater() = default;

CServerListUpdater::~CServerListUpdater() {
    RequestStop();
    Join();
    // A run that ended early (out of memory) may have left a fetcher going.
    for (std::unique_ptr<CUpdateFetcher> *fetcher :
         {&m_pDirectFetcher, &m_pProxyFetcher, &m_pPageFetcher}) {
        if (*fetcher) {
            (*fetcher)->RequestStop();
            (*fetcher)->Join();
        }
    }
}

void CServerListUpdater::RequestStop() {
    m_bStopAsked.store(true);
    m_hStopEvent.Set();
    {
        std::lock_guard<std::mutex> lock(m_fetcherLock);
        if (m_pCurrent)
            m_pCurrent->RequestStop();
    }
    m_hWake.Set();
}

std::string CServerListUpdater::BuildQuery() {
    m_profile.m_strFileName = ServerListPath(m_strDirectory);
    m_cipher.DeriveKey();
    return BuildUpdateQuery(m_profile, m_cipher, [this] { return Stopping(); });
}

void CServerListUpdater::ApplyResponse(std::string response) {
    m_profile.m_strFileName = ServerListPath(m_strDirectory);
    m_cipher.DeriveKey();
    // A stop ends the merge between two entries; those before it are saved.
    MergeServerLists(response, m_profile, m_cipher, [this] { return Stopping(); });
}

std::unique_ptr<CUpdateFetcher> CServerListUpdater::NewFetcher(Source source) {
    switch (source) {
        case kDirectSource:
            return std::make_unique<CDirectApiFetcher>();
        case kProxySource:
            return std::make_unique<CProxyApiFetcher>();
        default:
            return std::make_unique<CFallbackPageFetcher>();
    }
}

int CServerListUpdater::Run() {
    try {
        RunStates();
    } catch (...) {
        // An allocation failed: the run ends here; its fetchers are stopped
        // and joined with the job object.
        m_nState = kUpdateEnded;
    }
    m_hDoneEvent.Set();
    return 0;
}

CUpdateFetcher *CServerListUpdater::FetcherOfState() const {
    switch (m_nState) {
        case kDirectFetching:
            return m_pDirectFetcher.get();
        case kProxyFetching:
            return m_pProxyFetcher.get();
        default:
            return m_pPageFetcher.get();
    }
}

void CServerListUpdater::RunStates() {
    for (;;) {
        if (Stopping())
            m_bStopRequested = 1;
        switch (m_nState) {
            case kUpdateStart:
                // Once the run has begun the first source is always asked.
                m_strQuery = BuildQuery();
                Launch(kDirectSource, &m_pDirectFetcher, m_strQuery);
                m_nState = kDirectFetching;
                break;
            case kDirectFetching:
            case kProxyFetching:
            case kPageFetching: {
                // The stop flag counts only once the current fetch is over.
                CUpdateFetcher *fetcher = FetcherOfState();
                if (fetcher->RunState() != kFetched) {
                    WaitForFetcher();
                } else if (m_bStopRequested) {
                    m_nState = kUpdateEnded;
                } else if (fetcher->m_bSucceeded && !m_bOverBudget) {
                    m_strResponse = fetcher->m_strResponse;
                    m_nState = kResponseTaken;
                } else if (m_nState == kDirectFetching) {
                    Launch(kProxySource, &m_pProxyFetcher, m_strQuery);
                    m_nState = kProxyFetching;
                } else if (m_nState == kProxyFetching) {
                    Launch(kPageSource, &m_pPageFetcher, std::string());
                    m_nState = kPageFetching;
                } else {
                    m_nState = kUpdateEnded;
                }
                break;
            }
            case kResponseTaken:
                // A response once taken is merged until a stop comes.
                ApplyResponse(m_strResponse);
                m_nState = kUpdateEnded;
                break;
            default:
                return;
        }
    }
}

void CServerListUpdater::Launch(Source source, std::unique_ptr<CUpdateFetcher> *slot,
                                const std::string &query) {
    std::unique_ptr<CUpdateFetcher> fetcher = NewFetcher(source);
    fetcher->m_strDirectory = m_strDirectory;
    if (source != kPageSource) {
        fetcher->m_strQuery = query;
        fetcher->m_strVersion = m_strVersion;
    }
    fetcher->SetFinishedEvent(&m_hWake);
    using std::chrono::milliseconds;
    const auto now = std::chrono::steady_clock::now();
    m_budgetEnd = source == kDirectSource  ? now + milliseconds(Limits().directFetchMs.load())
                  : source == kProxySource ? now + milliseconds(Limits().sendWaitViaProxyMs.load())
                                           : std::chrono::steady_clock::time_point::max();
    m_bOverBudget = false;
    {
        // A stop asked for before the fetcher was current reaches it here,
        // so it fails at once instead of running its whole course.
        std::lock_guard<std::mutex> lock(m_fetcherLock);
        *slot = std::move(fetcher);
        m_pCurrent = slot->get();
        if (Stopping())
            m_pCurrent->RequestStop();
    }
    // A fetcher without a thread never finishes by itself.
    if ((*slot)->Start(0) != 0 || (*slot)->ThreadId() == 0)
        (*slot)->FinishWithoutRunning();
}

void CServerListUpdater::WaitForFetcher() {
    uint32_t waitMs = kInfinite;
    if (!m_bOverBudget && m_budgetEnd != std::chrono::steady_clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              m_budgetEnd - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            // Our own abort: the platform's time limits may be longer than
            // the budget, or (WinInet under Wine) not kept at all.
            m_bOverBudget = true;
            FetcherOfState()->RequestStop();
        } else {
            waitMs = static_cast<uint32_t>(std::min<int64_t>(left + 1, kInfinite - 1));
        }
    }
    if (m_hWake.Wait(waitMs) == WaitResult::Failed)
        SleepMs(kFallbackPollMs);
}

}  // namespace zn
