// The test servers' socket calls on POSIX: poll, and an eventfd to stop.
#include "support/PeerSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zntest {
namespace peersocket {

Handle Listen(const std::string &host, unsigned port, unsigned *boundPort, std::string *error) {
    sockaddr_storage address{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    socklen_t length = 0;
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    }
    if (port > 65535 || length == 0) {
        *error = "bad address";
        return kNone;
    }
    const int s = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (s < 0 || setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *error = std::strerror(errno);
        if (s >= 0)
            close(s);
        return kNone;
    }
    *boundPort = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return s;
}

Handle Accept(Handle listener, bool *failed) {
    const int connection =
        accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    // The peer may have given up meanwhile; anything else would recur.
    *failed = connection < 0 && errno != ECONNABORTED && errno != EINTR && errno != EAGAIN;
    return connection < 0 ? kNone : connection;
}

long Receive(Handle connection, char *buffer, size_t size) {
    return read(static_cast<int>(connection), buffer, size);
}

long Send(Handle connection, const char *data, size_t size) {
    const ssize_t n = send(static_cast<int>(connection), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : n;
}

void Close(Handle socket, bool abortive) {
    if (abortive) {
        const linger reset = {1, 0};
        setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(static_cast<int>(socket));
}

Handle OpenStopSignal() {
    const int event = eventfd(0, EFD_CLOEXEC);
    return event < 0 ? kNone : event;
}

bool RaiseStopSignal(Handle stop) {
    return eventfd_write(static_cast<int>(stop), 1) == 0;
}

Wait Await(Handle socket, bool writable, Handle stop, int timeoutMs) {
    pollfd waits[2] = {
        {static_cast<int>(stop), POLLIN, 0},
        {static_cast<int>(socket), static_cast<short>(writable ? POLLOUT : POLLIN), 0}};
    int ready;
    do {
        ready = poll(waits, socket == kNone ? 1 : 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return Wait::Failed;
    if (waits[0].revents)
        return Wait::Stopped;
    return ready == 0 ? Wait::TimedOut : Wait::Ready;
}

}  // namespace peersocket
}  // namespace zntest
