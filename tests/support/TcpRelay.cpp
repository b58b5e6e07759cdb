#include "support/TcpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <utility>

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;

// A non-blocking connection to 127.0.0.1:port; kNone on failure.
peersocket::Handle ConnectLoopback(unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return peersocket::kNone;
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) != 0) {
        close(s);
        return peersocket::kNone;
    }
    return s;
}

}  // namespace

TcpRelay::TcpRelay(const std::string &host, unsigned targetPort, int delayMs)
    : m_host(host), m_targetPort(targetPort), m_delayMs(delayMs) {
    std::string error;
    m_stop = peersocket::OpenStopSignal();
    m_listener = peersocket::Listen(host, 0, &m_port, &error);
    if (m_listener != peersocket::kNone)
        m_thread = std::thread([this] { Serve(); });
}

TcpRelay::~TcpRelay() {
    peersocket::RaiseStopSignal(m_stop);
    if (m_thread.joinable())
        m_thread.join();
    for (std::thread &pump : m_pumps)
        pump.join();
    for (peersocket::Handle socket : m_sockets)
        peersocket::Close(socket);
    if (m_listener != peersocket::kNone)
        peersocket::Close(m_listener);
    peersocket::Close(m_stop);
}

void TcpRelay::Serve() {
    for (;;) {
        if (peersocket::Await(m_listener, false, m_stop) != peersocket::Wait::Ready)
            return;
        bool failed = false;
        const peersocket::Handle client = peersocket::Accept(m_listener, &failed);
        if (failed)
            return;
        if (client == peersocket::kNone)
            continue;
        ++m_connections;
        const peersocket::Handle server = ConnectLoopback(m_targetPort);
        // Each piece goes on when due, not when the last one is acknowledged.
        const int on = 1;
        for (const peersocket::Handle socket : {client, server}) {
            if (socket != peersocket::kNone)
                setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        m_sockets.push_back(client);
        if (server == peersocket::kNone) {
            shutdown(static_cast<int>(client), SHUT_RDWR);
            continue;
        }
        m_sockets.push_back(server);
        const auto accepted = Clock::now();
        const auto established = accepted + 2 * std::chrono::milliseconds(m_delayMs);
        m_pumps.emplace_back(
            [this, client, server, established] { Pump(client, server, established); });
        m_pumps.emplace_back([this, client, server, accepted] { Pump(server, client, accepted); });
    }
}

void TcpRelay::Pump(peersocket::Handle from, peersocket::Handle to, Clock::time_point notBefore) {
    std::deque<std::pair<Clock::time_point, std::string>> held;
    bool ended = false;
    char buffer[16384];
    while (!ended || !held.empty()) {
        const auto now = Clock::now();
        int waitMs = -1;
        if (!held.empty()) {
            waitMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(held.front().first - now)
                    .count());
            waitMs = waitMs < 0 ? 0 : waitMs + 1;
        }
        // Until the next piece is due, or more comes.
        const peersocket::Wait wait =
            peersocket::Await(ended ? peersocket::kNone : from, false, m_stop, waitMs);
        if (wait == peersocket::Wait::Stopped || wait == peersocket::Wait::Failed)
            return;
        if (wait == peersocket::Wait::Ready && !ended) {
            const long n = peersocket::Receive(from, buffer, sizeof buffer);
            if (n > 0)
                held.emplace_back(
                    std::max(Clock::now(), notBefore) + std::chrono::milliseconds(m_delayMs),
                    std::string(buffer, static_cast<size_t>(n)));
            else
                ended = true;
        }
        while (!held.empty() && held.front().first <= Clock::now()) {
            const std::string &piece = held.front().second;
            for (size_t sent = 0; sent < piece.size();) {
                const long n = peersocket::Send(to, piece.data() + sent, piece.size() - sent);
                if (n < 0 ||
                    (n == 0 && peersocket::Await(to, true, m_stop) != peersocket::Wait::Ready)) {
                    // Neither side hears more of the other.
                    shutdown(static_cast<int>(from), SHUT_RDWR);
                    shutdown(static_cast<int>(to), SHUT_RDWR);
                    return;
                }
                sent += static_cast<size_t>(n);
            }
            held.pop_front();
        }
    }
    shutdown(static_cast<int>(to), SHUT_WR);
}

}  // namespace zntest
