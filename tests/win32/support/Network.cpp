// The test listener on Winsock (the other builds' version uses poll and an
// eventfd); the shared helpers are in tests/support/NetworkGuard.cpp.
#include "support/Network.h"

// winsock2.h before windows.h, which would bring the old Winsock in.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

namespace zntest {

namespace {

// Sockets are 32 bits wide in this 32-bit build, so the header's int holds
// them.
SOCKET AsSocket(int handle) {
    return static_cast<SOCKET>(static_cast<unsigned>(handle));
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Accepts and closes every connection waiting now.
int AcceptAllWaiting(SOCKET listener) {
    int count = 0;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval now{0, 0};
        if (select(0, &readable, nullptr, nullptr, &now) != 1)
            return count;
        const SOCKET connection = accept(listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            return count;
        closesocket(connection);
        ++count;
    }
}

}  // namespace

TcpListener::TcpListener(const std::string &host, unsigned port) : m_host(host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (!StartWinsock() || port > 65535 ||
        inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        ADD_FAILURE() << "TcpListener: bad address " << host << ":" << port;
        return;
    }
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        ADD_FAILURE() << "TcpListener: socket: " << WSAGetLastError();
        return;
    }
    m_socket = static_cast<int>(s);
    int length = sizeof address;
    if (bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ADD_FAILURE() << "TcpListener: cannot listen on " << host << ":" << port << ": "
                      << WSAGetLastError();
        Close();
        return;
    }
    m_port = ntohs(address.sin_port);
}

TcpListener::~TcpListener() {
    Close();
}

bool TcpListener::StartAccepting() {
    if (m_socket < 0 || m_acceptThread.joinable())
        return false;
    // The stop signal: a datagram to a loopback socket the loop also waits on.
    const SOCKET stop = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (stop == INVALID_SOCKET ||
        bind(stop, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (stop != INVALID_SOCKET)
            closesocket(stop);
        return false;
    }
    m_stopHandle = static_cast<int>(stop);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void TcpListener::AcceptLoop() {
    const SOCKET listener = AsSocket(m_socket);
    const SOCKET stop = AsSocket(m_stopHandle);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        FD_SET(stop, &readable);
        if (select(0, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
            ADD_FAILURE() << "TcpListener: select: " << WSAGetLastError();
            return;
        }
        if (FD_ISSET(stop, &readable))
            return;
        const int accepted = AcceptAllWaiting(listener);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_accepted += accepted;
        }
        m_acceptedChanged.notify_all();
    }
}

int TcpListener::AcceptWaiting() {
    if (m_socket < 0 || m_acceptThread.joinable()) {
        ADD_FAILURE() << "TcpListener: AcceptWaiting needs an open listener without accept loop";
        return -1;
    }
    return AcceptAllWaiting(AsSocket(m_socket));
}

void TcpListener::Close() {
    if (m_acceptThread.joinable()) {
        const SOCKET stop = AsSocket(m_stopHandle);
        sockaddr_in address{};
        int length = sizeof address;
        const char wake = 1;
        if (getsockname(stop, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
            sendto(stop, &wake, 1, 0, reinterpret_cast<const sockaddr *>(&address), length) != 1)
            ADD_FAILURE() << "TcpListener: cannot stop the accept loop";
        m_acceptThread.join();
    }
    if (m_stopHandle >= 0) {
        closesocket(AsSocket(m_stopHandle));
        m_stopHandle = -1;
    }
    if (m_socket >= 0) {
        closesocket(AsSocket(m_socket));
        m_socket = -1;
    }
}

}  // namespace zntest
