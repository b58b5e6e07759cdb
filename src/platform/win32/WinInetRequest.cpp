// A request of the Windows Internet functions in asynchronous mode, and the
// status callback that completes its steps.

#include "platform/win32/WinInetRequest.h"

#include <algorithm>
#include <new>

#include "platform/HttpShared.h"
#include "platform/Thread.h"
#include "platform/win32/TlsCertificates.h"

namespace zn {

extern "C" HANDLE ZnOnStatusWork(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
    Completion *completion = reinterpret_cast<Completion *>(context);
    if (!completion)
        return nullptr;
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && info) {
        const INTERNET_ASYNC_RESULT *result = static_cast<const INTERNET_ASYNC_RESULT *>(info);
        completion->result = result->dwResult;
        completion->error = result->dwError;
        SetEvent(completion->completed);
    } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        // Read while the record surely stands: nothing of it is touched once
        // the count may have reached 0.
        const HANDLE closed = completion->closed;
        if (InterlockedDecrement(&completion->openHandles) == 0)
            return closed;
    }
    return nullptr;
}

namespace {

// The status callback itself (stdcall, five arguments). Once the last
// closing is signalled, the waiter may free the record and unload the
// library at once, while this thread would still be returning through our
// code: so the signal is a jump into SetEvent that returns straight to
// WinInet, with the stack arranged as if WinInet had called SetEvent.
__attribute__((naked)) void CALLBACK OnStatus(HINTERNET, DWORD_PTR, DWORD, LPVOID, DWORD) {
    asm volatile(
        // The five arguments again, for the work.
        "pushl 20(%esp)\n\t"
        "pushl 20(%esp)\n\t"
        "pushl 20(%esp)\n\t"
        "pushl 20(%esp)\n\t"
        "pushl 20(%esp)\n\t"
        "call _ZnOnStatusWork\n\t"
        "addl $20, %esp\n\t"
        "testl %eax, %eax\n\t"
        "jz 1f\n\t"
        // Return address over the fourth argument, the event over the
        // fifth: SetEvent's own return then takes all 24 bytes.
        "movl (%esp), %ecx\n\t"
        "movl %ecx, 16(%esp)\n\t"
        "movl %eax, 20(%esp)\n\t"
        "addl $16, %esp\n\t"
        "jmp *__imp__SetEvent@4\n"
        "1:\n\t"
        "ret $20\n\t");
}

// Waits for the closings a record still expects, then frees it; on a thread
// of its own, whose hold keeps the library (and the status callback) loaded
// until then.
void AwaitClosings(void *parameter) {
    Completion *completion = static_cast<Completion *>(parameter);
    WaitForSingleObject(completion->closed, INFINITE);
    delete completion;
}

// The reported outcome of a failure code of the Windows Internet functions;
// the codes themselves are reported as they are.
void SetFailure(HttpResult *result, DWORD error) {
    switch (error) {
        case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
            SetOutcome(result, HttpOutcome::CertificateRequested, kHttpErrorClientCertNeeded);
            break;
        case ERROR_INTERNET_INVALID_CA:
            SetOutcome(result, HttpOutcome::UntrustedAuthority, kHttpErrorInvalidCa);
            break;
        case ERROR_INTERNET_TIMEOUT:
            SetOutcome(result, HttpOutcome::TimedOut, kHttpErrorTimeout);
            break;
        default:
            SetOutcome(result, HttpOutcome::Failed, error ? error : uint32_t{kHttpErrorInternal});
            break;
    }
}

}  // namespace

// Closings usually come at once; a request stuck on a silent peer reports
// its closing only when the system gives up on it.
constexpr DWORD kPromptClosingMs = 50;

