// One transfer on libcurl: its options, the callbacks that record what
// arrives, the drive on the calling thread and the outcome it ends with (its
// handshake is in CurlTls.cpp).

#include "platform/posix/CurlTransfer.h"
#include "platform/HttpShared.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace zn {

namespace {

// Milliseconds from now until then, rounded up, at most a second: the
// longest single wait for the peer, so that time limits are looked at again.
long MillisecondsUntil(Clock::time_point now, Clock::time_point then) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count();
    return static_cast<long>(std::min<int64_t>(left + 1, 1000));
}

// The one table from this platform's failures to the reported outcome and code.
struct CurlFailure {
    CURLcode curl;
    HttpOutcome outcome;
    uint32_t code;
};
constexpr CurlFailure kCurlFailures[] = {
    {CURLE_OUT_OF_MEMORY, HttpOutcome::Failed, kHttpErrorNotEnoughMemory},
    {CURLE_URL_MALFORMAT, HttpOutcome::Failed, kHttpErrorInvalidUrl},
    {CURLE_UNSUPPORTED_PROTOCOL, HttpOutcome::Failed, kHttpErrorInvalidUrl},
    {CURLE_COULDNT_RESOLVE_HOST, HttpOutcome::Failed, kHttpErrorNameNotResolved},
    {CURLE_COULDNT_RESOLVE_PROXY, HttpOutcome::Failed, kHttpErrorNameNotResolved},
    {CURLE_COULDNT_CONNECT, HttpOutcome::Failed, kHttpErrorCannotConnect},
    {CURLE_OPERATION_TIMEDOUT, HttpOutcome::TimedOut, kHttpErrorTimeout},
    {CURLE_PEER_FAILED_VERIFICATION, HttpOutcome::UntrustedAuthority, kHttpErrorInvalidCa},
    {CURLE_SSL_CONNECT_ERROR, HttpOutcome::Failed, kHttpErrorSecureChannel},
    {CURLE_SSL_CERTPROBLEM, HttpOutcome::Failed, kHttpErrorSecureChannel},
    {CURLE_GOT_NOTHING, HttpOutcome::Failed, kHttpErrorInvalidServerResponse},
    {CURLE_WEIRD_SERVER_REPLY, HttpOutcome::Failed, kHttpErrorInvalidServerResponse},
    {CURLE_SEND_ERROR, HttpOutcome::Failed, kHttpErrorConnectionAborted},
    {CURLE_RECV_ERROR, HttpOutcome::Failed, kHttpErrorConnectionAborted},
    {CURLE_PARTIAL_FILE, HttpOutcome::Failed, kHttpErrorConnectionAborted},
};

void SetFailure(HttpResult *result, CURLcode code) {
    result->outcome = HttpOutcome::Failed;
    result->errorCode = kHttpErrorInternal;
    for (const CurlFailure &failure : kCurlFailures) {
        if (failure.curl == code) {
            result->outcome = failure.outcome;
            result->errorCode = failure.code;
        }
    }
}

// Whether a received header line carries header `name` (lower case).
bool HeaderIs(const std::string &line, const char *name) {
    const size_t length = std::strlen(name);
    if (line.size() <= length || line[length] != ':')
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i])
            return false;
    }
    return true;
}

size_t OnBody(char *data, size_t size, size_t count, void *userData) {
    auto *transfer = static_cast<Transfer *>(userData);
    const size_t length = size * count;
    transfer->lastActivity = Clock::now();
    std::string &body = transfer->result->body;
    const size_t room =
        transfer->options->bodyCap - std::min(body.size(), transfer->options->bodyCap);
    try {
        body.append(data, std::min(length, room));
    } catch (...) {
        return 0;  // the transfer fails as out of memory
    }
    if (length > room) {
        transfer->result->truncated = true;
        return 0;
    }
    return length;
}

