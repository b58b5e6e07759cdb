// The scripted HTTP responder of the tests on Winsock (the other builds'
// version uses poll and an eventfd); the stop signal is a datagram to a
// loopback socket that every wait watches too.
#include "support/HttpResponder.h"

// winsock2.h before windows.h, which would bring the old Winsock in.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <gtest/gtest.h>

namespace zntest {

namespace {

// Sockets are 32 bits wide in this 32-bit build, so the header's int holds
// them.
SOCKET AsSocket(int handle) {
    return static_cast<SOCKET>(static_cast<unsigned>(handle));
}

// Waits until socket is readable (or, with no socket, until waitMs passed);
// false when stop is readable or the wait fails.
bool WaitReadable(SOCKET socket, SOCKET stop, int waitMs = -1) {
    fd_set readable;
    FD_ZERO(&readable);
    if (socket != INVALID_SOCKET)
        FD_SET(socket, &readable);
    FD_SET(stop, &readable);
    timeval limit = {waitMs / 1000, (waitMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, waitMs < 0 ? nullptr : &limit) != SOCKET_ERROR &&
           !FD_ISSET(stop, &readable);
}

}  // namespace

HttpResponder::HttpResponder(std::string reply, const std::string &host, int delayMs)
    : m_reply(std::move(reply)), m_host(host), m_delayMs(delayMs) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const SOCKET stop = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener != INVALID_SOCKET)
        m_socket = static_cast<int>(listener);
    if (stop != INVALID_SOCKET)
        m_stop = static_cast<int>(stop);
    if (listener == INVALID_SOCKET || stop == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        bind(stop, reinterpret_cast<sockaddr *>(&loopback), sizeof loopback) != 0) {
        ADD_FAILURE() << "HttpResponder: cannot listen on " << host;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

HttpResponder::~HttpResponder() {
    if (m_thread.joinable()) {
        const SOCKET stop = AsSocket(m_stop);
        sockaddr_in address{};
        int length = sizeof address;
        const char wake = 1;
        getsockname(stop, reinterpret_cast<sockaddr *>(&address), &length);
        sendto(stop, &wake, 1, 0, reinterpret_cast<const sockaddr *>(&address), length);
        m_thread.join();
    }
    if (m_stop >= 0)
        closesocket(AsSocket(m_stop));
    if (m_socket >= 0)
        closesocket(AsSocket(m_socket));
}

void HttpResponder::Serve() {
    const SOCKET listener = AsSocket(m_socket);
    const SOCKET stop = AsSocket(m_stop);
    while (WaitReadable(listener, stop)) {
        const SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            continue;
        ++m_connections;
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && WaitReadable(connection, stop)) {
            const int n = recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, n);
        }
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_lastRequest = request;
        }
        ++m_requests;
        if (m_delayMs > 0 && !WaitReadable(INVALID_SOCKET, stop, m_delayMs)) {
            closesocket(connection);
            return;
        }
        for (size_t at = 0; at < m_reply.size();) {
            const int n =
                send(connection, m_reply.data() + at, static_cast<int>(m_reply.size() - at), 0);
            if (n <= 0)
                break;
            at += n;
        }
        closesocket(connection);
    }
}

}  // namespace zntest