// Frees a record whose handles were all closed, once they have reported it:
// a count of 0 alone is not enough, since the last closing reads it before
// it sets the event.
void FreeWhenClosed(Completion *completion, bool handlesMade) {
    if (!handlesMade ||
        WaitForSingleObject(completion->closed, kPromptClosingMs) == WAIT_OBJECT_0) {
        delete completion;
        return;
    }
    SystemThread waiter;
    if (waiter.Start(AwaitClosings, completion)) {
        waiter.Detach();
        return;
    }
    // No thread to wait with: the record stays, and the library stays loaded
    // for good, since the callback may still come.
    HMODULE pinned = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&OnStatus), &pinned);
}

WaitEnd WinInetRequest::Wait(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const DWORD timeout =
        deadline == Clock::time_point::max()
            ? INFINITE
            : static_cast<DWORD>(std::max<long long>(0, std::min<long long>(left, INFINITE - 1)));
    HANDLE waits[2] = {m_abort, m_completion->completed};
    switch (WaitForMultipleObjects(2, waits, FALSE, timeout)) {
        case WAIT_OBJECT_0:
            return WaitEnd::Aborted;
        case WAIT_OBJECT_0 + 1:
            return WaitEnd::Completed;
        case WAIT_TIMEOUT:
            return WaitEnd::TimedOut;
        default:
            return WaitEnd::Failed;
    }
}

bool WinInetRequest::Open(const HttpRequestOptions &o, HttpResult *result) {
    if (!OpenSession(o, result) || !OpenRequest(o, result))
        return false;
    if (o.secure)
        RelaxSecurity(o);
    if (o.proxyMode == HttpProxyMode::Explicit)
        SetProxyCredentials(o);
    return o.clientCertificatePem.empty() || AttachClientCertificate(o, result);
}

// The completion record and a session of the request's own, its status
// callback and time limits set.
bool WinInetRequest::OpenSession(const HttpRequestOptions &o, HttpResult *result) {
    // WinInet's threads still run its own code for a moment after our last
    // callback: once used, it stays loaded whatever unloads us.
    static const bool pinned = [] {
        HMODULE wininet = nullptr;
        return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "wininet.dll", &wininet) != 0;
    }();
    (void)pinned;
    m_completion = new (std::nothrow) Completion;
    if (!m_completion) {
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return false;
    }
    m_completion->completed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_completion->closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_completion->completed || !m_completion->closed) {
        SetOutcome(result, HttpOutcome::Failed, GetLastError());
        return false;
    }
    DWORD access = INTERNET_OPEN_TYPE_PRECONFIG;
    const char *proxy = nullptr;
    // Loopback goes through a proxy we were given too.
    const char *bypass = nullptr;
    if (o.proxyMode == HttpProxyMode::Direct) {
        access = INTERNET_OPEN_TYPE_DIRECT;
    } else if (o.proxyMode == HttpProxyMode::Explicit) {
        access = INTERNET_OPEN_TYPE_PROXY;
        proxy = o.proxy.c_str();
        bypass = "<-loopback>";
    }
    m_session.reset(InternetOpenA(o.userAgent.empty() ? "zembrixnet" : o.userAgent.c_str(), access,
                                  proxy, bypass, INTERNET_FLAG_ASYNC));
    if (!m_session) {
        SetFailure(result, GetLastError());
        return false;
    }
    if (InternetSetStatusCallbackA(m_session.get(), OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorInternal);
        return false;
    }
    DWORD connectTimeout = o.connectTimeoutMs;
    DWORD silenceTimeout = o.sendReceiveTimeoutMs;
    InternetSetOptionA(m_session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout,
                       sizeof connectTimeout);
    InternetSetOptionA(m_session.get(), INTERNET_OPTION_SEND_TIMEOUT, &silenceTimeout,
                       sizeof silenceTimeout);
    InternetSetOptionA(m_session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &silenceTimeout,
                       sizeof silenceTimeout);
    return true;
}