size_t OnHeader(char *data, size_t size, size_t count, void *userData) {
    auto *transfer = static_cast<Transfer *>(userData);
    const size_t length = size * count;
    transfer->lastActivity = Clock::now();
    std::string line;
    try {
        line.assign(data, length);
    } catch (...) {
        return 0;  // the transfer fails as out of memory
    }
    if (line.compare(0, 5, "HTTP/") == 0) {
        // The status line of the next answer (after a redirect or a 1xx).
        transfer->headersComplete = false;
        transfer->location = false;
        transfer->result->contentLength = -1;
        const size_t space = line.find(' ');
        transfer->result->status =
            space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
    } else if ((line == "\r\n" || line == "\n") && transfer->result->status >= 200) {
        transfer->headersComplete = true;
        transfer->redirect = IsRedirect(transfer->result->status, transfer->location);
        transfer->answerBegun = !transfer->redirect;
        // libcurl follows nothing: the transfer ends here, and the transport
        // asks the redirect rule before anything goes to the target.
        if (transfer->redirect)
            return 0;
    } else if (HeaderIs(line, "content-length")) {
        transfer->result->contentLength = HttpContentLengthOf(line);
    } else if (HeaderIs(line, "location")) {
        transfer->location = true;
        const size_t first = line.find_first_not_of(" \t", line.find(':') + 1);
        const size_t last = line.find_last_not_of(" \t\r\n");
        transfer->locationValue.clear();
        if (first != std::string::npos && last != std::string::npos && last >= first) {
            try {
                transfer->locationValue = line.substr(first, last - first + 1);
            } catch (...) {
                return 0;  // the transfer fails as out of memory
            }
        }
    }
    return length;
}

// The proxy the environment names for a request, read as libcurl reads it
// (the scheme's own variable, upper case too but never HTTP_PROXY, then
// all_proxy and ALL_PROXY); empty: none.
std::string EnvironmentProxy(bool secure) {
    static const char *const kHttps[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    static const char *const kHttp[] = {"http_proxy", "all_proxy", "ALL_PROXY", nullptr};
    for (const char *name : secure ? kHttps : kHttp) {
        const char *value = name ? std::getenv(name) : nullptr;
        if (value && *value)
            return value;
    }
    return std::string();
}

std::string Lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whether the environment's no_proxy (NO_PROXY when it is unset) exempts host
// from its proxy, read as libcurl reads it: "*" alone, or names separated by
// commas or blanks, each the host itself or, for a host name, a domain it is
// in (a leading dot or none). An address matches only itself.
bool NoProxyExempts(const std::string &host) {
    const char *list = std::getenv("no_proxy");
    list = list ? list : std::getenv("NO_PROXY");
    const std::string names = list ? list : "";
    if (names == "*")
        return true;
    in_addr v4{};
    const bool address =
        host.find(':') != std::string::npos || inet_pton(AF_INET, host.c_str(), &v4) == 1;
    std::string name = Lower(host);
    if (!address && !name.empty() && name.back() == '.')
        name.pop_back();
    for (size_t at = 0; (at = names.find_first_not_of(" \t,", at)) != std::string::npos;) {
        const size_t end = std::min(names.find_first_of(" \t,", at), names.size());
        std::string entry = Lower(names.substr(at, end - at));
        at = end;
        if (address) {
            if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']')
                entry = entry.substr(1, entry.size() - 2);
            if (entry == name)
                return true;
            continue;
        }
        if (entry.front() == '.')
            entry.erase(0, 1);
        if (!entry.empty() && entry.back() == '.')
            entry.pop_back();
        const size_t suffix = name.size() - std::min(name.size(), entry.size());
        if (!entry.empty() && name.compare(suffix, std::string::npos, entry) == 0 &&
            (suffix == 0 || name[suffix - 1] == '.'))
            return true;
    }
    return false;
}

}  // namespace

bool IsDateFailure(int error) {
    return error == X509_V_ERR_CERT_NOT_YET_VALID || error == X509_V_ERR_CERT_HAS_EXPIRED;
}

// Started on first use, never at load (the loader lock on Windows, and a
// host that never uses HTTP pays nothing), and never cleaned up: the host may
// exit while one of our threads is still inside a transfer.
bool StartHttpLibrary() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        // The TLS library must not tear itself down at exit under our threads.
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
        started = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    });
    return started;
}

