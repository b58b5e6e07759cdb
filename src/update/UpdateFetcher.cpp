#include "update/UpdateFetcher.h"

#include "update/ListExchange.h"
#include "zembrixnet.h"

namespace zn {

namespace {

constexpr const char *kApiPath = "/webapi/zembrix.php?op=getlist";
// Longest object path: it must fit a buffer of an address's size with its
// terminator.
constexpr size_t kMaxObjectPath = ZN_ADDRESS_BUFFER_BYTES - 1;

}  // namespace

CUpdateFetcher::~CUpdateFetcher() {
    Join();
}

void CUpdateFetcher::RequestStop() {
    m_bStopping.store(true);
    m_hStopEvent.Set();
    AbortTransfer();
}

void CUpdateFetcher::FinishWithoutRunning() {
    m_bSucceeded = 0;
    m_nRunState.store(kFetched, std::memory_order_release);
}

int CUpdateFetcher::Run() {
    m_nRunState.store(kFetching, std::memory_order_release);
    try {
        Fetch();
    } catch (...) {
        // An allocation failed on the way: the source failed.
        m_bSucceeded = 0;
    }
    m_nRunState.store(kFetched, std::memory_order_release);
    if (m_pFinished)
        m_pFinished->Set();
    return 0;
}

bool BuildObjectPath(const std::string &version, const std::string &query, std::string *path) {
    std::string text = kApiPath;
    if (!version.empty())
        text += "&ver=" + EscapeQueryValue(version);
    text += query;
    if (text.size() > kMaxObjectPath)
        return false;
    *path = text;
    return true;
}

}  // namespace zn
