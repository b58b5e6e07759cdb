#include "update/ApiFetcher.h"

#include "store/ServerList.h"
#include "update/ListExchange.h"

namespace zn {

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

    const bool opened =
        m_bViaProxy ? m_request.OpenRequestViaProxy("GET", proxy) : m_request.OpenRequest("GET");
    // Opening sends nothing. A stop that came before the session existed
    // found nothing to abort; one that comes from now on ends the send.
    if (!opened || Stopping())
        return;
    const bool sent = m_bViaProxy ? m_request.SendRequestWithTimeout() : m_request.SendRequest();
    if (!sent)
        return;
    m_strResponse = m_request.ReadResponse();
    m_bSucceeded = m_tagParser.GetTagValue(m_strResponse, "RES") == "OK" ? 1 : 0;
}

void CWebApiFetcher::AbortTransfer() {
    // Sticky for the open request: a send that has not begun ends at once.
    m_request.AbortSend();
}

}  // namespace zn
