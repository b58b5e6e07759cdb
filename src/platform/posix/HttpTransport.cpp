// HttpTransport on libcurl with OpenSSL. Each request runs through a private
// multi handle, so Abort() can wake its wait from any thread and end it at
// once in every phase (resolve, connect, handshake, tunnel, reply, body).

#include "platform/HttpTransport.h"
#include "platform/HttpShared.h"

#include <curl/curl.h>
#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace zn {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until then, rounded up, at most a second: the
// longest single wait for the peer, so that time limits are looked at again.
long MillisecondsUntil(Clock::time_point now, Clock::time_point then) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count();
    return static_cast<long>(std::min<int64_t>(left + 1, 1000));
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

// Errors we cause must not reach the host's view of the thread's error queue.
class ErrorQueueMark {
  public:
    ErrorQueueMark() { ERR_set_mark(); }
    ~ErrorQueueMark() { ERR_pop_to_mark(); }
};

// Certificate files are small; anything larger is not one of ours.
constexpr off_t kMaxCertificateFileBytes = 1024 * 1024;

// Regular *.pem files of directory, in file-name order.
std::vector<std::string> ListPemFiles(const std::string &directory) {
    std::vector<std::string> names;
    DIR *dir = opendir(directory.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (const std::string &name : names) {
        const std::string path = directory + "/" + name;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_size <= kMaxCertificateFileBytes)
            paths.push_back(path);
    }
    return paths;
}

bool ReadSmallFile(const std::string &path, std::string *text) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    text->clear();
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
           text->size() <= static_cast<size_t>(kMaxCertificateFileBytes))
        text->append(buffer, n);
    const bool ok =
        !std::ferror(file) && text->size() <= static_cast<size_t>(kMaxCertificateFileBytes);
    std::fclose(file);
    return ok;
}

struct X509Deleter {
    void operator()(X509 *p) const { X509_free(p); }
};
struct KeyDeleter {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// The first certificate and the first private key of a PEM text, each or
// both null when missing.
void ParsePem(const std::string &pem, X509Ptr *cert, KeyPtr *key) {
    ErrorQueueMark mark;
    if (BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))) {
        cert->reset(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
    }
    // Read again from the start: the key may stand before the certificate.
    if (BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))) {
        // An empty pass phrase: an encrypted key is skipped, never prompted for.
        key->reset(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char *>("")));
        BIO_free(bio);
    }
}

bool IssuerCarriesUnit(X509 *cert, const std::string &unit) {
    const X509_NAME *issuer = X509_get_issuer_name(cert);
    for (int i = X509_NAME_get_index_by_NID(issuer, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(issuer, NID_organizationalUnitName, i)) {
        unsigned char *utf8 = nullptr;
        const int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(issuer, i)));
        const bool equal = length >= 0 && static_cast<size_t>(length) == unit.size() &&
                           std::memcmp(utf8, unit.data(), unit.size()) == 0;
        OPENSSL_free(utf8);
        if (equal)
            return true;
    }
    return false;
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

// Statuses libcurl follows when they carry a Location.
bool IsFollowedRedirect(long status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
           status == 308;
}

struct SlistDeleter {
    void operator()(curl_slist *p) const { curl_slist_free_all(p); }
};

// What one transfer shares with libcurl's callbacks.
struct Transfer {
    const HttpRequestOptions *options = nullptr;
    HttpResult *result = nullptr;
    X509Ptr clientCert;
    KeyPtr clientKey;
    bool certificateRequested = false;
    bool cachedAuthorities = false;  // the system's authorities come from SystemAuthorities
    bool headersComplete = false;
    bool location = false;                              // the current answer names a Location
    bool answerBegun = false;                           // the final answer's headers are complete
    std::unique_ptr<curl_slist, SlistDeleter> headers;  // the request's own lines
    uint32_t redirectRefused = 0;                       // the code of a redirect not followed
    int verifyError = 0;                                // the chain's first failure not relaxed
    CURL *easy = nullptr;                               // the handle it is the transfer of
    // Once connected, the peer's silence is limited (sendReceiveTimeoutMs).
    bool connected = false;
    Clock::time_point lastActivity;
};

int TransferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The system's authorities, read once per process from the file libcurl
// would otherwise parse again for every handshake (on a local server that
// parse took longer than the rest of the request). Null when they cannot be
// read: libcurl then reads them itself. Never freed: a transfer may still
// run while the process exits.
X509_STORE *SystemAuthorities() {
    static std::once_flag once;
    static X509_STORE *authorities = nullptr;
    std::call_once(once, [] {
        ErrorQueueMark mark;
        CURL *probe = curl_easy_init();
        if (!probe)
            return;
        char *path = nullptr;
        if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path) {
            X509_STORE *loaded = X509_STORE_new();
            if (loaded && X509_STORE_load_file(loaded, path) == 1)
                authorities = loaded;
            else
                X509_STORE_free(loaded);
        }
        curl_easy_cleanup(probe);
    });
    return authorities;
}

// A store of this handshake's own holding the system's authorities; it is
// changed afterwards (extra authorities), so the shared one is copied.
bool UseSystemAuthorities(SSL_CTX *ctx) {
    X509_STORE *store = X509_STORE_new();
    if (!store)
        return false;
    STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(SystemAuthorities());
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        if (X509 *certificate = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i)))
            X509_STORE_add_cert(store, certificate);
    }
    SSL_CTX_set_cert_store(ctx, store);
    return true;
}

// Called when the server asks for a certificate and none is attached: the
// request counts as "certificate requested", as it would on the Windows
// build, and the handshake ends here (a lookup that never completes fails
// it), so the request never goes out without the certificate the caller
// will attach for the next send.
int OnCertificateRequest(SSL *ssl, X509 **, EVP_PKEY **) {
    auto *transfer =
        static_cast<Transfer *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransferIndex()));
    if (!transfer)
        return 0;
    transfer->certificateRequested = true;
    return -1;
}

// Whether a failure of the server's chain is one the request relaxes: an
// unknown authority (verifyPeer off) or dates (checkDates off), each alone,
// as the Windows build's security flags do. Turning peer verification off
// instead would let every other failure pass too.
bool IsRelaxed(int error, const HttpRequestOptions &options) {
    switch (error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return !options.verifyPeer;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return !options.checkDates;
        default:
            return false;
    }
}

int OnVerify(int ok, X509_STORE_CTX *store) {
    if (ok)
        return 1;
    const auto *ssl = static_cast<const SSL *>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *transfer =
        ssl ? static_cast<Transfer *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransferIndex()))
            : nullptr;
    if (!transfer)
        return 0;
    const int error = X509_STORE_CTX_get_error(store);
    if (IsRelaxed(error, *transfer->options)) {
        // Cleared, or it would stand as the handshake's verification result.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (!transfer->verifyError)
        transfer->verifyError = error;
    return 0;
}

