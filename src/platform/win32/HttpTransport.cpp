// HttpTransport on the Windows Internet functions in asynchronous mode: every
// step that waits for the peer completes through the status callback, and
// the waiting thread waits for that together with the transport's abort
// event, so Abort() ends a request at once in every phase.

#include "platform/HttpTransport.h"

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

#include "platform/Event.h"
#include "platform/HttpShared.h"
#include "platform/win32/WinInetRequest.h"

namespace zn {

namespace {

// Where a redirect to location (relative to the URL of options) leads;
// zero, or the code of a Location that cannot be read.
uint32_t RedirectTargetOf(const std::string &location, const HttpRequestOptions &options,
                          RedirectTarget *to) {
    const std::string base = HttpUrlOf(options);
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
    to->scheme = scheme;
    to->host = host;
    to->port = parts.nPort;
    to->path = std::string(path) + extra;
    to->path.erase(std::min(to->path.find('#'), to->path.size()));
    return 0;
}

// The next step of a request whose last answer was result: zero with
// *options pointing at the redirect's target when it is followed; zero with
// *options as they were when the answer is the final one; otherwise the code
// of the refusal.
uint32_t NextHop(int hop, const HttpResult &result, WinInetRequest *request,
                 HttpRequestOptions *options, bool *followed) {
    *followed = false;
    if (result.outcome != HttpOutcome::Sent)
        return 0;
    std::string location;
    if (!IsRedirect(result.status, request->Location(&location)))
        return 0;
    RedirectTarget to;
    if (location.empty())
        return kHttpErrorRedirectFailed;
    if (const uint32_t unreadable = RedirectTargetOf(location, *options, &to))
        return unreadable;
    *followed = true;
    return FollowRedirect(hop, to, options);
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
        for (int hop = 1;; ++hop) {
            request.reset(new WinInetRequest(m_abort.Event()));
            // Until the answer begins: the connect and then the peer's silence.
            const uint64_t sendLimit =
                uint64_t{options.connectTimeoutMs} + uint64_t{options.sendReceiveTimeoutMs};
            result = request->Send(
                target, After(static_cast<uint32_t>(std::min<uint64_t>(sendLimit, kInfinite - 1))));
            bool followed = false;
            if (const uint32_t refusal = NextHop(hop, result, request.get(), &target, &followed)) {
                result = HttpResult();
                SetOutcome(&result, HttpOutcome::Failed, refusal);
                return result;
            }
            if (!followed)
                break;
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
        const Clock::time_point deadline = After(waitMs);
        HttpRequestOptions target = options;
        for (int hop = 1;; ++hop) {
            std::unique_ptr<WinInetRequest> request(new WinInetRequest(m_abort.Event()));
            result = request->Send(target, deadline);
            bool followed = false;
            if (const uint32_t refusal = NextHop(hop, result, request.get(), &target, &followed)) {
                result = HttpResult();
                SetOutcome(&result, HttpOutcome::Failed, refusal);
                return result;
            }
            if (followed)
                continue;
            if (result.outcome == HttpOutcome::Sent) {
                m_request = std::move(request);
                m_bodyCap = options.bodyCap;
                m_silenceMs = options.sendReceiveTimeoutMs;
            }
            return result;
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

}  // namespace zn
