/*
 * CAsyncSSLConnection: a small URL reader for the host's own use. Nothing
 * inside the library uses it.
 *
 *   CAsyncSSLConnection connection;
 *   if (connection.OpenInternetConnection("MyClient/1.0") &&
 *       connection.OpenInternetUrl("https://example.net/list", "X-Client: 7\r\n"))
 *       text = connection.ReceiveContents();
 *   connection.CloseInternetConnection();
 *
 * Threading: an object serves one request at a time. Calls on one object are
 * meant to follow each other; calls that overlap anyway take turns, except
 * that CloseInternetConnection (and the destructor) first ends a wait another
 * thread is in. Different objects are independent.
 *
 * Ownership: strings are passed and returned by value; the object's state
 * lives behind a private pointer, so its layout is no part of the interface
 * and a host needs no header of the libraries it is built on.
 *
 * Failures show only as a 0 result or a shorter (possibly empty) text.
 */
#ifndef ZEMBRIXNET_ASYNC_SSL_CONNECTION_H
#define ZEMBRIXNET_ASYNC_SSL_CONNECTION_H

#include <string>

#include "Export.h"

/* Longest wait, in milliseconds, for the answer to begin and for each piece of its body. */
#define ZN_ASYNC_WAIT_MS 50000
/* Largest piece of the body read at once; each piece is appended as text. */
#define ZN_ASYNC_PIECE_BYTES 4999

class ZN_EXPORT CAsyncSSLConnection {
  public:
    CAsyncSSLConnection();
    /* Closes whatever is still open. */
    ~CAsyncSSLConnection();
    CAsyncSSLConnection(const CAsyncSSLConnection &) = delete;
    CAsyncSSLConnection &operator=(const CAsyncSSLConnection &) = delete;

    /*
     * Opens a session whose requests carry agent as their user agent and
     * follow the system's proxy settings. A session opened earlier is closed
     * first. Returns 1 when the session is open, 0 otherwise.
     *
     *   [in] agent   any length; taken by value, the session keeps it
     */
    int OpenInternetConnection(std::string agent);

    /*
     * GETs url ("http://" or "https://") with the header lines of headers
     * (separated by CR LF; empty: none) added to the request, and waits up
     * to ZN_ASYNC_WAIT_MS for the answer to begin.
     * Returns 1 when the answer began and carries a Content-Length header; 0
     * when no session is open, the request failed or timed out, a header
     * line is malformed (no "Name:"), or the answer has no content length.
     * The answer of an earlier call is dropped.
     *
     *   [in] url       any length; taken by value
     *   [in] headers   any length; taken by value
     */
    int OpenInternetUrl(std::string url, std::string headers);

    /*
     * Reads the body of the answer that OpenInternetUrl opened until it ends,
     * in pieces of the content length but at most ZN_ASYNC_PIECE_BYTES, each
     * appended as text: a zero byte ends the text of its piece. Each piece is
     * waited for at most ZN_ASYNC_WAIT_MS; at most the first 4 MiB of a body
     * are kept. Returns the text read (empty when nothing is open); a second
     * call returns what the first left, nothing.
     */
    std::string ReceiveContents();

    /* Closes the answer and the session. Harmless when nothing is open. */
    void CloseInternetConnection();

  private:
    struct State;
    State *m_pState; /* null when it could not be allocated: every call fails */
};

#endif /* ZEMBRIXNET_ASYNC_SSL_CONNECTION_H */