CURLcode OnSslContext(CURL *, void *sslContext, void *data) {
    auto *ctx = static_cast<SSL_CTX *>(sslContext);
    auto *transfer = static_cast<Transfer *>(data);
    const HttpRequestOptions &options = *transfer->options;
    // The connection stands; a silent handshake counts as a silent peer.
    transfer->connected = true;
    transfer->lastActivity = Clock::now();
    ErrorQueueMark mark;
    if (transfer->cachedAuthorities && !UseSystemAuthorities(ctx))
        return CURLE_OUT_OF_MEMORY;
    if (!options.extraAuthoritiesDirectory.empty()) {
        X509_STORE *store = SSL_CTX_get_cert_store(ctx);
        for (const std::string &path : ListPemFiles(options.extraAuthoritiesDirectory))
            X509_STORE_load_file(store, path.c_str());  // a file without certificates adds none
    }
    if (TransferIndex() < 0 || SSL_CTX_set_ex_data(ctx, TransferIndex(), transfer) != 1)
        return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), OnVerify);
    if (transfer->clientCert) {
        // With a certificate in the context, OpenSSL presents it when asked.
        if (SSL_CTX_use_certificate(ctx, transfer->clientCert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(ctx, transfer->clientKey.get()) != 1)
            return CURLE_SSL_CERTPROBLEM;
    } else {
        SSL_CTX_set_client_cert_cb(ctx, OnCertificateRequest);
    }
    return CURLE_OK;
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

// Zero when the Location of a header line, taken relative to the URL
// requested last, keeps the request's scheme and server; otherwise the code
// of its refusal (also when it cannot be read).
uint32_t RedirectRefusal(const Transfer &transfer, const std::string &line) {
    const size_t first = line.find_first_not_of(" \t", line.find(':') + 1);
    const size_t last = line.find_last_not_of(" \t\r\n");
    const std::string location =
        first == std::string::npos || last < first ? "" : line.substr(first, last - first + 1);
    uint32_t refusal = kHttpErrorRedirectFailed;
    char *current = nullptr, *scheme = nullptr, *host = nullptr, *port = nullptr;
    CURLU *url = curl_url();
    if (url && curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &current) == CURLE_OK &&
        current && curl_url_set(url, CURLUPART_URL, current, 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK)
        refusal = CheckRedirectTarget(*transfer.options, scheme, host,
                                      static_cast<unsigned>(std::strtoul(port, nullptr, 10)));
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(url);
    return refusal;
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
        // A redirect that is followed is not the answer yet.
        transfer->answerBegun =
            !(transfer->location && IsFollowedRedirect(transfer->result->status));
    } else if (HeaderIs(line, "content-length")) {
        transfer->result->contentLength = HttpContentLengthOf(line);
    } else if (HeaderIs(line, "location")) {
        transfer->location = true;
        // Refused here, before libcurl follows it.
        if (transfer->options->sameServerRedirectsOnly &&
            IsFollowedRedirect(transfer->result->status)) {
            try {
                transfer->redirectRefused = RedirectRefusal(*transfer, line);
            } catch (...) {
                transfer->redirectRefused = kHttpErrorNotEnoughMemory;
            }
            if (transfer->redirectRefused)
                return 0;
        }
    }
    return length;
}

struct EasyDeleter {
    void operator()(CURL *p) const { curl_easy_cleanup(p); }
};
struct MultiDeleter {
    void operator()(CURLM *p) const { curl_multi_cleanup(p); }
};

bool Configure(CURL *easy, Transfer *transfer, const std::string &url) {
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
    // Redirects are followed, as the Windows Internet functions do.
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_MAXREDIRS, 10L);
    if (o.verb != "GET")
        set(CURLOPT_CUSTOMREQUEST, o.verb.c_str());
    if (!o.userAgent.empty())
        set(CURLOPT_USERAGENT, o.userAgent.c_str());
    if (!o.user.empty())
        set(CURLOPT_USERNAME, o.user.c_str());
    if (!o.password.empty())
        set(CURLOPT_PASSWORD, o.password.c_str());
    switch (o.proxyMode) {
        case HttpProxyMode::System:
            break;  // libcurl follows the system's proxy environment
        case HttpProxyMode::Direct:
            set(CURLOPT_PROXY, "");
            break;
        case HttpProxyMode::Explicit:
            set(CURLOPT_PROXY, o.proxy.c_str());
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
                return false;
            (void)transfer->headers.release();
            transfer->headers.reset(grown);
        }
    } catch (...) {
        return false;
    }
    if (transfer->headers)
        set(CURLOPT_HTTPHEADER, transfer->headers.get());
    return ok;
}

enum class DriveEnd {
    Finished,  // the transfer ended; its result code is in *code
    Enough,    // the caller's condition holds
    Aborted,
    Silent,    // the connected peer was silent beyond the request's limit
    WaitOver,  // the caller's deadline passed
};

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

// Dates are their own failure, as on the Windows build: only an unknown
// authority is reported as untrusted (and relaxed by the send's retry).
bool IsDateFailure(int error) {
    return error == X509_V_ERR_CERT_NOT_YET_VALID || error == X509_V_ERR_CERT_HAS_EXPIRED;
}

