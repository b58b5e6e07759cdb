// HttpTransport on libcurl with OpenSSL. Each request runs through a private
// multi handle, so Abort() can wake its wait from any thread and end it at
// once in every phase (resolve, connect, handshake, tunnel, reply, body).

#include "platform/HttpTransport.h"
#include "platform/HttpShared.h"
#include "platform/posix/CurlTransfer.h"

#include <algorithm>
#include <new>

namespace zn {

namespace {

class CurlTransport final : public HttpTransport {
  public:
    HttpResult Perform(const HttpRequestOptions &options) override;
    void Abort() override { m_abort.Set(); }

  private:
    // One request to *options, without following; *to is where it was
    // redirected, its scheme empty when it was not. The handshake may change
    // *options as the sender's next attempt says.
    HttpResult PerformOnce(HttpRequestOptions *options, RedirectTarget *to);

    CurlAbort m_abort;
};

HttpResult CurlTransport::Perform(const HttpRequestOptions &options) {
    HttpResult result;
    if (RefusedBeforeStart(options, m_abort.IsSet(), &result))
        return result;
    try {
        return FollowRedirects(options, [this](HttpRequestOptions *target, RedirectTarget *to) {
            return PerformOnce(target, to);
        });
    } catch (...) {
        result = HttpResult();
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return result;
    }
}

HttpResult CurlTransport::PerformOnce(HttpRequestOptions *options, RedirectTarget *to) {
    HttpResult result;
    Transfer transfer;
    transfer.options = options;
    transfer.result = &result;
    if (!options->clientCertificatePem.empty()) {
        ParsePem(options->clientCertificatePem, &transfer.clientCert, &transfer.clientKey);
        if (!transfer.clientCert || !transfer.clientKey) {
            SetOutcome(&result, HttpOutcome::Failed, kHttpErrorSecureChannel);
            return result;
        }
    }
    const std::string url = HttpUrlOf(*options);
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    transfer.easy = easy.get();
    // Pages and answers may come compressed (even unasked, as a precompressed
    // file): libcurl decodes them before OnBody, whose cap thus bounds the
    // decoded size. The stream's host reads the body it asked for, as sent.
    uint32_t failure =
        easy && multi ? Configure(easy.get(), &transfer, url) : uint32_t{kHttpErrorNotEnoughMemory};
    if (!failure &&
        curl_easy_setopt(easy.get(), CURLOPT_ACCEPT_ENCODING, "gzip, deflate") != CURLE_OK)
        failure = kHttpErrorNotEnoughMemory;
    if (failure || curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
        SetOutcome(&result, HttpOutcome::Failed, failure ? failure : kHttpErrorNotEnoughMemory);
        return result;
    }
    m_abort.Watch(multi.get());
    CURLcode code = CURLE_OK;
    const bool timedOut = Drive(multi.get(), easy.get(), &transfer, m_abort.IsSet(), nullptr,
                                Clock::time_point::max(), &code) == DriveEnd::Silent;
    m_abort.Watch(nullptr);
    curl_multi_remove_handle(multi.get(), easy.get());
    if (curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &result.proxyStatus) != CURLE_OK)
        result.proxyStatus = 0;
    if (transfer.redirect && !m_abort.IsSet() && !timedOut) {
        if (const uint32_t unreadable = RedirectTargetOf(transfer, to))
            SetOutcome(&result, HttpOutcome::Failed, unreadable);
        return result;
    }
    // A transfer that broke in the body keeps what came.
    Conclude(&result, transfer, m_abort.IsSet(),
             (code == CURLE_OK && !timedOut) || transfer.headersComplete, timedOut, code);
    // libcurl checked the host name the handshake's next attempt no longer
    // checks: only a new connection tells what that attempt ends with.
    if (result.errorCode == kHttpErrorCertCnInvalid && transfer.hostChecked &&
        !options->verifyHostName)
        return PerformOnce(options, to);
    return result;
}

class CurlStream final : public HttpStream {
  public:
    ~CurlStream() override { End(); }
    HttpResult Begin(const HttpRequestOptions &options, uint32_t waitMs) override;
    HttpReadOutcome Read(size_t length, uint32_t waitMs, std::string *piece) override;
    void End() override;
    void Abort() override { m_abort.Set(); }

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

    // One request to options until deadline, without following; *to is
    // where it was redirected, its scheme empty when it was not.
    HttpResult BeginOnce(const HttpRequestOptions &options, Clock::time_point deadline,
                         RedirectTarget *to);
    DriveEnd Wait(Clock::time_point deadline, const std::function<bool()> &enough);

    std::unique_ptr<Begun> m_begun;
    CurlAbort m_abort;
};

void CurlStream::End() {
    if (!m_begun)
        return;
    m_abort.Watch(nullptr);
    curl_multi_remove_handle(m_begun->multi.get(), m_begun->easy.get());
    m_begun.reset();
}

DriveEnd CurlStream::Wait(Clock::time_point deadline, const std::function<bool()> &enough) {
    Begun &b = *m_begun;
    const DriveEnd end =
        Drive(b.multi.get(), b.easy.get(), &b.transfer, m_abort.IsSet(), enough, deadline, &b.code);
    b.finished = end == DriveEnd::Finished;
    return end;
}

HttpResult CurlStream::Begin(const HttpRequestOptions &options, uint32_t waitMs) {
    End();
    HttpResult result;
    if (RefusedBeforeStart(options, m_abort.IsSet(), &result))
        return result;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    try {
        return FollowRedirects(options, [&](HttpRequestOptions *target, RedirectTarget *to) {
            return BeginOnce(*target, deadline, to);
        });
    } catch (...) {
        End();
        result = HttpResult();
        SetOutcome(&result, HttpOutcome::Failed, kHttpErrorNotEnoughMemory);
        return result;
    }
}

HttpResult CurlStream::BeginOnce(const HttpRequestOptions &options, Clock::time_point deadline,
                                 RedirectTarget *to) {
    End();
    HttpResult result;
    auto begun = std::make_unique<Begun>();
    begun->options = options;
    begun->transfer.options = &begun->options;
    begun->transfer.result = &begun->result;
    begun->multi.reset(curl_multi_init());
    begun->easy.reset(curl_easy_init());
    begun->transfer.easy = begun->easy.get();
    const uint32_t failure =
        begun->easy && begun->multi
            ? Configure(begun->easy.get(), &begun->transfer, HttpUrlOf(options))
            : uint32_t{kHttpErrorNotEnoughMemory};
    if (failure || curl_multi_add_handle(begun->multi.get(), begun->easy.get()) != CURLM_OK) {
        SetOutcome(&result, HttpOutcome::Failed, failure ? failure : kHttpErrorNotEnoughMemory);
        return result;
    }
    m_abort.Watch(begun->multi.get());
    m_begun = std::move(begun);
    const Transfer &transfer = m_begun->transfer;
    const DriveEnd end = Wait(deadline, [&transfer] { return transfer.answerBegun; });
    const bool timedOut = end == DriveEnd::Silent || end == DriveEnd::WaitOver;
    if (transfer.redirect && !m_abort.IsSet() && !timedOut) {
        if (const uint32_t unreadable = RedirectTargetOf(transfer, to))
            SetOutcome(&result, HttpOutcome::Failed, unreadable);
        End();
        return result;
    }
    Conclude(&m_begun->result, transfer, m_abort.IsSet(), transfer.answerBegun, timedOut,
             m_begun->code);
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
        end = Wait(Clock::now() + std::chrono::milliseconds(waitMs),
                   [&] { return available() >= length; });
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

}  // namespace zn
