#include "http/HttpText.h"

#include <cctype>
#include <cstdlib>
#include <mutex>

#include "http/TransportLimits.h"
#include "platform/HttpTransport.h"

namespace zn {

namespace {

constexpr const char *kUserAgent = "zembrixnet";
// Pieces a body is read in; each is appended as text.
constexpr size_t kTextPieceBytes = 1024;
// The system proxy text keeps at most this many characters.
constexpr size_t kMaxSystemProxyLength = 255;

// The system's proxy, read once per process: on this platform the proxy the
// environment names for plain HTTP, as libcurl reads it (lower-case
// http_proxy only, then all_proxy and ALL_PROXY).
std::string SystemProxy() {
    static std::once_flag once;
    // Never destroyed: a fetch may still run while static objects go.
    static const std::string *proxy = nullptr;
    std::call_once(once, [] {
        std::string value;
        for (const char *name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
            const char *text = std::getenv(name);
            if (text && *text) {
                value = std::string(text).substr(0, kMaxSystemProxyLength);
                break;
            }
        }
        proxy = new std::string(value);
    });
    return proxy ? *proxy : std::string();
}

bool StartsWithNoCase(const std::string &text, const std::string &prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

std::string StepError(const char *step, uint32_t code) {
    return std::string("GetHttpText::") + step + " Error " + std::to_string(code);
}

}  // namespace

bool SplitUrl(const std::string &url, HttpRequestOptions *options) {
    size_t at;
    if (StartsWithNoCase(url, "http://")) {
        options->secure = false;
        options->port = 80;
        at = 7;
    } else if (StartsWithNoCase(url, "https://")) {
        options->secure = true;
        options->port = 443;
        at = 8;
    } else {
        return false;
    }
    const size_t objectStart = url.find_first_of("/?", at);
    std::string authority =
        url.substr(at, objectStart == std::string::npos ? std::string::npos : objectStart - at);
    const std::string object =
        objectStart == std::string::npos ? std::string("/") : url.substr(objectStart);
    const size_t credentialsEnd = authority.rfind('@');
    if (credentialsEnd != std::string::npos)
        authority.erase(0, credentialsEnd + 1);
    std::string host = authority;
    const size_t bracketEnd = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (bracketEnd == std::string::npos || colon > bracketEnd)) {
        const std::string port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos ||
            std::atoi(port.c_str()) > 65535)
            return false;
        options->port = static_cast<uint16_t>(std::atoi(port.c_str()));
        host = authority.substr(0, colon);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    options->host = host;
    options->path = object[0] == '?' ? "/" + object : object;
    return true;
}

// Hands a fetch's transport to its abort handle for as long as it runs.
class HttpTextAbortScope {
  public:
    HttpTextAbortScope(CHttpTextAbort *abort, HttpTransport *transport) : m_abort(abort) {
        if (!m_abort)
            return;
        std::lock_guard<std::mutex> lock(m_abort->m_mutex);
        m_abort->m_pTransport = transport;
        if (m_abort->m_bAborted)
            transport->Abort();
    }
    ~HttpTextAbortScope() {
        if (!m_abort)
            return;
        std::lock_guard<std::mutex> lock(m_abort->m_mutex);
        m_abort->m_pTransport = nullptr;
    }
    HttpTextAbortScope(const HttpTextAbortScope &) = delete;
    HttpTextAbortScope &operator=(const HttpTextAbortScope &) = delete;

  private:
    CHttpTextAbort *m_abort;
};

void CHttpTextAbort::Abort() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAborted = true;
    if (m_pTransport)
        m_pTransport->Abort();
}

std::string GetHttpText(const std::string &url, const char *proxy, const char *user,
                        const char *password, CHttpTextAbort *abort, long *status) {
    if (status)
        *status = 0;
    try {
        HttpRequestOptions options;
        ApplyTransportLimits(&options);
        options.userAgent = kUserAgent;
        // Public pages move between hosts; a page read over TLS is never
        // taken from plain HTTP.
        options.redirects = HttpRedirects::AnyServer;
        const std::string systemProxy = SystemProxy();
        if (proxy || !systemProxy.empty()) {
            options.proxyMode = HttpProxyMode::Explicit;
            options.proxy = proxy ? proxy : systemProxy;
            if (user && *user)
                options.proxyUser = user;
            if (password && *password)
                options.proxyPassword = password;
        } else {
            options.proxyMode = HttpProxyMode::Direct;
        }
        std::unique_ptr<HttpTransport> transport = HttpTransport::Create();
        if (!transport)
            return StepError("InternetOpen", kHttpErrorNotEnoughMemory);
        SplitUrl(url, &options);
        const uint32_t invalid = CheckHttpTarget(options);
        if (invalid == kHttpErrorInvalidParameter)
            return StepError("InternetConnect", invalid);
        if (invalid)
            return StepError("HttpOpenRequest", invalid);
        HttpTextAbortScope scope(abort, transport.get());
        const HttpResult result = transport->Perform(options);
        if (status)
            *status = result.status;
        if (result.outcome != HttpOutcome::Sent && !result.truncated)
            return StepError("HttpSendRequest", result.errorCode);
        std::string text;
        AppendPiecesAsText(result.body, kTextPieceBytes, &text);
        return text;
    } catch (...) {
        // Out of memory: no text can be made, not even a message.
        return std::string();
    }
}

}  // namespace zn
