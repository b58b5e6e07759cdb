// One transfer on libcurl, as the transport and the stream drive it: its
// options, its callbacks' record, the drive on the calling thread and the
// outcome it ends with.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/HttpShared.h"
#include "platform/HttpTransport.h"
#include "platform/posix/TlsCertificates.h"

namespace zn {

using Clock = std::chrono::steady_clock;

// Starts libcurl and OpenSSL on first use; false when they cannot be had.
bool StartHttpLibrary();

struct EasyDeleter {
    void operator()(CURL *p) const { curl_easy_cleanup(p); }
};
struct MultiDeleter {
    void operator()(CURLM *p) const { curl_multi_cleanup(p); }
};
struct SlistDeleter {
    void operator()(curl_slist *p) const { curl_slist_free_all(p); }
};

// What one transfer shares with libcurl's callbacks.
struct Transfer {
    // The handshake may relax its checks and attach a certificate here when
    // the sender's next attempt says so (nextAttempt).
    HttpRequestOptions *options = nullptr;
    HttpResult *result = nullptr;
    X509Ptr clientCert;
    KeyPtr clientKey;
    bool certificateRequested = false;
    bool unusableCertificate = false;  // the next attempt's certificate cannot be read
    bool outOfMemory = false;          // ... or not even be taken over
    bool hostChecked = false;          // libcurl checks the host name (fixed at the start)
    bool cachedAuthorities = false;    // the system's authorities come from SystemAuthorities
    bool headersComplete = false;
    bool location = false;      // the current answer names a Location
    std::string locationValue;  // ... this one
    bool answerBegun = false;   // the final answer's headers are complete
    bool redirect = false;      // stopped at a redirect's headers, for the rule to judge
    std::unique_ptr<curl_slist, SlistDeleter> headers;  // the request's own lines
    int verifyError = 0;                                // the chain's first failure not relaxed
    CURL *easy = nullptr;                               // the handle it is the transfer of
    // Once connected, the peer's silence is limited (sendReceiveTimeoutMs).
    bool connected = false;
    Clock::time_point lastActivity;
};

// Whether a chain's failure is one of dates: their own failure, as on the
// Windows build; any other counts as an untrusted authority.
bool IsDateFailure(int error);

// The system's authorities, read once per process; null when they cannot
// be read (libcurl then reads them itself for every handshake).
X509_STORE *SystemAuthorities();

// libcurl's CURLOPT_SSL_CTX_FUNCTION for a transfer (data): sets up the
// handshake's authorities, client certificate and relaxed checks.
CURLcode OnSslContext(CURL *easy, void *sslContext, void *data);

// Sets every option of easy for the transfer to url; zero, or the code of
// the failure (a proxy of the system's that wants TLS of its own, 12033).
uint32_t Configure(CURL *easy, Transfer *transfer, const std::string &url);

// Where the redirect a transfer stopped at leads; zero, or the code of a
// Location that cannot be read.
uint32_t RedirectTargetOf(const Transfer &transfer, RedirectTarget *to);

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
               const std::function<bool()> &enough, Clock::time_point deadline, CURLcode *code);

// The outcome of a transfer that ended as a DriveEnd; answered: the caller's
// idea of an answer that counts.
void Conclude(HttpResult *result, const Transfer &transfer, bool aborted, bool answered,
              bool timedOut, CURLcode code);

// The abort of a transport or stream: set once, from any thread, it wakes
// the wait of the transfer under way.
class CurlAbort {
  public:
    void Set() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_aborted = true;
        if (m_multi)
            curl_multi_wakeup(m_multi);
    }
    const std::atomic<bool> &IsSet() const { return m_aborted; }
    // The multi handle a Set wakes from now on; null before it is freed.
    void Watch(CURLM *multi) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_multi = multi;
    }

  private:
    std::mutex m_mutex;  // guards m_multi against Set while it is freed
    CURLM *m_multi = nullptr;
    std::atomic<bool> m_aborted{false};
};

}  // namespace zn
