// HttpTransport on the Windows Internet functions in asynchronous mode: every
// step that waits for the peer completes through the status callback, and
// the waiting thread waits for that together with the transport's abort
// event, so Abort() ends a request at once in every phase.

#include "platform/HttpTransport.h"

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <wincrypt.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/Event.h"
#include "platform/HttpShared.h"
#include "platform/Thread.h"

namespace zn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReadChunk = 16 * 1024;
// Redirects followed by hand, as many as the Windows Internet functions follow.
constexpr int kMaxRedirects = 10;

// What the status callback shares with the thread that waits. Every handle
// made with it counts as open until it reports its closing, which is the
// last callback it makes and may come long after the handle was closed (a
// silent peer): the record is freed only after that, and by a thread of
// ours holding the library loaded, never inside the callback.
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

}  // namespace

// The status callback's work; returns the event to set as its very last step
// (the record's "closed" once every handle has reported its closing), or
// null.
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
        if (InterlockedDecrement(&completion->openHandles) == 0)
            return completion->closed;
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

// Closings usually come at once; a request stuck on a silent peer reports
// its closing only when the system gives up on it.
constexpr DWORD kPromptClosingMs = 50;

// Frees a record whose handles were all closed, once they have reported it.
void FreeWhenClosed(Completion *completion) {
    if (InterlockedCompareExchange(&completion->openHandles, 0, 0) == 0 ||
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

struct InternetHandleDeleter {
    void operator()(void *handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleDeleter>;

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

// The certificate of a PEM text as it stands in the "MY" store of the
// current user, where its private key is; null when it is not there.
PCCERT_CONTEXT StoredClientCertificate(const std::string &pem) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return nullptr;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
        return nullptr;
    PCCERT_CONTEXT given = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    if (!given)
        return nullptr;
    PCCERT_CONTEXT stored = nullptr;
    if (HCERTSTORE store = CertOpenSystemStoreA(0, "MY")) {
        stored = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, given,
                                            nullptr);
        CertCloseStore(store, 0);
    }
    CertFreeCertificateContext(given);
    return stored;
}

enum class WaitEnd { Completed, Aborted, TimedOut, Failed };

// One request on its own session: opened, sent, read, closed on the calling
// thread; only the abort event comes from elsewhere.
class WinInetRequest {
  public:
    explicit WinInetRequest(HANDLE abort) : m_abort(abort) {}
    ~WinInetRequest() { Close(); }
    WinInetRequest(const WinInetRequest &) = delete;
    WinInetRequest &operator=(const WinInetRequest &) = delete;

    // Sends and waits until deadline for the final answer's headers.
    HttpResult Send(const HttpRequestOptions &options, Clock::time_point deadline);
    // The Location of an answer that names one; empty when none.
    std::string Location();
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
    bool Open(const HttpRequestOptions &options, HttpResult *result);

    HANDLE m_abort;
    Completion *m_completion = nullptr;
    InternetHandle m_session;
    InternetHandle m_connect;
    InternetHandle m_request;
};

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
    // Followed by Perform, once it has seen where they lead.
    if (o.sameServerRedirectsOnly)
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
    if (o.secure) {
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
        InternetSetOptionA(m_request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security,
                           sizeof security);
    }
    if (o.proxyMode == HttpProxyMode::Explicit) {
        if (!o.proxyUser.empty())
            InternetSetOptionA(m_request.get(), INTERNET_OPTION_PROXY_USERNAME,
                               const_cast<char *>(o.proxyUser.c_str()),
                               static_cast<DWORD>(o.proxyUser.size()));
        if (!o.proxyPassword.empty())
            InternetSetOptionA(m_request.get(), INTERNET_OPTION_PROXY_PASSWORD,
                               const_cast<char *>(o.proxyPassword.c_str()),
                               static_cast<DWORD>(o.proxyPassword.size()));
    }
    if (!o.clientCertificatePem.empty()) {
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

std::string WinInetRequest::Location() {
    char location[2048];
    DWORD size = sizeof location - 1;
    if (!m_request ||
        !HttpQueryInfoA(m_request.get(), HTTP_QUERY_LOCATION, location, &size, nullptr))
        return std::string();
    return std::string(location, std::min<DWORD>(size, sizeof location - 1));
}

// Statuses the Windows Internet functions follow when they name a Location.
bool IsFollowedRedirect(long status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
           status == 308;
}

// Points options at the target of a redirect to location (relative to the
// URL of options) when it keeps the scheme and server; otherwise the code of
// its refusal.
uint32_t FollowRedirect(const std::string &location, HttpRequestOptions *options) {
    const std::string base = HttpUrlOf(*options);
    char url[2048];
    DWORD size = sizeof url;
    char scheme[16], host[256], path[2048], extra[2048];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = scheme;
    parts.dwSchemeLength = sizeof scheme;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra;
    if (!InternetCombineUrlA(base.c_str(), location.c_str(), url, &size, ICU_NO_ENCODE) ||
        !InternetCrackUrlA(url, 0, 0, &parts))
        return kHttpErrorRedirectFailed;
    if (const uint32_t refusal = CheckRedirectTarget(*options, scheme, host, parts.nPort))
        return refusal;
    std::string target = std::string(path) + extra;
    target.erase(std::min(target.find('#'), target.size()));
    options->path = target;
    return 0;
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
    m_request.reset();
    m_connect.reset();
    m_session.reset();
    if (m_completion) {
        FreeWhenClosed(m_completion);
        m_completion = nullptr;
    }
}

Clock::time_point After(uint32_t ms) {
    return ms == kInfinite ? Clock::time_point::max()
                           : Clock::now() + std::chrono::milliseconds(ms);
}

// The abort of a transport or stream: an event the waits watch, set once.
class AbortSignal {
  public:
    AbortSignal() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~AbortSignal() {
        if (m_event)
            CloseHandle(m_event);
    }
    AbortSignal(const AbortSignal &) = delete;
    AbortSignal &operator=(const AbortSignal &) = delete;

    bool IsValid() const { return m_event != nullptr; }
    HANDLE Event() const { return m_event; }
    void Set() {
        m_set = true;
        SetEvent(m_event);
    }
    bool IsSet() const { return m_set; }

  private:
    HANDLE m_event;
    std::atomic<bool> m_set{false};
};

class WinInetTransport final : public HttpTransport {
  public:
    bool IsValid() const { return m_abort.IsValid(); }
    HttpResult Perform(const HttpRequestOptions &options) override;
    void Abort() override { m_abort.Set(); }

  private:
    AbortSignal m_abort;
};

HttpResult WinInetTransport::Perform(const HttpRequestOptions &options) {
    HttpResult result;
    if (RefusedBeforeStart(options, m_abort.IsSet(), &result))
        return result;
    try {
        std::unique_ptr<WinInetRequest> request;
        HttpRequestOptions target = options;
        for (int redirects = 0;; ++redirects) {
            request.reset(new WinInetRequest(m_abort.Event()));
            // Until the answer begins: the connect and then the peer's silence.
            const uint64_t sendLimit =
                uint64_t{options.connectTimeoutMs} + uint64_t{options.sendReceiveTimeoutMs};
            result = request->Send(
                target, After(static_cast<uint32_t>(std::min<uint64_t>(sendLimit, kInfinite - 1))));
            if (result.outcome != HttpOutcome::Sent || !options.sameServerRedirectsOnly ||
                !IsFollowedRedirect(result.status))
                break;
            const std::string location = request->Location();
            if (location.empty())
                break;
            const uint32_t refusal = redirects < kMaxRedirects ? FollowRedirect(location, &target)
                                                               : uint32_t{kHttpErrorRedirectFailed};
            if (refusal) {
                SetOutcome(&result, HttpOutcome::Failed, refusal);
                return result;
            }
        }
        if (result.outcome != HttpOutcome::Sent)
            return result;
        for (;;) {
            const size_t room = options.bodyCap - std::min(result.body.size(), options.bodyCap);
            // One byte beyond the cap tells a body that goes on.
            const HttpReadOutcome read =
                request->ReadSome(room + 1, After(options.sendReceiveTimeoutMs), &result.body);
            if (result.body.size() > options.bodyCap) {
                result.body.resize(options.bodyCap);
                result.truncated = true;
                SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
                return result;
            }
            if (read == HttpReadOutcome::Data)
                continue;
            if (read == HttpReadOutcome::Aborted)
                SetOutcome(&result, HttpOutcome::Aborted, kHttpErrorOperationCancelled);
            // A body that broke off keeps what came: the answer was sent.
            return result;
        }
    } catch (...) {
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return result;
    }
}

class WinInetStream final : public HttpStream {
  public:
    ~WinInetStream() override { End(); }
    bool IsValid() const { return m_abort.IsValid(); }
    HttpResult Begin(const HttpRequestOptions &options, uint32_t waitMs) override;
    HttpReadOutcome Read(size_t length, uint32_t waitMs, std::string *piece) override;
    void End() override {
        m_request.reset();
        m_pending.clear();
        m_received = 0;
    }
    void Abort() override { m_abort.Set(); }

  private:
    AbortSignal m_abort;
    std::unique_ptr<WinInetRequest> m_request;
    std::string m_pending;  // received, not yet handed out
    size_t m_received = 0;
    size_t m_bodyCap = 0;
    uint32_t m_silenceMs = 0;
};

HttpResult WinInetStream::Begin(const HttpRequestOptions &options, uint32_t waitMs) {
    End();
    HttpResult result;
    if (RefusedBeforeStart(options, m_abort.IsSet(), &result))
        return result;
    try {
        std::unique_ptr<WinInetRequest> request(new WinInetRequest(m_abort.Event()));
        result = request->Send(options, After(waitMs));
        if (result.outcome == HttpOutcome::Sent) {
            m_request = std::move(request);
            m_bodyCap = options.bodyCap;
            m_silenceMs = options.sendReceiveTimeoutMs;
        }
    } catch (...) {
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
    }
    return result;
}

HttpReadOutcome WinInetStream::Read(size_t length, uint32_t waitMs, std::string *piece) {
    piece->clear();
    if (!m_request)
        return HttpReadOutcome::End;
    length = std::max<size_t>(length, 1);
    const Clock::time_point deadline = After(std::min(waitMs, m_silenceMs));
    HttpReadOutcome last = HttpReadOutcome::Data;
    try {
        while (m_pending.size() < length && last == HttpReadOutcome::Data) {
            const size_t before = m_pending.size();
            last = m_request->ReadSome(length - m_pending.size(), deadline, &m_pending);
            m_received += m_pending.size() - before;
            if (m_received > m_bodyCap)
                last = HttpReadOutcome::Failed;
        }
        const size_t n = std::min(length, m_pending.size());
        piece->assign(m_pending, 0, n);
        m_pending.erase(0, n);
        if (n > 0 && (last == HttpReadOutcome::Data || last == HttpReadOutcome::End))
            return HttpReadOutcome::Data;
    } catch (...) {
        last = HttpReadOutcome::Failed;
    }
    End();
    return last == HttpReadOutcome::Data ? HttpReadOutcome::End : last;
}

// The store a directory of the other builds stands for: its last name.
std::string StoreNameOf(const std::string &directory) {
    std::string trimmed = directory;
    while (!trimmed.empty() && (trimmed.back() == '\\' || trimmed.back() == '/'))
        trimmed.pop_back();
    const size_t slash = trimmed.find_last_of("\\/");
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// Whether any organizational unit of the issuer's name is exactly unit
// (compared as UTF-8, case-sensitively).
bool IssuerCarriesUnit(PCCERT_CONTEXT certificate, const std::string &unit) {
    CERT_NAME_INFO *name = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(
            X509_ASN_ENCODING, X509_UNICODE_NAME, certificate->pCertInfo->Issuer.pbData,
            certificate->pCertInfo->Issuer.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &name, &size))
        return false;
    bool carries = false;
    for (DWORD r = 0; r < name->cRDN && !carries; ++r) {
        const CERT_RDN &rdn = name->rgRDN[r];
        for (DWORD a = 0; a < rdn.cRDNAttr && !carries; ++a) {
            const CERT_RDN_ATTR &attribute = rdn.rgRDNAttr[a];
            if (std::strcmp(attribute.pszObjId, szOID_ORGANIZATIONAL_UNIT_NAME) != 0)
                continue;
            const wchar_t *text = reinterpret_cast<const wchar_t *>(attribute.Value.pbData);
            const int chars = static_cast<int>(attribute.Value.cbData / sizeof(wchar_t));
            char utf8[1024];
            const int length = chars == 0 ? 0
                                          : WideCharToMultiByte(CP_UTF8, 0, text, chars, utf8,
                                                                sizeof utf8, nullptr, nullptr);
            carries = (length > 0 || chars == 0) && static_cast<size_t>(length) == unit.size() &&
                      std::memcmp(utf8, unit.data(), unit.size()) == 0;
        }
    }
    LocalFree(name);
    return carries;
}

bool HasPrivateKey(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                             &size) != 0;
}

std::string PemOf(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                              CRYPT_STRING_BASE64HEADER, nullptr, &size))
        return std::string();
    std::string pem(size, '\0');
    if (!CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded,
                              CRYPT_STRING_BASE64HEADER, &pem[0], &size))
        return std::string();
    pem.resize(size);
    return pem;
}

}  // namespace

