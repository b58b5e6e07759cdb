#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zn {

namespace {

// First IPv4 address of a dotted address or a host name.
bool ResolveIPv4(const std::string &host, in_addr *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return false;
    bool ok = false;
    for (addrinfo *entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            *address = reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr;
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

}  // namespace

bool InitSocketLayer() {
    return true;
}

StreamSocket::StreamSocket() : m_cancelHandle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StreamSocket::~StreamSocket() {
    Close();
    if (m_cancelHandle >= 0)
        close(m_cancelHandle);
}

bool StreamSocket::Create() {
    Close();
    // Without its cancel handle a connect could hang for minutes beyond any
    // cancel: better no socket at all.
    if (m_cancelHandle < 0)
        return false;
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    return m_socket >= 0;
}

bool StreamSocket::Connect(const std::string &host, unsigned port) {
    if (m_socket < 0 || port == 0 || port > 65535 || m_cancelled.load())
        return false;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!ResolveIPv4(host, &address.sin_addr))
        return false;
    // A cancel that came while the name was being resolved.
    if (m_cancelled.load())
        return false;

    if (connect(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        return true;
    }
    // EINTR: the connect goes on in the background, as EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR)
        return false;

    pollfd waits[2] = {{m_socket, POLLOUT, 0}, {m_cancelHandle, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        // A cancel wins over a connect that completed at the same moment.
        if (waits[1].revents != 0)
            return false;
        if (waits[0].revents != 0)
            break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return false;
    return error == 0;
}

void StreamSocket::Close() {
    if (m_socket < 0)
        return;
    close(m_socket);
    m_socket = -1;
}

void StreamSocket::CancelBlockingCall() {
    m_cancelled.store(true);
    // The handle is never read, so once written it stays readable: a write
    // can fail only when the counter is already huge, i.e. readable anyway.
    if (m_cancelHandle >= 0)
        eventfd_write(m_cancelHandle, 1);
}

}  // namespace zn
