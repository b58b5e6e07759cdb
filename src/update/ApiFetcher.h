// The two sources that ask the provider's web API for the server lists:
// directly (the system's own proxy settings) and through the HTTP proxy the
// server list file names. Twins: the same request to the web server the last
// check selected, told apart only by the route and the send.
#pragma once

#include "http/HttpRequest.h"
#include "http/TagParser.h"
#include "store/AddressCipher.h"
#include "store/ProfileFile.h"
#include "update/UpdateFetcher.h"

namespace zn {

constexpr const char *kApiUserAgent = "zembrix";
// Client certificates are chosen by this organizational unit of their issuer.
constexpr const char *kApiCertificateUnit = "Quenstead Corp.";

class CWebApiFetcher : public CUpdateFetcher {
  public:
    ~CWebApiFetcher() override { Join(); }

    CHttpRequest m_request;
    CTagParser m_tagParser;
    CAddressCipher m_cipher;
    CProfileFile m_profile;

  protected:
    explicit CWebApiFetcher(bool viaProxy) : m_bViaProxy(viaProxy) {}
    // Success exactly when the answer's "RES" tag is "OK".
    void Fetch() override;
    void AbortTransfer() override;

  private:
    // The fetch itself; null, or why the source was not asked at all ("no
    // proxy", "no web server", "query too long").
    const char *FetchAnswer();

    const bool m_bViaProxy;
    std::string m_strProxy;
    // The answer's "RES", once an answer came.
    bool m_bAnswered = false;
    std::string m_strRes;
};

// The first source: sends on the fetcher's own thread, limited only by the
// platform's time limits.
class CDirectApiFetcher : public CWebApiFetcher {
  public:
    CDirectApiFetcher() : CWebApiFetcher(false) {}
};

// The second source: through the "HTTPPROXY" of the file ("04" or none: the
// fetch fails without network activity), sent on a thread of its own and
// given 30 seconds.
class CProxyApiFetcher : public CWebApiFetcher {
  public:
    CProxyApiFetcher() : CWebApiFetcher(true) {}
};

}  // namespace zn
