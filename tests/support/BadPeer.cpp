#include "support/BadPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <gtest/gtest.h>

namespace zntest {

BadPeer::BadPeer(PeerFault fault, std::string reply) : m_fault(fault), m_reply(std::move(reply)) {
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(m_socket, 16) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ADD_FAILURE() << "BadPeer: cannot listen on loopback";
        return;
    }
    m_port = ntohs(address.sin_port);
    m_stop = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { Serve(); });
}

BadPeer::~BadPeer() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!write(m_stop, &one, sizeof one);
        m_thread.join();
    }
    for (int connection : m_silent)
        close(connection);
    if (m_stop >= 0)
        close(m_stop);
    if (m_socket >= 0)
        close(m_socket);
}

std::string BadPeer::Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

// True once the peer is told to stop; waits up to timeoutMs for it.
bool BadPeer::Stopping(int timeoutMs) {
    pollfd stop = {m_stop, POLLIN, 0};
    return poll(&stop, 1, timeoutMs) != 0;
}

void BadPeer::Serve() {
    for (;;) {
        pollfd waits[2] = {{m_socket, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 || waits[1].revents)
            return;
        const int connection = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        ++m_connections;
        Treat(connection);
    }
}

bool BadPeer::SendAll(int connection, const char *data, size_t size) {
    for (size_t at = 0; at < size;) {
        pollfd out[2] = {{connection, POLLOUT, 0}, {m_stop, POLLIN, 0}};
        if (poll(out, 2, -1) < 0 || out[1].revents)
            return false;
        // A reader that hangs up early must not raise SIGPIPE here.
        const ssize_t n = send(connection, data + at, size - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN)
            continue;
        if (n <= 0)
            return false;
        at += n;
        m_sent += n;
    }
    return true;
}

void BadPeer::Treat(int connection) {
    if (m_fault == PeerFault::AcceptAndClose) {
        close(connection);
        return;
    }
    // The request first (a TLS client's hello is fine too: whatever comes
    // first, up to a blank line or a pause).
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd in[2] = {{connection, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (poll(in, 2, 500) <= 0 || in[1].revents)
            break;
        const ssize_t n = read(connection, buffer, sizeof buffer);
        if (n <= 0)
            break;
        request.append(buffer, n);
    }
    switch (m_fault) {
        case PeerFault::Reset: {
            const linger abortive = {1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            break;
        }
        case PeerFault::NeverAnswer:
            m_silent.push_back(connection);
            return;
        case PeerFault::ByteByByte:
            for (size_t at = 0; at < m_reply.size() && !Stopping(2); ++at) {
                if (!SendAll(connection, &m_reply[at], 1))
                    break;
            }
            break;
        case PeerFault::Flood: {
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kFloodBytes) +
                "\r\nConnection: close\r\n\r\n" + m_reply;
            if (!SendAll(connection, head.data(), head.size()))
                break;
            const std::string filler(1 << 16, 'x');
            for (size_t left = kFloodBytes - m_reply.size(); left > 0;) {
                const size_t size = std::min(left, filler.size());
                if (!SendAll(connection, filler.data(), size))
                    break;
                left -= size;
            }
            break;
        }
        case PeerFault::AcceptAndClose:
            break;
    }
    close(connection);
}

}  // namespace zntest
