#include "support/HttpResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace zntest {

HttpResponder::HttpResponder(std::string reply, const std::string &host, int delayMs)
    : m_reply(std::move(reply)), m_host(host), m_delayMs(delayMs) {
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(m_socket, 16) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ADD_FAILURE() << "HttpResponder: cannot listen on " << host;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_stop = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { Serve(); });
}

HttpResponder::~HttpResponder() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!write(m_stop, &one, sizeof one);
        m_thread.join();
    }
    if (m_stop >= 0)
        close(m_stop);
    if (m_socket >= 0)
        close(m_socket);
}

void HttpResponder::Serve() {
    for (;;) {
        pollfd waits[2] = {{m_socket, POLLIN, 0}, {m_stop, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 || waits[1].revents)
            return;
        const int connection = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        ++m_connections;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd in[2] = {{connection, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (poll(in, 2, -1) < 0 || in[1].revents)
                break;
            const ssize_t n = read(connection, buffer, sizeof buffer);
            if (n <= 0)
                break;
            request.append(buffer, n);
        }
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_lastRequest = request;
        }
        ++m_requests;
        pollfd stop = {m_stop, POLLIN, 0};
        if (m_delayMs > 0 && poll(&stop, 1, m_delayMs) != 0) {
            close(connection);
            return;
        }
        // A reader that stops early (body cap) closes its end: no SIGPIPE.
        for (size_t at = 0; at < m_reply.size();) {
            const ssize_t n =
                send(connection, m_reply.data() + at, m_reply.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            at += n;
        }
        close(connection);
    }
}

}  // namespace zntest
