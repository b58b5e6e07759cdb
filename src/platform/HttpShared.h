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

// Zero when a redirect to scheme://host:port (a literal IPv6 host in
// brackets or not) keeps the scheme, host and port of options; otherwise the
// code of its refusal.
uint32_t CheckRedirectTarget(const HttpRequestOptions &options, const std::string &scheme,
                             const std::string &host, unsigned port);

// Statuses the HTTP library follows when they carry a Location.
bool IsFollowedRedirect(long status);

// Header lines of text, separated by CR LF or LF, the empty ones left out.
std::vector<std::string> HttpHeaderLines(const std::string &text);

// "Name: value" with a name free of blanks and no control character but a
// tab: anything else could end the header early or forge another one.
bool IsHttpHeaderLine(const std::string &line);

// The decimal value of a Content-Length header line or value; -1 when it is
// not one.
int64_t HttpContentLengthOf(const std::string &line);

}  // namespace zn
