#include "http/HttpRequest.h"

#include <new>

#include "http/TransportLimits.h"
#include "platform/TimeLimits.h"
#include "report/Observer.h"

namespace zn {

namespace {

constexpr size_t kResponsePieceBytes = 1023;
constexpr int kSendAttempts = 20;
constexpr int kThreadSendAttempts = 2;
constexpr uint32_t kSendRelaxation = kSecurityIgnoreUnknownCa | kSecurityIgnoreRevocation |
                                     kFlagIgnoreCertCnInvalid | kFlagIgnoreCertDateInvalid;
constexpr uint32_t kThreadSendRelaxation = kSecurityIgnoreUnknownCa;

const char *SendOutcomeText(HttpOutcome outcome) {
    switch (outcome) {
        case HttpOutcome::Sent:
            return "sent";
        case HttpOutcome::CertificateRequested:
            return "certificate requested";
        case HttpOutcome::UntrustedAuthority:
            return "untrusted authority";
        case HttpOutcome::TimedOut:
            return "timed out";
        case HttpOutcome::Aborted:
            return "aborted";
        default:
            return "failed";
    }
}

}  // namespace

std::string CHttpRequest::TargetUrl() const {
    const std::string path = m_strObject.substr(0, m_strObject.find('?'));
    // An IPv6 literal's colons would read as the port's.
    const bool literalV6 = m_strServer.find(':') != std::string::npos;
    return ((m_dwFlags & kFlagSecure) ? "https://" : "http://") +
           (literalV6 ? "[" + m_strServer + "]" : m_strServer) + ":" + std::to_string(m_nPort) +
           path;
}

void CHttpRequest::ObserveSend(const HttpResult &result, uint32_t ms) {
    Observation seen(Step::Send, std::string(), std::string(), TargetUrl());
    seen.detail = m_hConnect ? m_hConnect->proxy : std::string();
    seen.outcome = SendOutcomeText(result.outcome);
    seen.code = result.errorCode;
    seen.status = result.status;
    seen.proxyStatus = result.proxyStatus;
    seen.ms = ms;
    Observe(seen);
}

CHttpRequest::CHttpRequest() = default;

CHttpRequest::~CHttpRequest() {
    StopSendThread();
    CloseHandles();
}

void CHttpRequest::Fail(const char *text, uint32_t code) {
    m_strError = text;
    m_dwError = code;
}

bool CHttpRequest::OpenRequest(const std::string &verb) {
    return Open(verb, nullptr);
}

bool CHttpRequest::OpenRequestViaProxy(const std::string &verb, const std::string &proxy) {
    return Open(verb, &proxy);
}

bool CHttpRequest::Open(const std::string &verb, const std::string *proxy) {
    try {
        m_bViaProxy = proxy ? 1 : 0;
        std::unique_ptr<HttpTransport> session = HttpTransport::Create();
        if (!session) {
            Fail(kErrorCannotOpenInternet, kHttpErrorNotEnoughMemory);
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(m_sessionMutex);
            m_hInternet = std::move(session);
        }

        // The connection is made lazily by the first send; here it is only
        // described.
        m_hConnect.reset(new HttpRequestOptions);
        m_hConnect->userAgent = m_strAgent;
        m_hConnect->proxyMode = proxy ? HttpProxyMode::Explicit : HttpProxyMode::System;
        if (proxy)
            m_hConnect->proxy = *proxy;
        m_hConnect->host = m_strServer;
        m_hConnect->port = m_nPort;
        m_hConnect->user = m_strUser;
        m_hConnect->password = m_strPassword;
        if (!m_strDirectory.empty())
            m_hConnect->extraAuthoritiesDirectory =
                CertificateStoreDirectory(m_strDirectory, kRootCertificateStore);
        // The client certificate goes to the selected server only, and the
        // answer comes from it over the same scheme.
        m_hConnect->redirects = HttpRedirects::SameServer;
        ApplyTransportLimits(m_hConnect.get());
        if (CheckHttpTarget(*m_hConnect) == kHttpErrorInvalidParameter) {
            Fail(kErrorCannotConnect, kHttpErrorInvalidParameter);
            CloseHandles();
            return false;
        }

        m_hRequest.reset(new HttpRequestOptions(*m_hConnect));
        m_hRequest->verb = verb;
        m_hRequest->path = m_strObject;
        m_hRequest->secure = (m_dwFlags & kFlagSecure) != 0;
        m_dwSecurityFlags = m_dwFlags & (kFlagIgnoreCertCnInvalid | kFlagIgnoreCertDateInvalid);
        if (const uint32_t invalid = CheckHttpTarget(*m_hRequest)) {
            Fail(kErrorCannotPerform, invalid);
            CloseHandles();
            return false;
        }
        ++m_dwContext;
        return true;
    } catch (...) {
        // What was opened stays recorded for CloseHandles or the destructor.
        Fail(kErrorMemoryException, kHttpErrorNotEnoughMemory);
        return false;
    }
}

void CHttpRequest::CloseHandles() {
    std::unique_ptr<HttpTransport> session;
    {
        std::lock_guard<std::mutex> guard(m_sessionMutex);
        session = std::move(m_hInternet);
    }
    m_hConnect.reset();
    m_hRequest.reset();
    m_pCertContext.reset();
    m_hCertStore.clear();
}

std::string CHttpRequest::ReadResponse() {
    std::string text;
    try {
        AppendPiecesAsText(m_response, kResponsePieceBytes, &text);
    } catch (...) {
        // Out of memory: what was made of the text so far is the answer.
    }
    m_response.clear();
    return text;
}

void CHttpRequest::ApplySecurityFlags() {
    m_hRequest->verifyPeer = (m_dwSecurityFlags & kSecurityIgnoreUnknownCa) == 0;
    m_hRequest->verifyHostName = (m_dwSecurityFlags & kFlagIgnoreCertCnInvalid) == 0;
    m_hRequest->checkDates = (m_dwSecurityFlags & kFlagIgnoreCertDateInvalid) == 0;
}

HttpResult CHttpRequest::Send(SendPlan *plan) {
    HttpResult result;
    if (!m_hInternet || !m_hRequest) {
        result.errorCode = kHttpErrorInvalidHandle;
        return result;
    }
    ApplySecurityFlags();
    // The handshake decides by the loop's own rule what the loop would have
    // sent next, instead of a new connection for it.
    m_hRequest->nextAttempt = [this, plan](const HttpResult &ended) -> const HttpRequestOptions * {
        try {
            return NextAttempt(ended, plan) ? m_hRequest.get() : nullptr;
        } catch (...) {
            Fail(kErrorMemoryException, kHttpErrorNotEnoughMemory);
            plan->finished = true;
            return nullptr;
        }
    };
    // Only this thread releases the session, so it stays while it sends.
    result = m_hInternet->Perform(*m_hRequest);
    m_hRequest->nextAttempt = nullptr;
    m_nStatus = result.status;
    m_nProxyStatus = result.proxyStatus;
    m_response = std::move(result.body);
    return result;
}

bool CHttpRequest::NextAttempt(const HttpResult &result, SendPlan *plan) {
    if (Observing())
        ObserveSend(result, plan->clock.Ms());
    plan->clock = StepClock();
    if (result.outcome == HttpOutcome::UntrustedAuthority && !plan->relaxedRetry) {
        m_dwSecurityFlags |= plan->relaxation;
        ApplySecurityFlags();
        plan->relaxedRetry = true;
        return true;
    }
    const bool relaxedRetry = plan->relaxedRetry;
    plan->relaxedRetry = false;
    plan->finished = true;
    if (relaxedRetry && result.outcome != HttpOutcome::Sent &&
        result.outcome != HttpOutcome::CertificateRequested) {
        Fail(kErrorInvalidClientCertificate, result.errorCode);
        return false;
    }
    if (result.outcome == HttpOutcome::Sent) {
        plan->sent = true;
        return false;
    }
    if (result.outcome != HttpOutcome::CertificateRequested) {
        Fail(kErrorCannotPerform, result.errorCode);
        return false;
    }
    // Also after the relaxed send: a private authority with client
    // certificates is the provider's likely setup.
    if (!SelectClientCertificate()) {
        if (Observing()) {
            // Where it was looked for and for which issuer, as a diagnosis
            // names them.
            Observation seen(Step::Send, std::string(), std::string(),
                             CertificateStoreDirectory(m_strDirectory, m_nCertStore & 3));
            seen.detail = m_strCertOU;
            seen.outcome = "no certificate";
            Observe(seen);
        }
        Fail(kErrorNoClientCertificate, kHttpErrorClientCertNeeded);
        plan->release = true;
        return false;
    }
    // Asked for a certificate every time: finished without a text of its own.
    plan->finished = ++plan->attempt >= plan->attempts;
    return !plan->finished;
}

bool CHttpRequest::SendLoop(int attempts, uint32_t relaxation) {
    try {
        SendPlan plan;
        plan.attempts = attempts;
        plan.relaxation = relaxation;
        while (!plan.finished) {
            const HttpResult result = Send(&plan);
            // A handshake that finished the loop leaves no outcome of its own.
            if (!plan.finished)
                NextAttempt(result, &plan);
        }
        if (plan.release)
            CloseHandles();
        return plan.sent;
    } catch (...) {
        Fail(kErrorMemoryException, kHttpErrorNotEnoughMemory);
        return false;
    }
}

bool CHttpRequest::SendRequest() {
    return SendLoop(kSendAttempts, kSendRelaxation);
}

uint32_t CHttpRequest::SendRequestThread(CHttpRequest *request) {
    return request->SendLoop(kThreadSendAttempts, kThreadSendRelaxation) ? 1 : 0;
}

bool CHttpRequest::SendRequestWithTimeout() {
    StopSendThread();  // a thread of an earlier wait that failed
    const std::string error = m_strError;
    const uint32_t code = m_dwError;
    try {
        m_hThread.reset(new OwnedThread);
        if (!m_hThread->Start([this] { m_sendExitCode = SendRequestThread(this); })) {
            m_hThread.reset();
            Fail(kErrorCannotWait, kHttpErrorNotEnoughMemory);
            return false;
        }
    } catch (...) {
        m_hThread.reset();
        Fail(kErrorCannotWait, kHttpErrorNotEnoughMemory);
        return false;
    }
    const uint32_t limit = m_bViaProxy ? Limits().sendWaitViaProxyMs : Limits().sendWaitMs;
    const WaitResult wait = m_hThread->WaitForEnd(limit);
    StopSendThread();
    if (wait == WaitResult::Signalled)
        return m_sendExitCode == 1;
    if (wait == WaitResult::TimedOut) {
        // The abort made the send fail with a text of its own; the time limit
        // leaves the record's error as it was.
        m_strError = error;
        m_dwError = code;
    } else {
        Fail(kErrorCannotWait, kHttpErrorInternal);
    }
    return false;
}

void CHttpRequest::AbortSend() {
    std::lock_guard<std::mutex> guard(m_sessionMutex);
    if (m_hInternet)
        m_hInternet->Abort();
}

void CHttpRequest::StopSendThread() {
    if (!m_hThread)
        return;
    if (!m_hThread->HasEnded())
        AbortSend();
    m_hThread->Join();
    m_hThread.reset();
}

bool CHttpRequest::SelectClientCertificate() {
    m_pCertContext.reset();
    if (m_nCertStore < 0 || m_nCertStore > 3 || m_strDirectory.empty())
        return false;
    m_hCertStore = CertificateStoreDirectory(m_strDirectory, m_nCertStore);
    m_pCertContext = FindClientCertificate();
    if (!m_pCertContext || !m_hRequest)
        return false;
    m_hRequest->clientCertificatePem = m_pCertContext->pem;
    return true;
}

std::unique_ptr<StoredCertificate> CHttpRequest::FindClientCertificate() const {
    std::unique_ptr<StoredCertificate> found(new (std::nothrow) StoredCertificate);
    if (!found || m_hCertStore.empty() ||
        !FindCertificateByIssuerUnit(m_hCertStore, m_strCertOU, found.get()))
        return nullptr;
    return found;
}

}  // namespace zn