uint32_t RedirectTargetOf(const Transfer &transfer, RedirectTarget *to) {
    uint32_t refusal = kHttpErrorRedirectFailed;
    char *current = nullptr, *scheme = nullptr, *host = nullptr, *port = nullptr, *path = nullptr,
         *query = nullptr;
    CURLU *url = transfer.locationValue.empty() ? nullptr : curl_url();
    if (url && curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &current) == CURLE_OK &&
        current && curl_url_set(url, CURLUPART_URL, current, 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_URL, transfer.locationValue.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_PATH, &path, 0) == CURLUE_OK) {
        const CURLUcode hasQuery = curl_url_get(url, CURLUPART_QUERY, &query, 0);
        if (hasQuery == CURLUE_OK || hasQuery == CURLUE_NO_QUERY) {
            try {
                RedirectTarget read;
                read.scheme = scheme;
                read.host = host;
                read.port = static_cast<unsigned>(std::strtoul(port, nullptr, 10));
                read.path = std::string(path) + (query ? "?" + std::string(query) : "");
                *to = std::move(read);
                refusal = 0;
            } catch (...) {
                refusal = kHttpErrorNotEnoughMemory;
            }
        }
    }
    for (char *part : {scheme, host, port, path, query})
        curl_free(part);
    curl_url_cleanup(url);
    return refusal;
}

uint32_t Configure(CURL *easy, Transfer *transfer, const std::string &url) {
    const HttpRequestOptions &o = *transfer->options;
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(easy, option, value) == CURLE_OK;
    };
    set(CURLOPT_NOSIGNAL, 1L);
    // An abort must not wait for a name look-up that hangs: its thread is
    // left to finish on its own and frees what it holds.
    set(CURLOPT_QUICK_EXIT, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // The requests are HTTP/1.1 ones, as on the Windows build: libcurl would
    // offer HTTP/2 to a TLS server.
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // Redirects are followed by the transport, through the one rule of every
    // build; libcurl follows none (its default).
    if (o.verb != "GET")
        set(CURLOPT_CUSTOMREQUEST, o.verb.c_str());
    if (!o.userAgent.empty())
        set(CURLOPT_USERAGENT, o.userAgent.c_str());
    if (!o.user.empty())
        set(CURLOPT_USERNAME, o.user.c_str());
    if (!o.password.empty())
        set(CURLOPT_PASSWORD, o.password.c_str());
    // libcurl is only ever given a proxy we built, in plain HTTP: it picks
    // no scheme of its own, and so never makes a TLS (or SOCKS) handshake
    // with a proxy, where the client certificate could be asked for.
    std::string proxy;
    switch (o.proxyMode) {
        case HttpProxyMode::System:
            // Chosen here, not by libcurl: first no_proxy, as libcurl would
            // apply it, then the proxy is vetted as the file's proxy is. One
            // that is not used is not judged.
            if (!NoProxyExempts(o.host) && PlainProxyUrl(EnvironmentProxy(o.secure), &proxy))
                return kHttpErrorInvalidProxyRequest;
            set(CURLOPT_PROXY, proxy.c_str());
            break;
        case HttpProxyMode::Direct:
            set(CURLOPT_PROXY, "");
            break;
        case HttpProxyMode::Explicit:
            if (PlainProxyUrl(o.proxy, &proxy))
                return kHttpErrorInvalidProxyRequest;
            set(CURLOPT_PROXY, proxy.c_str());
            // A no_proxy environment must not bypass a proxy we were given.
            set(CURLOPT_NOPROXY, "");
            if (!o.proxyUser.empty())
                set(CURLOPT_PROXYUSERNAME, o.proxyUser.c_str());
            if (!o.proxyPassword.empty())
                set(CURLOPT_PROXYPASSWORD, o.proxyPassword.c_str());
            break;
    }
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.connectTimeoutMs));
    // Always on: the relaxations are made condition by condition (OnVerify).
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    transfer->cachedAuthorities = o.secure && SystemAuthorities();
    if (transfer->cachedAuthorities) {
        set(CURLOPT_CAINFO, static_cast<const char *>(nullptr));
        set(CURLOPT_CAPATH, static_cast<const char *>(nullptr));
    }
    transfer->hostChecked = o.verifyHostName;
    set(CURLOPT_SSL_VERIFYHOST, o.verifyHostName ? 2L : 0L);
    // A resumed session would skip the server's certificate request.
    set(CURLOPT_SSL_SESSIONID_CACHE, 0L);
    set(CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
    set(CURLOPT_SSL_CTX_DATA, static_cast<void *>(transfer));
    set(CURLOPT_WRITEFUNCTION, OnBody);
    set(CURLOPT_WRITEDATA, static_cast<void *>(transfer));
    set(CURLOPT_HEADERFUNCTION, OnHeader);
    set(CURLOPT_HEADERDATA, static_cast<void *>(transfer));
    try {
        for (const std::string &line : HttpHeaderLines(o.headers)) {
            curl_slist *grown = curl_slist_append(transfer->headers.get(), line.c_str());
            if (!grown)
                return kHttpErrorNotEnoughMemory;
            (void)transfer->headers.release();
            transfer->headers.reset(grown);
        }
    } catch (...) {
        return kHttpErrorNotEnoughMemory;
    }
    if (transfer->headers)
        set(CURLOPT_HTTPHEADER, transfer->headers.get());
    return ok ? 0u : uint32_t{kHttpErrorNotEnoughMemory};
}

