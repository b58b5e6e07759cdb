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

constexpr DWORD kReadChunk = 16 * 1024;

// What the status callback shares with the thread that waits. Every handle
// made with it counts as open until it reports its closing, which is the
// last callback it makes and may come long after the handle was closed (a
// silent peer). Once a handle was made, the record is freed only after its
// "closed" event was set (by the last closing), and by a thread of ours
// holding the library loaded, never inside the callback.
struct Completion {
    LONG openHandles = 0;
    HANDLE completed = nullptr;  // auto-reset: one completion per wait
    HANDLE closed = nullptr;     // manual: every handle has reported its closing
    DWORD_PTR result = 0;
    DWORD error = 0;
    DWORD available = 0;
    DWORD count = 0;
    char buffer[kReadChunk];

    ~Completion() {
        if (completed)
            CloseHandle(completed);
        if (closed)
            CloseHandle(closed);
    }
    void HandleMade() { InterlockedIncrement(&openHandles); }
    // A handle that will report no closing: none was made.
    void HandleNotMade() { InterlockedDecrement(&openHandles); }
};

// Frees a record whose handles were all closed (handlesMade: any was made
// with it), once they have reported it; never inside the callback.
void FreeWhenClosed(Completion *completion, bool handlesMade);

// The status callback's work; returns the event to set as its very last step
// (the record's "closed" once every handle has reported its closing), or
// null.
extern "C" HANDLE ZnOnStatusWork(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD);

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
