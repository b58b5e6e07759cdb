// Pieces of the HTTP transport that every backend shares: the URL of a
// request and the checks of its header lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/HttpTransport.h"

namespace zn {

// "http(s)://host:port/path" of a request; a literal IPv6 host in brackets.
std::string HttpUrlOf(const HttpRequestOptions &options);

// Header lines of text, separated by CR LF or LF, the empty ones left out.
std::vector<std::string> HttpHeaderLines(const std::string &text);

// "Name: value" with a name free of blanks and no control character but a
// tab: anything else could end the header early or forge another one.
bool IsHttpHeaderLine(const std::string &line);

// The decimal value of a Content-Length header line or value; -1 when it is
// not one.
int64_t HttpContentLengthOf(const std::string &line);

}  // namespace zn