bool PlatformAcceptsHttpUrl(const std::string &url) {
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    return InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) &&
           parts.dwHostNameLength != 0;
}

std::unique_ptr<HttpTransport> CreatePlatformHttpTransport() {
    std::unique_ptr<WinInetTransport> transport(new (std::nothrow) WinInetTransport);
    if (!transport || !transport->IsValid())
        return nullptr;
    return transport;
}

std::unique_ptr<HttpStream> CreatePlatformHttpStream() {
    std::unique_ptr<WinInetStream> stream(new (std::nothrow) WinInetStream);
    if (!stream || !stream->IsValid())
        return nullptr;
    return stream;
}

bool FindCertificateByIssuerUnit(const std::string &directory, const std::string &unit,
                                 StoredCertificate *found) {
    std::string storeName;
    try {
        storeName = StoreNameOf(directory);
    } catch (...) {
        return false;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, storeName.c_str());
    if (!store)
        return false;
    // Every certificate, its issuer's units compared here: matching the
    // attribute in the store (CERT_FIND_ISSUER_ATTR) depends on the string
    // type the name was encoded with, and ignores case on request only.
    bool ok = false;
    PCCERT_CONTEXT certificate = nullptr;
    while (!ok &&
           (certificate = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY,
                                                     nullptr, certificate)) != nullptr) {
        if (!IssuerCarriesUnit(certificate, unit) || !HasPrivateKey(certificate))
            continue;
        try {
            std::string pem = PemOf(certificate);
            if (!pem.empty()) {
                found->path = storeName;
                found->pem = std::move(pem);
                ok = true;
            }
        } catch (...) {
            // Out of memory: no certificate.
            break;
        }
    }
    if (certificate)
        CertFreeCertificateContext(certificate);
    CertCloseStore(store, 0);
    return ok;
}

}  // namespace zn