// The connection to the server and the request on it, each reporting to the
// completion record.
bool WinInetRequest::OpenRequest(const HttpRequestOptions &o, HttpResult *result) {
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(m_completion);
    m_completion->HandleMade();
    m_connect.reset(InternetConnectA(
        m_session.get(), o.host.c_str(), o.port, o.user.empty() ? nullptr : o.user.c_str(),
        o.password.empty() ? nullptr : o.password.c_str(), INTERNET_SERVICE_HTTP, 0, context));
    if (!m_connect) {
        m_completion->HandleNotMade();
        SetFailure(result, GetLastError());
        return false;
    }
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
    if (o.secure)
        flags |= INTERNET_FLAG_SECURE;
    // Followed by the transport, through the one redirect rule of every
    // build, once it has seen where they lead.
    flags |= INTERNET_FLAG_NO_AUTO_REDIRECT;
    const char *accept[] = {"*/*", nullptr};
    m_completion->HandleMade();
    m_request.reset(HttpOpenRequestA(m_connect.get(), o.verb.c_str(),
                                     o.path.empty() ? "/" : o.path.c_str(), nullptr, nullptr,
                                     accept, flags, context));
    if (!m_request) {
        m_completion->HandleNotMade();
        SetFailure(result, GetLastError());
        return false;
    }
    return true;
}

// The server certificate's checks as the request relaxes them.
void WinInetRequest::RelaxSecurity(const HttpRequestOptions &o) {
    DWORD security = 0;
    DWORD size = sizeof security;
    InternetQueryOptionA(m_request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &size);
    // Revocation that cannot be checked (a private authority publishes no
    // list) is no failure, as on the other builds; a certificate known to
    // be revoked still fails. Left to the relaxed retry, it would fail the
    // source: that failure (12057) is not the untrusted authority (12045)
    // that the retry answers.
    security |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (!o.verifyPeer)
        security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (!o.verifyHostName)
        security |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    if (!o.checkDates)
        security |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    InternetSetOptionA(m_request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security);
}

// Credentials for a proxy we were given.
void WinInetRequest::SetProxyCredentials(const HttpRequestOptions &o) {
    if (!o.proxyUser.empty())
        InternetSetOptionA(m_request.get(), INTERNET_OPTION_PROXY_USERNAME,
                           const_cast<char *>(o.proxyUser.c_str()),
                           static_cast<DWORD>(o.proxyUser.size()));
    if (!o.proxyPassword.empty())
        InternetSetOptionA(m_request.get(), INTERNET_OPTION_PROXY_PASSWORD,
                           const_cast<char *>(o.proxyPassword.c_str()),
                           static_cast<DWORD>(o.proxyPassword.size()));
}

// The client certificate, taken from the store that holds its key.
bool WinInetRequest::AttachClientCertificate(const HttpRequestOptions &o, HttpResult *result) {
    PCCERT_CONTEXT certificate = StoredClientCertificate(o.clientCertificatePem);
    const bool attached =
        certificate &&
        InternetSetOptionA(m_request.get(), INTERNET_OPTION_CLIENT_CERT_CONTEXT,
                           const_cast<CERT_CONTEXT *>(certificate), sizeof(CERT_CONTEXT));
    if (certificate)
        CertFreeCertificateContext(certificate);
    if (!attached) {
        SetOutcome(result, HttpOutcome::Failed, kHttpErrorSecureChannel);
        return false;
    }
    return true;
}

