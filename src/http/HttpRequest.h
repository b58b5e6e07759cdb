// The request record through which the web API fetchers talk to the
// provider's server over HTTPS: open it directly or through a proxy, send it
// (choosing a client certificate when the server asks for one, relaxing the
// checks of an untrusted server authority), read the answer.
//
// Threads: a record is used by one thread at a time. SendRequestWithTimeout
// lends it to a send thread of its own and takes it back (that thread ended)
// before it returns; the destructor does the same for a send still running.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/CertificateStore.h"
#include "platform/HttpTransport.h"
#include "platform/Thread.h"
#include "report/Observer.h"

namespace zn {

// Bits of m_dwFlags and of the security flags that the request understands.
constexpr uint32_t kFlagSecure = 0x00800000;
constexpr uint32_t kFlagIgnoreCertCnInvalid = 0x00001000;
constexpr uint32_t kFlagIgnoreCertDateInvalid = 0x00002000;
constexpr uint32_t kSecurityIgnoreUnknownCa = 0x00000100;
constexpr uint32_t kSecurityIgnoreRevocation = 0x00000080;
constexpr uint32_t kDefaultRequestFlags = 0x84c01000;

// Texts of m_strError.
constexpr const char *kErrorCannotOpenInternet = "Cannot open internet";
constexpr const char *kErrorCannotConnect = "Cannot connect to internet";
constexpr const char *kErrorCannotPerform = "Cannot perform http request";
constexpr const char *kErrorMemoryException = "Memory Exception occured";
constexpr const char *kErrorNoClientCertificate =
    "Cannot perform http request, client authentication needed but couldnt detect required "
    "client certificate";
constexpr const char *kErrorInvalidClientCertificate =
    "Cannot perform http request, client authentication needed, invalid client certificate is "
    "used";
constexpr const char *kErrorCannotWait = "Cannot wait for SendHttpsRequest. ";

class CHttpRequest {
  public:
    CHttpRequest();
    // Stops a send thread still running, then releases as CloseHandles.
    virtual ~CHttpRequest();
    CHttpRequest(const CHttpRequest &) = delete;
    CHttpRequest &operator=(const CHttpRequest &) = delete;

    // Open with the system's proxy settings, or through proxy ("host:port").
    // False with m_strError and m_dwError set when a step fails; what the
    // failed open had opened is released again. Nothing is sent yet.
    bool OpenRequest(const std::string &verb);
    bool OpenRequestViaProxy(const std::string &verb, const std::string &proxy);

    // Releases session, connection, request, certificate and store; harmless
    // when nothing is open.
    void CloseHandles();

    // The body of the last answer, read in 1023-byte pieces appended as text
    // (a zero byte ends its piece's text). Empty once it has been read.
    std::string ReadResponse();

    // Sends on the caller's thread: up to 20 sends answered by a certificate
    // request; an untrusted authority relaxes the checks (0x3180) and sends
    // once more. No time limit of its own beyond the platform's. Where the
    // platform allows, such a further send goes on in the same handshake.
    bool SendRequest();
    // The same with 2 sends and 0x100 as relaxation; 1 when sent, else 0.
    static uint32_t SendRequestThread(CHttpRequest *request);
    // SendRequestThread on a thread of its own, waited for 30 s when the
    // record was opened through a proxy, 10 s otherwise. When the time is
    // up the send is aborted and its thread ended before false is returned;
    // m_strError and m_dwError are left as they were.
    bool SendRequestWithTimeout();

    // From any thread: ends a send running on the record at once, and every
    // later send of the open request, with m_dwError 12017 (cancelled). For
    // an owner that must stop a fetch without waiting for its peer.
    void AbortSend();

    // Attaches the first certificate of the m_nCertStore store that
    // FindClientCertificate finds; false when there is none (the send loop
    // then releases everything, as CloseHandles).
    bool SelectClientCertificate();
    // In the open store (m_hCertStore), the first *.pem file in file-name
    // order whose certificate's issuer carries the organizational unit
    // m_strCertOU (exactly, case-sensitively), with the certificate's own
    // key. Null when there is none.
    std::unique_ptr<StoredCertificate> FindClientCertificate() const;

    // The request's URL without its query, as a diagnosis names it.
    std::string TargetUrl() const;

    std::unique_ptr<OwnedThread> m_hThread;      // send thread while it runs
    std::unique_ptr<HttpTransport> m_hInternet;  // session
    std::unique_ptr<HttpRequestOptions> m_hRequest;
    std::unique_ptr<HttpRequestOptions> m_hConnect;  // connection: target and proxy
    std::string m_strServer;
    std::string m_strObject;  // path and query
    uint16_t m_nPort = 443;
    uint32_t m_dwFlags = kDefaultRequestFlags;
    std::string m_hCertStore;  // directory of the open store; empty: none
    std::unique_ptr<StoredCertificate> m_pCertContext;
    int32_t m_nCertStore = 0;  // 0 "MY", 1 "CA", 2 "ROOT", 3 "SPC"
    std::string m_strUser;
    std::string m_strPassword;
    std::string m_strAgent;
    std::string m_strCertOU;
    std::string m_strError;
    uint32_t m_dwError = 0;
    long m_nStatus = 0;       // HTTP status of the last answer; 0: none came
    long m_nProxyStatus = 0;  // the proxy's status to the last send's tunnel; 0: none
    uint32_t m_dwContext = 0;
    int32_t m_bViaProxy = 0;
    // The directory the library was initialised with: its certs/MY, CA, ROOT
    // and SPC subdirectories are the certificate stores, and certs/ROOT's
    // certificates are trusted as server authorities besides the system's.
    std::string m_strDirectory;

  private:
    bool Open(const std::string &verb, const std::string *proxy);
    // Where a send loop stands between its attempts.
    struct SendPlan {
        int attempts = 0;         // most sends that attach a certificate
        uint32_t relaxation = 0;  // the checks an untrusted authority relaxes
        int attempt = 0;
        bool relaxedRetry = false;  // the running attempt is the relaxed one
        bool finished = false;
        bool sent = false;
        bool release = false;  // no certificate: the record is released
        StepClock clock;       // since the running attempt began
    };
    // One send of the open request; the body is kept for ReadResponse. The
    // transport may ask NextAttempt inside its handshake.
    HttpResult Send(SendPlan *plan);
    bool SendLoop(int attempts, uint32_t relaxation);
    // The loop's one rule, for its own sends and for the transport's
    // handshake alike: reports the attempt that ended as result, and decides
    // what follows. True: the next attempt is m_hRequest as updated; false:
    // the loop is finished (plan->sent, or the failure recorded).
    bool NextAttempt(const HttpResult &result, SendPlan *plan);
    // The request's checks as m_dwSecurityFlags relaxes them.
    void ApplySecurityFlags();
    // For a diagnosis: one send's outcome, to the observer.
    void ObserveSend(const HttpResult &result, uint32_t ms);
    void Fail(const char *text, uint32_t code);
    void StopSendThread();

    uint32_t m_dwSecurityFlags = 0;  // of the open request
    std::string m_response;
    std::atomic<uint32_t> m_sendExitCode{0};
    // Guards m_hInternet between a send thread that releases it and a
    // waiting thread that aborts it.
    std::mutex m_sessionMutex;
};

}  // namespace zn
