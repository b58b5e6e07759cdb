// The network helpers of the tests on Winsock (the other builds' version uses
// poll and an eventfd). The guard against a default route reads the same
// kernel tables, through Wine's view of the Linux file system.
#include "support/Network.h"

// winsock2.h before windows.h, which would bring the old Winsock in.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

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

std::string ConnectivityHostName1() {
    return EnvironmentValue("ZEMBRIXNET_CONNECTIVITY_HOST1");
}
std::string ConnectivityHostName2() {
    return EnvironmentValue("ZEMBRIXNET_CONNECTIVITY_HOST2");
}

std::string FindDefaultRoute(const std::string &ipv4Routes, const std::string &ipv6Routes) {
    std::istringstream ipv4(ipv4Routes);
    for (std::string line; std::getline(ipv4, line);) {
        std::vector<std::string> f = Fields(line);
        if (f.size() >= 2 && f[0] != "Iface" && f[1] == "00000000")
            return "IPv4 default route on " + f[0];
    }
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
    // Wine shows the Linux root as drive Z:.
    if (!ReadFile("Z:/proc/net/route", &ipv4))
        FAIL() << "cannot read /proc/net/route to check for a default route";
    ReadFile("Z:/proc/net/ipv6_route", &ipv6);
    const std::string found = FindDefaultRoute(ipv4, ipv6);
    if (!found.empty())
        FAIL() << "default route found (" << found << "): run the tests through scripts/netns-run";
}

bool RegisterIsolatedNetworkCheck() {
    static const bool registered =
        (::testing::AddGlobalTestEnvironment(new IsolatedNetworkEnvironment), true);
    return registered;
}

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

bool TcpListener::WaitForAccepted(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_acceptedChanged.wait_for(lock, timeout, [&] { return m_accepted.load() >= count; });
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
