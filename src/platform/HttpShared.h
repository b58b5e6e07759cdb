// Pieces of the HTTP transport that every backend shares: creation with its
// test hooks, the URL of a request and the checks of its header lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/HttpTransport.h"

namespace zn {

// The backend's own transport and stream; null when they cannot be made.
// HttpTransport::Create and HttpStream::Create call them unless a test hook
// stands in.
std::unique_ptr<HttpTransport> CreatePlatformHttpTransport();
std::unique_ptr<HttpStream> CreatePlatformHttpStream();

void SetOutcome(HttpResult *result, HttpOutcome outcome, uint32_t code);

// True, with result set, when a request may not start: its transport was
// aborted before (an abort that came first wins), or its target is invalid.
bool RefusedBeforeStart(const HttpRequestOptions &options, bool aborted, HttpResult *result);

// Whether the backend's URL parser takes url, free of control characters and
// blanks already; throws std::bad_alloc when out of memory.
bool PlatformAcceptsHttpUrl(const std::string &url);

// "http(s)://host:port/path" of a request; a literal IPv6 host in brackets.
std::string HttpUrlOf(const HttpRequestOptions &options);

// Zero, with *url the proxy as the backend is to be given it, when proxy
// names one spoken to in plain HTTP: "http://[user:password@]host[:port]"
// built from its parts, so that the backend never picks a scheme of its own;
// empty when proxy is blank (no proxy). Otherwise kHttpErrorInvalidProxyRequest: a
// scheme other than http ("https:/", "socks5://", any case), or no host. A
// proxy that speaks TLS could ask for the client certificate in its handshake.
uint32_t PlainProxyUrl(const std::string &proxy, std::string *url);

// The most redirects one request follows, as the Windows Internet functions.
constexpr int kMaxRedirects = 10;

// Whether an answer is a redirect that FollowRedirect must judge.
bool IsRedirect(long status, bool hasLocation);

// Where a redirect leads: its Location as the backend's URL parser resolved
// it against the URL requested last.
struct RedirectTarget {
    std::string scheme;
    std::string host;  // a literal IPv6 host in brackets or not
    unsigned port = 0;
    std::string path;  // path and query, without a fragment
};

// The one rule for every redirect on every build: zero, with *current now
// requesting the target, when the hop-th redirect (from 1) of the request
// *current may be followed under current->redirects; otherwise the code of
// its refusal, and *current as it was. A request that carries a client
// certificate follows the same-server rule whatever it asks for.
uint32_t FollowRedirect(int hop, const RedirectTarget &to, HttpRequestOptions *current);

// One request and its redirects: once(&target, &to) makes one request to
// target, without following, and leaves where it was redirected in to (its
// scheme empty when it was not); every hop is judged by FollowRedirect.
template <typename Once>
HttpResult FollowRedirects(const HttpRequestOptions &options, Once once) {
    HttpRequestOptions target = options;
    for (int hop = 1;; ++hop) {
        RedirectTarget to;
        HttpResult result = once(&target, &to);
        if (to.scheme.empty())
            return result;
        if (const uint32_t refusal = FollowRedirect(hop, to, &target)) {
            result = HttpResult();
            SetOutcome(&result, HttpOutcome::Failed, refusal);
            return result;
        }
    }
}

// Header lines of text, separated by CR LF or LF, the empty ones left out.
std::vector<std::string> HttpHeaderLines(const std::string &text);

// "Name: value" with a name free of blanks and no control character but a
// tab: anything else could end the header early or forge another one.
bool IsHttpHeaderLine(const std::string &line);

// The decimal value of a Content-Length header line or value; -1 when it is
// not one.
int64_t HttpContentLengthOf(const std::string &line);

}  // namespace zn