// The outcome of a transfer that ended as a DriveEnd; answered: the caller's
// idea of an answer that counts.
void Conclude(HttpResult *result, const Transfer &transfer, bool aborted, bool answered,
              bool timedOut, CURLcode code) {
    if (aborted)
        SetOutcome(result, HttpOutcome::Aborted, kHttpErrorOperationCancelled);
    else if (result->truncated)
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
    else if (transfer.certificateRequested)
        SetOutcome(result, HttpOutcome::CertificateRequested, kHttpErrorClientCertNeeded);
    else if (transfer.redirectRefused)
        SetOutcome(result, HttpOutcome::Failed, transfer.redirectRefused);
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

class CurlTransport final : public HttpTransport {
  public:
    HttpResult Perform(const HttpRequestOptions &options) override;
    void Abort() override;

  private:
    std::mutex m_mutex;  // guards m_multi against Abort while it is freed
    CURLM *m_multi = nullptr;
    std::atomic<bool> m_aborted{false};
};

void CurlTransport::Abort() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_aborted = true;
    if (m_multi)
        curl_multi_wakeup(m_multi);
}

HttpResult CurlTransport::Perform(const HttpRequestOptions &options) {
    HttpResult result;
    if (RefusedBeforeStart(options, m_aborted, &result))
        return result;
    Transfer transfer;
    transfer.options = &options;
    transfer.result = &result;
    if (!options.clientCertificatePem.empty()) {
        ParsePem(options.clientCertificatePem, &transfer.clientCert, &transfer.clientKey);
        if (!transfer.clientCert || !transfer.clientKey) {
            SetOutcome(&result, HttpOutcome::Failed, kHttpErrorSecureChannel);
            return result;
        }
    }
    std::string url;
    try {
        url = HttpUrlOf(options);
    } catch (...) {
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return result;
    }
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    transfer.easy = easy.get();
    if (!easy || !multi || !Configure(easy.get(), &transfer, url) ||
        curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return result;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_multi = multi.get();
    }
    CURLcode code = CURLE_OK;
    const bool timedOut = Drive(multi.get(), easy.get(), &transfer, m_aborted, nullptr,
                                Clock::time_point::max(), &code) == DriveEnd::Silent;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_multi = nullptr;
    }
    curl_multi_remove_handle(multi.get(), easy.get());
    // A transfer that broke in the body keeps what came.
    Conclude(&result, transfer, m_aborted,
             (code == CURLE_OK && !timedOut) || transfer.headersComplete, timedOut, code);
    return result;
}

class CurlStream final : public HttpStream {
  public:
    ~CurlStream() override { End(); }
    HttpResult Begin(const HttpRequestOptions &options, uint32_t waitMs) override;
    HttpReadOutcome Read(size_t length, uint32_t waitMs, std::string *piece) override;
    void End() override;
    void Abort() override;

  private:
    // The begun transfer. libcurl's callbacks write into its members, so
    // they stay in place from Begin to End; the easy handle goes first.
    struct Begun {
        HttpRequestOptions options;
        HttpResult result;  // its body: everything received, handed out or not
        Transfer transfer;
        std::unique_ptr<CURLM, MultiDeleter> multi;
        std::unique_ptr<CURL, EasyDeleter> easy;
        bool finished = false;
        CURLcode code = CURLE_OK;
        size_t handedOut = 0;
    };

    DriveEnd Wait(uint32_t waitMs, const std::function<bool()> &enough);

    std::unique_ptr<Begun> m_begun;
    std::mutex m_mutex;  // guards m_multi against Abort while it is freed
    CURLM *m_multi = nullptr;
    std::atomic<bool> m_aborted{false};
};

void CurlStream::Abort() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_aborted = true;
    if (m_multi)
        curl_multi_wakeup(m_multi);
}

void CurlStream::End() {
    if (!m_begun)
        return;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_multi = nullptr;
    }
    curl_multi_remove_handle(m_begun->multi.get(), m_begun->easy.get());
    m_begun.reset();
}

DriveEnd CurlStream::Wait(uint32_t waitMs, const std::function<bool()> &enough) {
    Begun &b = *m_begun;
    const DriveEnd end = Drive(b.multi.get(), b.easy.get(), &b.transfer, m_aborted, enough,
                               Clock::now() + std::chrono::milliseconds(waitMs), &b.code);
    b.finished = end == DriveEnd::Finished;
    return end;
}

