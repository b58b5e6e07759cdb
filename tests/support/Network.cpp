#include "support/Network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace zntest {

TcpListener::TcpListener(const std::string &host, unsigned port) : m_host(host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (port > 65535 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        ADD_FAILURE() << "TcpListener: bad address " << host << ":" << port;
        return;
    }
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        ADD_FAILURE() << "TcpListener: socket: " << std::strerror(errno);
        return;
    }
    const int on = 1;
    setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof address;
    if (bind(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(m_socket, SOMAXCONN) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ADD_FAILURE() << "TcpListener: cannot listen on " << host << ":" << port << ": "
                      << std::strerror(errno);
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
    m_stopHandle = eventfd(0, EFD_CLOEXEC);
    if (m_stopHandle < 0)
        return false;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void TcpListener::AcceptLoop() {
    pollfd waits[2] = {{m_socket, POLLIN, 0}, {m_stopHandle, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            ADD_FAILURE() << "TcpListener: poll: " << std::strerror(errno);
            return;
        }
        if (waits[1].revents != 0)
            return;
        if (waits[0].revents == 0)
            continue;
        const int connection = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            // The peer may have given up meanwhile; anything else would spin.
            if (errno == ECONNABORTED || errno == EINTR || errno == EAGAIN)
                continue;
            ADD_FAILURE() << "TcpListener: accept: " << std::strerror(errno);
            return;
        }
        close(connection);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_accepted;
        }
        m_acceptedChanged.notify_all();
    }
}

int TcpListener::AcceptWaiting() {
    if (m_socket < 0 || m_acceptThread.joinable()) {
        ADD_FAILURE() << "TcpListener: AcceptWaiting needs an open listener without accept loop";
        return -1;
    }
    int count = 0;
    pollfd wait = {m_socket, POLLIN, 0};
    while (poll(&wait, 1, 0) == 1) {
        const int connection = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            break;
        close(connection);
        ++count;
    }
    return count;
}

void TcpListener::Close() {
    if (m_acceptThread.joinable()) {
        if (eventfd_write(m_stopHandle, 1) != 0) {
            ADD_FAILURE() << "TcpListener: cannot stop the accept loop";
        }
        m_acceptThread.join();
    }
    if (m_stopHandle >= 0) {
        close(m_stopHandle);
        m_stopHandle = -1;
    }
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
}

}  // namespace zntest
