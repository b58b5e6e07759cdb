// A local server that misbehaves on purpose, for the faults a real peer
// shows on the way to the client: it resets, hangs up, never answers,
// answers one byte at a time, or floods. Binds port 0 of a loopback
// address; every connection gets the same treatment.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zntest {

enum class PeerFault {
    Reset,           // reads the request, then resets the connection
    AcceptAndClose,  // closes each connection as soon as it is accepted
    NeverAnswer,     // reads the request and keeps the connection open, silent
    ByteByByte,      // sends the reply one byte at a time, a short pause between
    Flood,           // sends the reply's head, then filler up to kFloodBytes
};

// What Flood announces and sends in all, unless the reader hangs up first.
constexpr size_t kFloodBytes = 100u * 1024 * 1024;

class BadPeer {
  public:
    // reply: raw bytes (status line and headers included) for ByteByByte;
    // for Flood the body's first bytes, sent after a 200 header that
    // announces kFloodBytes. Unused by the other faults.
    BadPeer(PeerFault fault, std::string reply = std::string());
    ~BadPeer();
    BadPeer(const BadPeer &) = delete;
    BadPeer &operator=(const BadPeer &) = delete;

    unsigned Port() const { return m_port; }
    std::string Url(const std::string &path = "/") const;
    int Connections() const { return m_connections.load(); }
    // Bytes of the reply the peer managed to send, over all connections.
    size_t BytesSent() const { return m_sent.load(); }

  private:
    void Serve();
    void Treat(int connection);
    bool SendAll(int connection, const char *data, size_t size);
    bool Stopping(int timeoutMs);

    PeerFault m_fault;
    std::string m_reply;
    unsigned m_port = 0;
    int m_socket = -1;
    int m_stop = -1;
    std::atomic<int> m_connections{0};
    std::atomic<size_t> m_sent{0};
    std::vector<int> m_silent;  // NeverAnswer's open connections; serve thread only
    std::thread m_thread;
};

}  // namespace zntest
