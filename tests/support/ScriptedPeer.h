// The one scripted local server of the tests: it listens on port 0 of a
// local address and treats every connection as its script says: answers an
// HTTP request with raw bytes no real server sends on request (a zero byte
// in the body, a body over the cap), or misbehaves on purpose as a peer
// does on the way to the client (resets, hangs up, never answers, answers
// one byte at a time, floods). Real TLS peers are in support/HttpsPeers.h.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerSocket.h"

namespace zntest {

enum class PeerAction {
    Answer,          // reads the request's headers however long they take (a
                     // TLS client's never end: held without answer), waits
                     // delayMs, sends the reply, closes
    Reset,           // reads the request, then resets the connection
    AcceptAndClose,  // closes each connection as soon as it is accepted
    NeverAnswer,     // reads the request and keeps the connection open, silent
    ByteByByte,      // sends the reply one byte at a time, a short pause between
    Flood,           // sends the reply's head, then filler up to kFloodBytes
};

// What Flood announces and sends in all, unless the reader hangs up first.
constexpr size_t kFloodBytes = 100u * 1024 * 1024;

// A reply with status 200 (or the given one) and a Content-Length.
std::string HttpReply(const std::string &body, int status = 200);

class ScriptedPeer {
  public:
    // reply: raw bytes (status line and headers included) for Answer and
    // ByteByByte; for Flood the body's first bytes, sent after a 200 header
    // that announces kFloodBytes. Unused by the other actions.
    ScriptedPeer(PeerAction action, std::string reply = std::string(),
                 const std::string &host = "127.0.0.1", int delayMs = 0);
    // Serves AcceptAndClose on a listener already open; takes it over.
    ScriptedPeer(peersocket::Handle listener, const std::string &host, unsigned port);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    // For Answer: a request for target (its request line's, exactly) gets
    // reply instead of the one given at construction.
    void AnswerTarget(const std::string &target, std::string reply);

    unsigned Port() const { return m_port; }
    std::string Url(const std::string &path = "/") const {
        return "http://" + m_host + ":" + std::to_string(m_port) + path;
    }
    // Connections accepted, counted before their request is read.
    int Connections() const { return m_connections.load(); }
    // Waits until at least count connections were accepted; false on time-out.
    bool WaitForConnections(int count, std::chrono::milliseconds timeout);
    // Requests read whole, and the headers of the last one.
    int Requests() const { return m_requests.load(); }
    std::string LastRequest();
    // Bytes of the reply the peer managed to send, over all connections.
    size_t BytesSent() const { return m_sent.load(); }

  private:
    void Start();
    void Serve();
    void Treat(peersocket::Handle connection);
    bool ReadRequest(peersocket::Handle connection);
    bool SendAll(peersocket::Handle connection, const char *data, size_t size);

    PeerAction m_action;
    std::string m_reply;
    std::string m_host;
    int m_delayMs = 0;
    unsigned m_port = 0;
    peersocket::Handle m_listener = peersocket::kNone;
    peersocket::Handle m_stop = peersocket::OpenStopSignal();
    std::atomic<int> m_connections{0};
    std::atomic<int> m_requests{0};
    std::atomic<size_t> m_sent{0};
    std::mutex m_mutex;
    std::condition_variable m_connected;
    std::string m_lastRequest;
    std::map<std::string, std::string> m_targetReplies;
    std::vector<peersocket::Handle> m_silent;  // NeverAnswer's open connections; serve thread only
    std::thread m_thread;
};

}  // namespace zntest
