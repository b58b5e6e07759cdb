// One request of the Windows Internet functions in asynchronous mode, on a
// session of its own: every step that waits for the peer completes through
// the status callback, and the waiting thread waits for that together with
// an abort event, so an abort ends the request at once in every phase.
#pragma once

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <wininet.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/HttpTransport.h"

namespace zn {

using Clock = std::chrono::steady_clock;

// What the status callback shares with the thread that waits.
struct Completion;

struct InternetHandleDeleter {
    void operator()(void *handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleDeleter>;

enum class WaitEnd { Completed, Aborted, TimedOut, Failed };

// Opened, sent, read and closed on the calling thread; only the abort event
// comes from elsewhere.
class WinInetRequest {
  public:
    explicit WinInetRequest(HANDLE abort) : m_abort(abort) {}
    ~WinInetRequest() { Close(); }
    WinInetRequest(const WinInetRequest &) = delete;
    WinInetRequest &operator=(const WinInetRequest &) = delete;

    // Sends and waits until deadline for the final answer's headers.
    HttpResult Send(const HttpRequestOptions &options, Clock::time_point deadline);
    // Whether the answer carries a Location; *value is it, empty when it
    // cannot be read (too long).
    bool Location(std::string *value);
    // Appends up to `wanted` bytes of the body to *body, waiting until
    // deadline; End when the body is complete.
    HttpReadOutcome ReadSome(size_t wanted, Clock::time_point deadline, std::string *body);
    void Close();

  private:
    WaitEnd Wait(Clock::time_point deadline);
    // The end of a read step that the system call started (or failed to):
    // Data when it completed well, at once or through the status callback,
    // otherwise why not.
    HttpReadOutcome FinishReadStep(bool done, Clock::time_point deadline);
    // The steps of opening, in order; each false, with result set, when the
    // request cannot go on.
    bool Open(const HttpRequestOptions &options, HttpResult *result);
    bool OpenSession(const HttpRequestOptions &options, HttpResult *result);
    bool OpenRequest(const HttpRequestOptions &options, HttpResult *result);
    void RelaxSecurity(const HttpRequestOptions &options);
    void SetProxyCredentials(const HttpRequestOptions &options);
    bool AttachClientCertificate(const HttpRequestOptions &options, HttpResult *result);

    HANDLE m_abort;
    Completion *m_completion = nullptr;
    InternetHandle m_session;
    InternetHandle m_connect;
    InternetHandle m_request;
};

}  // namespace zn
