#include "update/ApiFetcher.h"

#include "store/ServerList.h"
#include "update/ListExchange.h"

namespace zn {

namespace {

// Hands every call on to a session that AbortTransfer shares.
class SharedSession : public HttpTransport {
  public:
    explicit SharedSession(std::shared_ptr<HttpTransport> session)
        : m_session(std::move(session)) {}
    HttpResult Perform(const HttpRequestOptions &options) override {
        return m_session->Perform(options);
    }
    void Abort() override { m_session->Abort(); }

  private:
    std::shared_ptr<HttpTransport> m_session;
};

}  // namespace

void CWebApiFetcher::Fetch() {
    m_bSucceeded = 0;
    m_profile.m_strFileName = ServerListPath(m_strDirectory);
    m_cipher.DeriveKey();

    std::string path;
    if (!BuildObjectPath(m_strVersion, m_strQuery, &path))
        return;
    m_request.m_strAgent = kApiUserAgent;
    m_request.m_nCertStore = 0;
    m_request.m_strObject = path;
    m_request.m_strCertOU = kApiCertificateUnit;
    m_request.m_strDirectory = m_strDirectory;

    std::string proxy;
    if (m_bViaProxy) {
        proxy = m_profile.GetValue(kNetworkSection, "HTTPPROXY", kMissing);
        // "04" means no proxy: there is nothing to go through.
        if (proxy == kMissing || proxy == kNone)
            return;
    }
    const std::string web = m_profile.GetValue(kNetworkSection, "WEB", kMissing);
    if (web == kNone || web == kMissing)
        return;
    std::string host, port;
    SplitAtLastColon(m_cipher.Decipher(web), &host, &port);
    m_request.m_strServer = host;
    m_request.m_nPort = static_cast<uint16_t>(ParseCount(port));
    m_request.m_dwContext = 0;

    if (Stopping())
        return;
    const bool opened =
        m_bViaProxy ? m_request.OpenRequestViaProxy("GET", proxy) : m_request.OpenRequest("GET");
    if (!opened || !ShareSession())
        return;
    const bool sent = m_bViaProxy ? m_request.SendRequestWithTimeout() : m_request.SendRequest();
    if (!sent)
        return;
    m_strResponse = m_request.ReadResponse();
    m_bSucceeded = m_tagParser.GetTagValue(m_strResponse, "RES") == "OK" ? 1 : 0;
}

bool CWebApiFetcher::ShareSession() {
    std::lock_guard<std::mutex> lock(m_transferLock);
    if (m_request.m_hInternet) {
        // Nothing else uses the record before the send starts.
        m_transfer.reset(m_request.m_hInternet.release());
        m_request.m_hInternet.reset(new SharedSession(m_transfer));
    }
    if (m_bAborted && m_transfer)
        m_transfer->Abort();
    return !m_bAborted;
}

void CWebApiFetcher::AbortTransfer() {
    std::lock_guard<std::mutex> lock(m_transferLock);
    m_bAborted = true;
    // Sticky: a send that has not begun yet ends at once as well.
    if (m_transfer)
        m_transfer->Abort();
}

}  // namespace zn
