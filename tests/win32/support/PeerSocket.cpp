// The test servers' socket calls on Winsock (the other builds' version uses
// poll and an eventfd); the stop signal is a datagram to a loopback socket
// that every wait watches too.
#include "support/PeerSocket.h"

// winsock2.h before windows.h, which would bring the old Winsock in.
#include <winsock2.h>

#include <ws2tcpip.h>

namespace zntest {
namespace peersocket {

namespace {

SOCKET AsSocket(Handle handle) {
    return static_cast<SOCKET>(handle);
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

Handle Listen(const std::string &host, unsigned port, unsigned *boundPort, std::string *error) {
    sockaddr_storage address{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    int length = 0;
    if (StartWinsock() && inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<u_short>(port));
        length = sizeof *v4;
    } else if (StartWinsock() && inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<u_short>(port));
        length = sizeof *v6;
    }
    if (port > 65535 || length == 0) {
        *error = "bad address";
        return kNone;
    }
    const SOCKET s = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *error = "Winsock error " + std::to_string(WSAGetLastError());
        if (s != INVALID_SOCKET)
            closesocket(s);
        return kNone;
    }
    *boundPort = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return static_cast<Handle>(s);
}

Handle Accept(Handle listener, bool *failed) {
    // Non-blocking, as the listener is.
    const SOCKET connection = accept(AsSocket(listener), nullptr, nullptr);
    // The peer may have given up meanwhile; anything else would recur.
    const int error = connection == INVALID_SOCKET ? WSAGetLastError() : 0;
    *failed = error != 0 && error != WSAECONNRESET && error != WSAEWOULDBLOCK && error != WSAEINTR;
    return connection == INVALID_SOCKET ? kNone : static_cast<Handle>(connection);
}

long Receive(Handle connection, char *buffer, size_t size) {
    return recv(AsSocket(connection), buffer, static_cast<int>(size), 0);
}

long Send(Handle connection, const char *data, size_t size) {
    const int n = send(AsSocket(connection), data, static_cast<int>(size), 0);
    return n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : n;
}

void Close(Handle socket, bool abortive) {
    if (abortive) {
        const linger reset = {1, 0};
        setsockopt(AsSocket(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset),
                   sizeof reset);
    }
    closesocket(AsSocket(socket));
}

Handle OpenStopSignal() {
    const SOCKET s = StartWinsock() ? socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP) : INVALID_SOCKET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s != INVALID_SOCKET &&
        bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return static_cast<Handle>(s);
    if (s != INVALID_SOCKET)
        closesocket(s);
    return kNone;
}

bool RaiseStopSignal(Handle stop) {
    sockaddr_in address{};
    int length = sizeof address;
    const char wake = 1;
    return getsockname(AsSocket(stop), reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
           sendto(AsSocket(stop), &wake, 1, 0, reinterpret_cast<const sockaddr *>(&address),
                  length) == 1;
}

Wait Await(Handle socket, bool writable, Handle stop, int timeoutMs) {
    fd_set readable, writableSet;
    FD_ZERO(&readable);
    FD_ZERO(&writableSet);
    FD_SET(AsSocket(stop), &readable);
    if (socket != kNone)
        FD_SET(AsSocket(socket), writable ? &writableSet : &readable);
    timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = select(0, &readable, &writableSet, nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR)
        return Wait::Failed;
    if (FD_ISSET(AsSocket(stop), &readable))
        return Wait::Stopped;
    return ready == 0 ? Wait::TimedOut : Wait::Ready;
}

}  // namespace peersocket
}  // namespace zntest
