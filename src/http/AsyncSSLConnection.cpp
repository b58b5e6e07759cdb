#include "zembrixnet/AsyncSSLConnection.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "http/HttpText.h"
#include "http/TransportLimits.h"
#include "platform/HttpTransport.h"
#include "platform/TestHooks.h"

struct CAsyncSSLConnection::State {
    // Calls on one object take turns; Close takes m_session alone first to
    // end the wait of a call in progress.
    std::mutex m_call;
    std::mutex m_session;                         // guards m_hInternet's pointer
    std::unique_ptr<zn::HttpStream> m_hInternet;  // the session; null: closed
    bool m_bUrlOpen = false;                      // an answer waits to be read
    std::string m_strAgent;
    std::string m_strUrl;
    std::string m_strHeaders;
    uint32_t m_dwContentLength = 0;

    void Close() {
        {
            std::lock_guard<std::mutex> guard(m_session);
            if (m_hInternet)
                m_hInternet->Abort();
        }
        std::lock_guard<std::mutex> call(m_call);
        std::unique_ptr<zn::HttpStream> closed;
        {
            std::lock_guard<std::mutex> guard(m_session);
            closed = std::move(m_hInternet);
        }
        m_bUrlOpen = false;
    }
};

CAsyncSSLConnection::CAsyncSSLConnection() : m_pState(new (std::nothrow) State) {}

CAsyncSSLConnection::~CAsyncSSLConnection() {
    if (m_pState)
        m_pState->Close();
    delete m_pState;
}

int CAsyncSSLConnection::OpenInternetConnection(std::string agent) {
    if (!m_pState)
        return 0;
    m_pState->Close();
    std::lock_guard<std::mutex> call(m_pState->m_call);
    m_pState->m_strAgent.swap(agent);
    std::unique_ptr<zn::HttpStream> session = zn::HttpStream::Create();
    if (!session)
        return 0;
    std::lock_guard<std::mutex> guard(m_pState->m_session);
    m_pState->m_hInternet = std::move(session);
    return 1;
}

int CAsyncSSLConnection::OpenInternetUrl(std::string url, std::string headers) {
    if (!m_pState)
        return 0;
    State &s = *m_pState;
    std::lock_guard<std::mutex> call(s.m_call);
    s.m_bUrlOpen = false;
    s.m_dwContentLength = 0;
    s.m_strUrl.swap(url);
    s.m_strHeaders.swap(headers);
    if (!s.m_hInternet)
        return 0;
    try {
        zn::HttpRequestOptions options;
        zn::ApplyTransportLimits(&options);
        if (!zn::SplitUrl(s.m_strUrl, &options))
            return 0;
        options.userAgent = s.m_strAgent;
        // A URL reader follows where pages lead, never from HTTPS to HTTP.
        options.redirects = zn::HttpRedirects::AnyServer;
        options.headers = s.m_strHeaders;
        options.extraAuthoritiesDirectory = zn::TestHooks().urlReaderAuthorities.Get();
        const zn::HttpResult answer = s.m_hInternet->Begin(options, zn::Limits().urlReaderWaitMs);
        // The content length is what the reader sizes its pieces by.
        if (answer.outcome != zn::HttpOutcome::Sent || answer.contentLength < 0 ||
            answer.contentLength > UINT32_MAX) {
            s.m_hInternet->End();
            return 0;
        }
        s.m_dwContentLength = static_cast<uint32_t>(answer.contentLength);
        s.m_bUrlOpen = true;
        return 1;
    } catch (...) {
        s.m_hInternet->End();
        return 0;
    }
}

std::string CAsyncSSLConnection::ReceiveContents() {
    std::string text;
    if (!m_pState)
        return text;
    State &s = *m_pState;
    std::lock_guard<std::mutex> call(s.m_call);
    if (!s.m_hInternet || !s.m_bUrlOpen)
        return text;
    s.m_bUrlOpen = false;
    const size_t pieceBytes = std::min<size_t>(s.m_dwContentLength, ZN_ASYNC_PIECE_BYTES);
    try {
        std::string piece;
        zn::HttpReadOutcome outcome = zn::HttpReadOutcome::Data;
        // An empty body is read as such: nothing to wait for.
        while (pieceBytes > 0 && outcome == zn::HttpReadOutcome::Data) {
            outcome = s.m_hInternet->Read(pieceBytes, zn::Limits().urlReaderWaitMs, &piece);
            zn::AppendPiecesAsText(piece, pieceBytes, &text);
        }
    } catch (...) {
        // Out of memory: the text read so far.
    }
    s.m_hInternet->End();
    return text;
}

void CAsyncSSLConnection::CloseInternetConnection() {
    if (m_pState)
        m_pState->Close();
}
