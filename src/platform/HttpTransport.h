// One HTTP or HTTPS request at a time, blocking on the calling thread and
// abortable from any other. The numbers a failure reports are those of the
// Windows Internet functions for the same condition, so a host reads the same
// codes on every build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zn {

// Largest response body kept: ample for a server list, small enough that a
// hostile server cannot exhaust the host's memory.
constexpr size_t kMaxHttpBodyBytes = 4u * 1024u * 1024u;

// Longest waits for a peer unless a request says otherwise: the Windows
// Internet functions' own defaults.
constexpr uint32_t kHttpConnectTimeoutMs = 60000;
constexpr uint32_t kHttpSendReceiveTimeoutMs = 30000;

enum class HttpOutcome {
    Sent,                  // a response arrived (any status); its body is in the result
    CertificateRequested,  // the server asked for a client certificate and none was attached
    UntrustedAuthority,    // the server's chain ends at an authority nobody trusts
    TimedOut,
    Aborted,
    Failed,  // anything else: see the code
};

// Codes of failures, numbered as the Windows Internet functions (and, for
// plain system failures, the system) number them. The one table that maps
// this platform's failures onto them is in the transport's implementation.
enum HttpErrorCode : uint32_t {
    kHttpErrorInvalidHandle = 6,              // nothing opened to send
    kHttpErrorNotEnoughMemory = 8,            // out of memory; body over the cap
    kHttpErrorInvalidParameter = 87,          // no server name
    kHttpErrorTimeout = 12002,                // no answer within the limit
    kHttpErrorInternal = 12004,               // anything without a code of its own
    kHttpErrorInvalidUrl = 12005,             // the target cannot form a URL
    kHttpErrorNameNotResolved = 12007,        // server or proxy name unknown
    kHttpErrorOperationCancelled = 12017,     // aborted
    kHttpErrorCannotConnect = 12029,          // connection refused or failed
    kHttpErrorConnectionAborted = 12030,      // connection broke; tunnel refused
    kHttpErrorInvalidProxyRequest = 12033,    // a proxy named with a scheme other than http
    kHttpErrorCertDateInvalid = 12037,        // a certificate outside its dates
    kHttpErrorCertCnInvalid = 12038,          // the certificate names another host
    kHttpErrorHttpsToHttpOnRedirect = 12040,  // a redirect from HTTPS to plain HTTP refused
    kHttpErrorClientCertNeeded = 12044,       // server asked for a certificate
    kHttpErrorInvalidCa = 12045,              // untrusted authority
    kHttpErrorInvalidServerResponse = 12152,  // not an HTTP answer
    kHttpErrorInvalidHeader = 12153,          // a header line without "Name:"
    kHttpErrorRedirectFailed = 12156,         // a redirect to another server refused
    kHttpErrorSecureChannel = 12157,          // TLS failed otherwise
};

struct HttpResult;

enum class HttpProxyMode {
    System,    // whatever the system's settings name
    Direct,    // no proxy, whatever the system's settings say
    Explicit,  // the given proxy for every target
};

enum class HttpRedirects {
    // The same scheme, host and port only: a client certificate or server
    // credentials never reach another server, an answer never comes in clear.
    SameServer,
    // Any host over HTTP or HTTPS, but never from HTTPS down to plain HTTP:
    // public pages move, and what came over TLS is not handed to the path.
    AnyServer,
};

struct HttpRequestOptions {
    bool secure = true;
    std::string host;
    uint16_t port = 443;
    std::string path = "/";  // path and query
    std::string verb = "GET";

    HttpProxyMode proxyMode = HttpProxyMode::System;
    // "host:port" for Explicit, spoken to in plain HTTP (an "http://" prefix
    // is allowed, any other scheme refused, 12033): a proxy never sees TLS
    // of ours, so it is never offered the client certificate nor has its
    // certificate's checks relaxed. The same holds for a proxy the system's
    // settings name.
    std::string proxy;
    std::string proxyUser;
    std::string proxyPassword;
    std::string user;  // server credentials; empty: none
    std::string password;
    std::string userAgent;
    // Header lines added to the request, separated by CR LF (or LF).
    std::string headers;
    // Redirects are followed by hand on every build, each judged by one
    // rule (FollowRedirect) before its target is contacted: every answer of
    // status 300-399 that carries a Location, whatever the status. One the
    // rule refuses fails the request (12040 from HTTPS to HTTP, else 12156).
    HttpRedirects redirects = HttpRedirects::SameServer;

    // Relaxations of the server certificate's checks.
    bool verifyPeer = true;      // chain up to a trusted authority
    bool verifyHostName = true;  // name in the certificate matches host
    bool checkDates = true;      // certificates within their validity

