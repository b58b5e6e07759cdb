#include "update/ApiFetcher.h"

#include "report/Observer.h"
#include "store/ServerList.h"
#include "update/ListExchange.h"

namespace zn {

void CWebApiFetcher::Fetch() {
    const StepClock clock;
    const char *skipped = FetchAnswer();
    if (!Observing())
        return;
    // What this source came to, and why, for a diagnosis.
    Observation seen(Step::Source, std::string(), m_bViaProxy ? "proxy" : "direct",
                     m_request.m_strServer.empty() ? std::string() : m_request.TargetUrl());
    seen.ms = clock.Ms();
    if (skipped) {
        seen.outcome = skipped;
    } else if (m_bSucceeded) {
        seen.outcome = "ok";
    } else {
        seen.outcome = Stopping() ? "stopped" : "failed";
        seen.code = m_request.m_dwError;
        seen.text = m_request.m_strError;
    }
    if (m_bViaProxy)
        seen.detail = m_strProxy;
    else if (m_bAnswered)
        seen.detail = m_strRes;
    seen.status = m_request.m_nStatus;
    seen.proxyStatus = m_request.m_nProxyStatus;
    Observe(seen);
}

const char *CWebApiFetcher::FetchAnswer() {
    m_bSucceeded = 0;
    m_profile.m_strFileName = ServerListPath(m_strDirectory);
    m_cipher.DeriveKey();

    std::string path;
    if (!BuildObjectPath(m_strVersion, m_strQuery, &path))
        return "query too long";
    m_request.m_strAgent = kApiUserAgent;
    m_request.m_nCertStore = 0;
    m_request.m_strObject = path;
    m_request.m_strCertOU = kApiCertificateUnit;
    m_request.m_strDirectory = m_strDirectory;

    if (m_bViaProxy) {
        m_strProxy = m_profile.GetValue(kNetworkSection, "HTTPPROXY", kMissing);
        // "04" means no proxy: there is nothing to go through.
        if (m_strProxy == kMissing || m_strProxy == kNone)
            return "no proxy";
    }
    const std::string web = m_profile.GetValue(kNetworkSection, "WEB", kMissing);
    if (web == kNone || web == kMissing)
        return "no web server";
    std::string host, port;
    SplitAtLastColon(m_cipher.Decipher(web), &host, &port);
    m_request.m_strServer = host;
    m_request.m_nPort = static_cast<uint16_t>(ParseCount(port));
    m_request.m_dwContext = 0;

    const bool opened = m_bViaProxy ? m_request.OpenRequestViaProxy("GET", m_strProxy)
                                    : m_request.OpenRequest("GET");
    // Opening sends nothing. A stop that came before the session existed
    // found nothing to abort; one that comes from now on ends the send.
    if (!opened || Stopping())
        return nullptr;
    const bool sent = m_bViaProxy ? m_request.SendRequestWithTimeout() : m_request.SendRequest();
    if (!sent)
        return nullptr;
    m_strResponse = m_request.ReadResponse();
    m_strRes = m_tagParser.GetTagValue(m_strResponse, "RES");
    m_bAnswered = true;
    m_bSucceeded = m_strRes == "OK" ? 1 : 0;
    return nullptr;
}

void CWebApiFetcher::AbortTransfer() {
    // Sticky for the open request: a send that has not begun ends at once.
    m_request.AbortSend();
}

}  // namespace zn