// Drives a transfer on the calling thread until one of DriveEnd happens;
// a wakeup of multi (Abort) ends the wait for the peer at once.
DriveEnd Drive(CURLM *multi, CURL *easy, Transfer *transfer, const std::atomic<bool> &aborted,
               const std::function<bool()> &enough, Clock::time_point deadline, CURLcode *code) {
    const auto silenceLimit = std::chrono::milliseconds(transfer->options->sendReceiveTimeoutMs);
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            *code = CURLE_OUT_OF_MEMORY;
            return DriveEnd::Finished;
        }
        if (aborted)
            return DriveEnd::Aborted;
        if (!running) {
            *code = CURLE_OUT_OF_MEMORY;
            int queued = 0;
            while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
                    *code = message->data.result;
            }
            return DriveEnd::Finished;
        }
        if (enough && enough())
            return DriveEnd::Enough;
        const auto now = Clock::now();
        if (!transfer->connected) {
            // Until the connection stands (the TLS handshake begins, or a
            // plain one is made), the connect limit applies.
            curl_off_t connectTime = 0;
            if (curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectTime) == CURLE_OK &&
                connectTime > 0) {
                transfer->connected = true;
                transfer->lastActivity = now;
            }
        }
        long waitMs = 1000;
        if (transfer->connected) {
            const auto silent = now - transfer->lastActivity;
            if (silent >= silenceLimit)
                return DriveEnd::Silent;
            waitMs = std::min(waitMs, MillisecondsUntil(now, now + (silenceLimit - silent)));
        }
        if (now >= deadline)
            return DriveEnd::WaitOver;
        waitMs = std::min(waitMs, MillisecondsUntil(now, deadline));
        if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitMs), nullptr) != CURLM_OK) {
            *code = CURLE_OUT_OF_MEMORY;
            return DriveEnd::Finished;
        }
    }
}

// The outcome of a transfer that ended as a DriveEnd; answered: the caller's
// idea of an answer that counts.
void Conclude(HttpResult *result, const Transfer &transfer, bool aborted, bool answered,
              bool timedOut, CURLcode code) {
    if (aborted)
        SetOutcome(result, HttpOutcome::Aborted, kHttpErrorOperationCancelled);
    else if (result->truncated)
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
    else if (transfer.outOfMemory)
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
    else if (transfer.unusableCertificate)
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorSecureChannel);
    else if (transfer.certificateRequested)
        SetOutcome(result, HttpOutcome::CertificateRequested, kHttpErrorClientCertNeeded);
    else if (answered)
        SetOutcome(result, HttpOutcome::Sent, 0);
    else if (timedOut)
        SetOutcome(result, HttpOutcome::TimedOut, kHttpErrorTimeout);
    else if (code == CURLE_PEER_FAILED_VERIFICATION && IsDateFailure(transfer.verifyError))
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorCertDateInvalid);
    else if (code == CURLE_PEER_FAILED_VERIFICATION && transfer.verifyError == 0)
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorCertCnInvalid);  // the chain held
    else
        SetFailure(result, code);
}

}  // namespace zn