    // Certificate and private key (PEM) to present when the server asks;
    // empty: none, and a request is reported as CertificateRequested. On
    // Windows the text holds the certificate only: its key stays in the
    // current user's "MY" store, where the same certificate is looked up.
    std::string clientCertificatePem;
    // The sender's next attempt, asked inside the handshake (where the
    // platform allows) when this attempt would end as `ended`: an untrusted
    // authority, or a certificate request none is attached for. The checks
    // and certificate of the request it returns stand for the rest of the
    // handshake, as if that request had been sent anew; null: the sender
    // sends nothing more and this attempt's outcome no longer counts. Unset:
    // every attempt ends with its own outcome.
    std::function<const HttpRequestOptions *(const HttpResult &ended)> nextAttempt;
    // Directory whose *.pem certificates are trusted as authorities besides
    // the system's own; empty: none. Windows trusts its "ROOT" store only.
    std::string extraAuthoritiesDirectory;

    size_t bodyCap = kMaxHttpBodyBytes;
    uint32_t connectTimeoutMs = kHttpConnectTimeoutMs;
    // Longest silence of the peer once connected (its first answer included).
    uint32_t sendReceiveTimeoutMs = kHttpSendReceiveTimeoutMs;
};

struct HttpResult {
    HttpOutcome outcome = HttpOutcome::Failed;
    uint32_t errorCode = kHttpErrorInternal;  // 0 when sent
    long status = 0;                          // HTTP status of the answer
    // Body as received, at most bodyCap bytes. A transfer that broke after
    // the answer's headers still counts as sent, with the body read so far.
    std::string body;
    bool truncated = false;      // the body went on beyond bodyCap (outcome Failed)
    int64_t contentLength = -1;  // the answer's Content-Length; -1: none or unreadable
    // The proxy's status to the tunnel request (CONNECT; 200 when it opened
    // one), for a diagnosis; 0: none asked, none came, or not known (Windows).
    long proxyStatus = 0;
};

// Zero when options name a target that can be requested, otherwise why not
// (kHttpErrorInvalidParameter without a host, kHttpErrorInvalidUrl when
// host or path cannot form a URL, such as control characters in the path,
// kHttpErrorInvalidHeader when a header line is not "Name: value",
// kHttpErrorInvalidProxyRequest for a proxy with a scheme other than http).
uint32_t CheckHttpTarget(const HttpRequestOptions &options);

class HttpTransport {
  public:
    // Null when its resources cannot be had. Starts the HTTP library on first
    // use (never at load).
    static std::unique_ptr<HttpTransport> Create();
    virtual ~HttpTransport() = default;

    // Sends one request and reads its answer. Blocks the calling thread; one
    // call at a time per transport.
    virtual HttpResult Perform(const HttpRequestOptions &options) = 0;

    // From any thread: ends the running Perform at once and makes every later
    // Perform of this transport end as Aborted without sending.
    virtual void Abort() = 0;
};

enum class HttpReadOutcome {
    Data,      // bytes of the body came; more may follow
    End,       // the body is complete: nothing came, nothing will
    TimedOut,  // nothing more came within the wait or the peer's silence limit
    Aborted,
    Failed,  // the transfer broke, or the body went beyond bodyCap
};

// One request whose answer is read as it arrives: Begin returns when the
// answer's headers are there, Read hands out its body piece by piece. Only
// the calling thread drives the transfer, so nothing moves between calls.
class HttpStream {
  public:
    // Null when its resources cannot be had. Starts the HTTP library on first
    // use (never at load).
    static std::unique_ptr<HttpStream> Create();
    virtual ~HttpStream() = default;

    // Ends the transfer begun earlier, then sends a new request and waits up
    // to waitMs for the headers of its final answer (redirects followed).
    // Sent with status and contentLength (body empty: see Read) leaves the
    // transfer begun; any other outcome leaves nothing begun.
    virtual HttpResult Begin(const HttpRequestOptions &options, uint32_t waitMs) = 0;

    // Replaces *piece with up to length bytes of the begun answer's body,
    // waiting up to waitMs until length bytes are there or the body ended.
    // Data: 1 to length bytes. End: the body is complete (nothing begun
    // reads as End). Otherwise *piece holds what did come before the wait
    // ended or the transfer failed, and nothing more will come.
    virtual HttpReadOutcome Read(size_t length, uint32_t waitMs, std::string *piece) = 0;

    // Ends the begun transfer; harmless when none is.
    virtual void End() = 0;

    // From any thread: ends a running Begin or Read at once, and makes every
    // later one end as Aborted.
    virtual void Abort() = 0;
};

}  // namespace zn
