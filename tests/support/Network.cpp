#include "support/Network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace zntest {

namespace {

std::vector<std::string> Fields(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    std::string field;
    while (in >> field)
        fields.push_back(field);
    return fields;
}

bool ReadFile(const char *path, std::string *text) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    *text = out.str();
    return true;
}

std::string EnvironmentValue(const char *name) {
    const char *value = std::getenv(name);
    if (!value || !*value) {
        ADD_FAILURE() << name << " is not set: run the tests through scripts/netns-run";
        return std::string();
    }
    return value;
}

class IsolatedNetworkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { RequireIsolatedNetwork(); }
};

}  // namespace

std::string ConnectivityHostName1() {
    return EnvironmentValue("ZEMBRIXNET_CONNECTIVITY_HOST1");
}
std::string ConnectivityHostName2() {
    return EnvironmentValue("ZEMBRIXNET_CONNECTIVITY_HOST2");
}

std::string FindDefaultRoute(const std::string &ipv4Routes, const std::string &ipv6Routes) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the header
    // starts with "Iface". Any route to destination 0 counts, whatever its
    // mask: better a false alarm than a packet out.
    std::istringstream ipv4(ipv4Routes);
    for (std::string line; std::getline(ipv4, line);) {
        std::vector<std::string> f = Fields(line);
        if (f.size() >= 2 && f[0] != "Iface" && f[1] == "00000000") {
            return "IPv4 default route on " + f[0];
        }
    }
    // Destination, prefix length, source, source prefix length, next hop,
    // metric, reference count, use count, flags, interface.
    const std::string anyAddress(32, '0');
    const unsigned long rejectFlag = 0x0200;
    std::istringstream ipv6(ipv6Routes);
    for (std::string line; std::getline(ipv6, line);) {
        std::vector<std::string> f = Fields(line);
        if (f.size() < 10 || f[0] != anyAddress || f[1] != "00")
            continue;
        const bool reject = (std::strtoul(f[8].c_str(), nullptr, 16) & rejectFlag) != 0;
        if (f[9] != "lo" && !reject)
            return "IPv6 default route on " + f[9];
    }
    return std::string();
}

void RequireIsolatedNetwork() {
    std::string ipv4;
    std::string ipv6;
    if (!ReadFile("/proc/net/route", &ipv4)) {
        FAIL() << "cannot read /proc/net/route to check for a default route";
    }
    // A kernel without IPv6 has no such file, and no IPv6 route either.
    ReadFile("/proc/net/ipv6_route", &ipv6);
    const std::string found = FindDefaultRoute(ipv4, ipv6);
    if (!found.empty()) {
        FAIL() << "default route found (" << found << "): run the tests through scripts/netns-run";
    }
}

bool RegisterIsolatedNetworkCheck() {
    // gtest owns the environment from here on.
    static const bool registered =
        (::testing::AddGlobalTestEnvironment(new IsolatedNetworkEnvironment), true);
    return registered;
}

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

bool TcpListener::WaitForAccepted(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_acceptedChanged.wait_for(lock, timeout, [&] { return m_accepted.load() >= count; });
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