HttpResult WinInetRequest::Send(const HttpRequestOptions &options, Clock::time_point deadline) {
    HttpResult result;
    if (!Open(options, &result)) {
        Close();
        return result;
    }
    std::string headers;
    for (const std::string &line : HttpHeaderLines(options.headers))
        headers += line + "\r\n";
    BOOL sent = HttpSendRequestA(m_request.get(), headers.empty() ? nullptr : headers.c_str(),
                                 static_cast<DWORD>(headers.size()), nullptr, 0);
    DWORD error = sent ? 0 : GetLastError();
    if (!sent && error == ERROR_IO_PENDING) {
        switch (Wait(deadline)) {
            case WaitEnd::Completed:
                sent = m_completion->result != 0;
                error = sent ? 0 : m_completion->error;
                break;
            case WaitEnd::Aborted:
                SetOutcome(&result, HttpOutcome::Aborted, kHttpErrorOperationCancelled);
                Close();
                return result;
            case WaitEnd::TimedOut:
                SetOutcome(&result, HttpOutcome::TimedOut, kHttpErrorTimeout);
                Close();
                return result;
            case WaitEnd::Failed:
                error = kHttpErrorInternal;
                break;
        }
    }
    if (!sent) {
        SetFailure(&result, error);
        Close();
        return result;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (HttpQueryInfoA(m_request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &size, nullptr))
        result.status = static_cast<long>(status);
    char length[32];
    size = sizeof length - 1;
    if (HttpQueryInfoA(m_request.get(), HTTP_QUERY_CONTENT_LENGTH, length, &size, nullptr)) {
        length[std::min<DWORD>(size, sizeof length - 1)] = '\0';
        result.contentLength = HttpContentLengthOf(length);
    }
    SetOutcome(&result, HttpOutcome::Sent, 0);
    return result;
}

bool WinInetRequest::Location(std::string *value) {
    value->clear();
    char location[2048];
    DWORD size = sizeof location - 1;
    if (!m_request)
        return false;
    if (!HttpQueryInfoA(m_request.get(), HTTP_QUERY_LOCATION, location, &size, nullptr))
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    value->assign(location, std::min<DWORD>(size, sizeof location - 1));
    return true;
}

HttpReadOutcome WinInetRequest::FinishReadStep(bool done, Clock::time_point deadline) {
    if (done)
        return HttpReadOutcome::Data;
    if (GetLastError() != ERROR_IO_PENDING)
        return HttpReadOutcome::Failed;
    switch (Wait(deadline)) {
        case WaitEnd::Completed:
            break;
        case WaitEnd::Aborted:
            return HttpReadOutcome::Aborted;
        case WaitEnd::TimedOut:
            return HttpReadOutcome::TimedOut;
        case WaitEnd::Failed:
            return HttpReadOutcome::Failed;
    }
    if (m_completion->result)
        return HttpReadOutcome::Data;
    return m_completion->error == ERROR_INTERNET_TIMEOUT ? HttpReadOutcome::TimedOut
                                                         : HttpReadOutcome::Failed;
}

HttpReadOutcome WinInetRequest::ReadSome(size_t wanted, Clock::time_point deadline,
                                         std::string *body) {
    if (!m_request)
        return HttpReadOutcome::End;
    // How much is there to read without waiting; waits for the peer when
    // nothing is.
    const bool known =
        InternetQueryDataAvailable(m_request.get(), &m_completion->available, 0, 0) != 0;
    HttpReadOutcome step = FinishReadStep(known, deadline);
    if (step != HttpReadOutcome::Data)
        return step;
    // After a wait, what arrived is buffered: asked again, the answer is at once.
    if (!known && !InternetQueryDataAvailable(m_request.get(), &m_completion->available, 0, 0))
        return HttpReadOutcome::Failed;
    const DWORD available = m_completion->available;
    if (available == 0)
        return HttpReadOutcome::End;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>({wanted, available, kReadChunk}));
    m_completion->count = 0;
    step = FinishReadStep(
        InternetReadFile(m_request.get(), m_completion->buffer, chunk, &m_completion->count) != 0,
        deadline);
    if (step != HttpReadOutcome::Data)
        return step;
    if (m_completion->count == 0)
        return HttpReadOutcome::End;
    try {
        body->append(m_completion->buffer, m_completion->count);
    } catch (...) {
        return HttpReadOutcome::Failed;
    }
    return HttpReadOutcome::Data;
}

void WinInetRequest::Close() {
    // Closing ends whatever is still pending; the callbacks that follow find
    // their record until the last handle has reported its closing.
    // Every handle made with the record hangs on the connection, made first.
    const bool handlesMade = m_connect != nullptr;
    m_request.reset();
    m_connect.reset();
    m_session.reset();
    if (m_completion) {
        FreeWhenClosed(m_completion, handlesMade);
        m_completion = nullptr;
    }
}

}  // namespace zn
