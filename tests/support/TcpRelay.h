// A TCP relay on a local address in front of a loopback server: counts the
// connections the server is offered (an abandoned TLS handshake included,
// which no access log records) and may hold every piece of data for a
// while in each direction, as a distant server's path would.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerSocket.h"

namespace zntest {

class TcpRelay {
  public:
    // Listens on host (port 0) and relays each connection to
    // 127.0.0.1:targetPort, each piece of data delivered delayMs after it
    // came, in either direction; the client's first data waits a round trip
    // more, as the TCP handshake of a distant server would take (the
    // client's connect itself completes at once).
    TcpRelay(const std::string &host, unsigned targetPort, int delayMs = 0);
    ~TcpRelay();
    TcpRelay(const TcpRelay &) = delete;
    TcpRelay &operator=(const TcpRelay &) = delete;

    bool Started() const { return m_listener != peersocket::kNone; }
    unsigned Port() const { return m_port; }
    std::string Address() const { return m_host + ":" + std::to_string(m_port); }
    // Connections accepted so far.
    int Connections() const { return m_connections.load(); }

  private:
    void Serve();
    // Copies from one socket to the other until from ends, then ends to's
    // sending side; nothing is delivered before notBefore + the delay.
    void Pump(peersocket::Handle from, peersocket::Handle to,
              std::chrono::steady_clock::time_point notBefore);

    std::string m_host;
    unsigned m_targetPort;
    int m_delayMs;
    unsigned m_port = 0;
    peersocket::Handle m_listener = peersocket::kNone;
    peersocket::Handle m_stop = peersocket::kNone;
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;  // guards m_pumps and m_sockets
    std::vector<std::thread> m_pumps;
    std::vector<peersocket::Handle> m_sockets;
    std::thread m_thread;
};

}  // namespace zntest