HttpResult CurlStream::Begin(const HttpRequestOptions &options, uint32_t waitMs) {
    End();
    HttpResult result;
    if (RefusedBeforeStart(options, m_aborted, &result))
        return result;
    try {
        auto begun = std::make_unique<Begun>();
        begun->options = options;
        begun->transfer.options = &begun->options;
        begun->transfer.result = &begun->result;
        begun->multi.reset(curl_multi_init());
        begun->easy.reset(curl_easy_init());
        begun->transfer.easy = begun->easy.get();
        if (!begun->easy || !begun->multi ||
            !Configure(begun->easy.get(), &begun->transfer, HttpUrlOf(options)) ||
            curl_multi_add_handle(begun->multi.get(), begun->easy.get()) != CURLM_OK) {
            SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
            return result;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        m_multi = begun->multi.get();
        m_begun = std::move(begun);
    } catch (...) {
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return result;
    }
    const Transfer &transfer = m_begun->transfer;
    const DriveEnd end = Wait(waitMs, [&transfer] { return transfer.answerBegun; });
    Conclude(&m_begun->result, transfer, m_aborted, transfer.answerBegun,
             end == DriveEnd::Silent || end == DriveEnd::WaitOver, m_begun->code);
    result.outcome = m_begun->result.outcome;
    result.errorCode = m_begun->result.errorCode;
    result.status = m_begun->result.status;
    result.contentLength = m_begun->result.contentLength;
    if (result.outcome != HttpOutcome::Sent)
        End();
    return result;
}

HttpReadOutcome CurlStream::Read(size_t length, uint32_t waitMs, std::string *piece) {
    piece->clear();
    if (!m_begun)
        return HttpReadOutcome::End;
    Begun &b = *m_begun;
    length = std::max<size_t>(length, 1);
    const auto available = [&b] { return b.result.body.size() - b.handedOut; };
    DriveEnd end = DriveEnd::Enough;
    if (!b.finished && available() < length) {
        // The caller's pause since the last read was no silence of the peer.
        b.transfer.lastActivity = Clock::now();
        end = Wait(waitMs, [&] { return available() >= length; });
    }
    const size_t n = std::min(length, available());
    try {
        piece->assign(b.result.body, b.handedOut, n);
    } catch (...) {
        End();
        return HttpReadOutcome::Failed;
    }
    b.handedOut += n;
    HttpReadOutcome outcome = HttpReadOutcome::Data;
    if (end == DriveEnd::Aborted)
        outcome = HttpReadOutcome::Aborted;
    else if (end == DriveEnd::Silent || end == DriveEnd::WaitOver)
        outcome = HttpReadOutcome::TimedOut;
    else if (n > 0)
        return HttpReadOutcome::Data;
    else if (b.result.truncated || b.code != CURLE_OK)
        outcome = HttpReadOutcome::Failed;
    else
        outcome = HttpReadOutcome::End;
    End();
    return outcome;
}

}  // namespace

bool PlatformAcceptsHttpUrl(const std::string &url) {
    CURLU *parsed = curl_url();
    if (!parsed)
        throw std::bad_alloc();
    const bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(parsed);
    return ok;
}

std::unique_ptr<HttpTransport> CreatePlatformHttpTransport() {
    if (!StartHttpLibrary())
        return nullptr;
    return std::unique_ptr<HttpTransport>(new (std::nothrow) CurlTransport);
}

std::unique_ptr<HttpStream> CreatePlatformHttpStream() {
    if (!StartHttpLibrary())
        return nullptr;
    return std::unique_ptr<HttpStream>(new (std::nothrow) CurlStream);
}

bool FindCertificateByIssuerUnit(const std::string &directory, const std::string &unit,
                                 StoredCertificate *found) {
    try {
        for (const std::string &path : ListPemFiles(directory)) {
            std::string pem;
            if (!ReadSmallFile(path, &pem))
                continue;
            X509Ptr cert;
            KeyPtr key;
            ParsePem(pem, &cert, &key);
            ErrorQueueMark mark;
            if (cert && key && IssuerCarriesUnit(cert.get(), unit) &&
                X509_check_private_key(cert.get(), key.get()) == 1) {
                found->path = path;
                found->pem = std::move(pem);
                return true;
            }
        }
    } catch (...) {
        // Out of memory while reading the store: no certificate.
    }
    return false;
}

}  // namespace zn
