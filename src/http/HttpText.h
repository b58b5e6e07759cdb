// Fetching one web page as text, for the fallback pages of an update run.
#pragma once

#include <mutex>
#include <string>

#include "platform/HttpTransport.h"

namespace zn {

// Splits "scheme://[user@]host[:port][/object]" (http or https) into the
// target of options. False when it cannot be split (unknown scheme, bad
// port); the host stays empty then.
bool SplitUrl(const std::string &url, HttpRequestOptions *options);

// Lets another thread end a GetHttpText in progress at once. An abort that
// comes before the fetch has started makes it fail without a request.
class CHttpTextAbort {
  public:
    void Abort();

  private:
    friend class HttpTextAbortScope;
    std::mutex m_mutex;
    HttpTransport *m_pTransport = nullptr;
    bool m_bAborted = false;
};

// GETs url ("http://" or "https://", host, optional port, path and query)
// and returns the response body whatever its status: the whole body, the
// part read before the connection broke, or the first 4 MiB of a larger one.
// A zero byte ends the text of its 1024-byte piece. A failing step returns
// its message instead, "GetHttpText::<step> Error <code>".
//
// proxy: used for the request when given; otherwise the system's proxy,
// read once per process, or none. user and password (when given and not
// empty) are the proxy's credentials. Blocks the calling thread, limited
// only by the platform's connect and send/receive time limits, or until
// abort (when given) is aborted: the result is then the send step's message.
//
// status, when given, gets the HTTP status of the answer (0 when none came).
std::string GetHttpText(const std::string &url, const char *proxy = nullptr,
                        const char *user = nullptr, const char *password = nullptr,
                        CHttpTextAbort *abort = nullptr, long *status = nullptr);

}  // namespace zn
