#include "platform/HttpShared.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/TestHooks.h"

namespace zn {

namespace {

std::string Lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::unique_ptr<HttpTransport> HttpTransport::Create() {
    if (const auto make = TestHooks().httpTransports.Get())
        return make();
    return CreatePlatformHttpTransport();
}

std::unique_ptr<HttpStream> HttpStream::Create() {
    if (TestHooks().failHttpStreams)
        return nullptr;
    return CreatePlatformHttpStream();
}

void SetOutcome(HttpResult *result, HttpOutcome outcome, uint32_t code) {
    result->outcome = outcome;
    result->errorCode = code;
}

bool RefusedBeforeStart(const HttpRequestOptions &options, bool aborted, HttpResult *result) {
    if (aborted) {
        SetOutcome(result, HttpOutcome::Aborted, kHttpErrorOperationCancelled);
        return true;
    }
    if (const uint32_t invalid = CheckHttpTarget(options)) {
        SetOutcome(result, HttpOutcome::Failed, invalid);
        return true;
    }
    return false;
}

uint32_t CheckHttpTarget(const HttpRequestOptions &options) {
    if (options.host.empty())
        return kHttpErrorInvalidParameter;
    try {
        for (const std::string &line : HttpHeaderLines(options.headers)) {
            if (!IsHttpHeaderLine(line))
                return kHttpErrorInvalidHeader;
        }
        if (options.proxyMode == HttpProxyMode::Explicit) {
            std::string url;
            if (const uint32_t refused = PlainProxyUrl(options.proxy, &url))
                return refused;
        }
        // Control characters, blanks and a zero byte could smuggle header
        // lines into the request or cut the URL short of what was named.
        for (const std::string *part : {&options.host, &options.path}) {
            for (char c : *part) {
                const unsigned char u = static_cast<unsigned char>(c);
                if (u <= 0x20 || u == 0x7f)
                    return kHttpErrorInvalidUrl;
            }
        }
        return PlatformAcceptsHttpUrl(HttpUrlOf(options)) ? 0u : uint32_t{kHttpErrorInvalidUrl};
    } catch (...) {
        return kHttpErrorNotEnoughMemory;
    }
}

std::string HttpUrlOf(const HttpRequestOptions &options) {
    const bool literalV6 = options.host.find(':') != std::string::npos;
    std::string url = options.secure ? "https://" : "http://";
    url += literalV6 ? "[" + options.host + "]" : options.host;
    url += ":" + std::to_string(options.port);
    if (options.path.empty() || options.path[0] != '/')
        url += "/";
    return url + options.path;
}

uint32_t PlainProxyUrl(const std::string &proxy, std::string *url) {
    // A scheme as the backend reads one: a name, ':' and at least one '/'
    // (one is enough), after any leading blanks.
    size_t at = proxy.find_first_not_of(' ');
    url->clear();
    if (at == std::string::npos)
        return 0;
    size_t name = at;
    while (name < proxy.size() &&
           (std::isalpha(static_cast<unsigned char>(proxy[name])) ||
            (name > at && (std::isdigit(static_cast<unsigned char>(proxy[name])) ||
                           proxy[name] == '+' || proxy[name] == '.' || proxy[name] == '-'))))
        ++name;
    if (name > at && proxy.compare(name, 2, ":/") == 0) {
        if (Lower(proxy.substr(at, name - at)) != "http")
            return kHttpErrorInvalidProxyRequest;
        at = proxy.find_first_not_of('/', name + 1);
        at = at == std::string::npos ? proxy.size() : at;
    }
    // The user, password, host and port; a path means nothing to a proxy.
    const size_t end = std::min(proxy.find_first_of("/?#", at), proxy.size());
    if (end == at)
        return kHttpErrorInvalidProxyRequest;
    *url = "http://" + proxy.substr(at, end - at);
    return 0;
}

bool IsRedirect(long status, bool hasLocation) {
    return hasLocation && status >= 300 && status <= 399;
}

uint32_t FollowRedirect(int hop, const RedirectTarget &to, HttpRequestOptions *current) {
    const std::string scheme = Lower(to.scheme);
    const bool secure = scheme == "https";
    if (scheme != "http" && !secure)
        return kHttpErrorRedirectFailed;
    if (current->secure && !secure)
        return kHttpErrorHttpsToHttpOnRedirect;
    const bool bracketed = to.host.size() > 1 && to.host.front() == '[' && to.host.back() == ']';
    const std::string host = bracketed ? to.host.substr(1, to.host.size() - 2) : to.host;
    const bool sameServer = secure == current->secure && Lower(host) == Lower(current->host) &&
                            to.port == current->port;
    const bool sameServerOnly =
        current->redirects == HttpRedirects::SameServer || !current->clientCertificatePem.empty();
    if (hop > kMaxRedirects || to.port == 0 || to.port > 65535 || (sameServerOnly && !sameServer))
        return kHttpErrorRedirectFailed;
    HttpRequestOptions next = *current;
    next.secure = secure;
    next.host = host;
    next.port = static_cast<uint16_t>(to.port);
    next.path = to.path;
    if (!sameServer) {
        // Credentials for one server are not handed to another.
        next.user.clear();
        next.password.clear();
    }
    // A Location may name what no request can carry (control characters).
    if (CheckHttpTarget(next))
        return kHttpErrorRedirectFailed;
    *current = std::move(next);
    return 0;
}

std::vector<std::string> HttpHeaderLines(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool IsHttpHeaderLine(const std::string &line) {
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos)
        return false;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f || (i < colon && (c == ' ' || c == '\t')))
            return false;
    }
    return true;
}

int64_t HttpContentLengthOf(const std::string &line) {
    const size_t colon = line.find(':');
    const size_t first = line.find_first_not_of(" \t", colon == std::string::npos ? 0 : colon + 1);
    const size_t last = line.find_last_not_of(" \t\r\n");
    if (first == std::string::npos || last == std::string::npos || last < first)
        return -1;
    int64_t value = 0;
    for (size_t i = first; i <= last; ++i) {
        if (line[i] < '0' || line[i] > '9' ||
            value > (std::numeric_limits<int64_t>::max() - 9) / 10)
            return -1;
        value = value * 10 + (line[i] - '0');
    }
    return value;
}

}  // namespace zn
