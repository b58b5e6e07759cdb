#include "platform/Socket.h"

// winsock2.h before windows.h, which would bring the old Winsock in.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/SocketShared.h"
#include "platform/Thread.h"

namespace zn {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left before the deadline for a wait: INFINITE without one.
DWORD WaitTimeout(bool limited, Clock::time_point deadline) {
    if (!limited)
        return INFINITE;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
}

// RFC 8305's connection attempt delay: the next address is tried when the
// last has not connected within it.
constexpr DWORD kAttemptDelayMs = 250;
// With the cancel event the addresses tried stay within what one wait takes.
static_assert(kMaxAddressesTried < MAXIMUM_WAIT_OBJECTS, "one wait covers every attempt");

// One address a connect may try.
struct Candidate {
    sockaddr_storage address{};
    int length = 0;
    int family() const { return address.ss_family; }
};

// One name lookup on a thread of its own, since the system's lookup cannot be
// cut short: the asking thread waits for it together with its cancel event
// and may leave it behind. The lookup and the asker share this record; the
// last one out frees it.
struct Lookup {
    std::string host;
    HANDLE done = nullptr;
    std::vector<Candidate> found;
    LONG references = 2;

    ~Lookup() {
        if (done)
            CloseHandle(done);
    }
    void Release() {
        if (InterlockedDecrement(&references) == 0)
            delete this;
    }
};

// The IPv4 and IPv6 addresses the system gives for host (family: AF_INET,
// AF_INET6 or AF_UNSPEC), in its order.
std::vector<Candidate> SystemAddresses(const char *host, int family, int flags) {
    std::vector<Candidate> found;
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0)
        return found;
    try {
        for (addrinfo *node = result; node; node = node->ai_next) {
            const size_t length = node->ai_family == AF_INET    ? sizeof(sockaddr_in)
                                  : node->ai_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                : 0;
            if (length == 0 || !node->ai_addr || node->ai_addrlen < length)
                continue;
            Candidate candidate;
            candidate.length = static_cast<int>(length);
            std::memcpy(&candidate.address, node->ai_addr, length);
            found.push_back(candidate);
        }
    } catch (...) {
        // Out of memory: the addresses kept so far are tried.
    }
    freeaddrinfo(result);
    return found;
}

void LookupThread(void *parameter) {
    Lookup *lookup = static_cast<Lookup *>(parameter);
    lookup->found = SystemAddresses(lookup->host.c_str(), AF_UNSPEC, 0);
    SetEvent(lookup->done);
    lookup->Release();
}

// True when the host has no route to the IPv4 address, as on an IPv6-only
// network: a UDP connect only asks the routing table, it sends nothing.
bool NoIpv4Route(const sockaddr_in &address) {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in to = address;
    to.sin_port = htons(9);
    const bool none = connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 &&
                      WSAGetLastError() == WSAENETUNREACH;
    closesocket(s);
    return none;
}

// The addresses of a dotted IPv4 address, an IPv6 literal or a host name (its
// IPv6 and IPv4 addresses, asked for at once), in the order to try them; a
// cancel or the deadline ends the wait for a lookup. A dotted address the
// host has no route to is looked up as a name: on an IPv6-only network with
// NAT64 the system gives the address that reaches it (its own synthesis, or
// its IPv4 address again, which fails as unreachable as it always did).
bool ResolveAddresses(const std::string &host, HANDLE cancel, bool limited,
                      Clock::time_point deadline, std::vector<Candidate> *addresses) {
    // An empty name would give the machine's own addresses here; a zone id
    // ("fe80::1%2") names an interface of whoever wrote it; brackets belong
    // to an address's text in a list, not to the address (the system would
    // take "[::1]", other platforms do not).
    if (host.empty() || host.find_first_of("%[]") != std::string::npos)
        return false;
    for (const int family : {AF_INET, AF_INET6}) {
        std::vector<Candidate> literal = SystemAddresses(host.c_str(), family, AI_NUMERICHOST);
        if (!literal.empty() && family == AF_INET &&
            NoIpv4Route(*reinterpret_cast<const sockaddr_in *>(&literal.front().address)))
            break;
        if (!literal.empty()) {
            addresses->assign(1, literal.front());
            return true;
        }
    }
    Lookup *lookup = new (std::nothrow) Lookup;
    if (!lookup)
        return false;
    try {
        lookup->host = host;
    } catch (...) {
        delete lookup;
        return false;
    }
    lookup->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Nobody joins the lookup: it holds the library itself while it runs.
    SystemThread thread;
    if (!lookup->done || !thread.Start(LookupThread, lookup)) {
        delete lookup;
        return false;
    }
    thread.Detach();
    HANDLE waits[2] = {lookup->done, cancel};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, WaitTimeout(limited, deadline));
    bool found = false;
    if (woke == WAIT_OBJECT_0) {
        try {
            *addresses = InterleaveFamilies(lookup->found, AF_INET6);
            found = !addresses->empty();
        } catch (...) {
        }
    }
    lookup->Release();
    return found;
}

ConnectFailure FailureOf(int error) {
    switch (error) {
        case 0:
            return ConnectFailure::None;
        case WSAECONNREFUSED:
            return ConnectFailure::Refused;
        case WSAETIMEDOUT:
            return ConnectFailure::TimedOut;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEHOSTDOWN:
            return ConnectFailure::Unreachable;
        default:
            return ConnectFailure::Other;
    }
}

// Connects to the candidates in the manner of Happy Eyeballs (RFC 8305):
// one after the other, the next started once the last has failed or has not
// connected within kAttemptDelayMs; the first to connect wins and the others
// are closed. An IPv4 candidate takes ipv4Socket (the socket Create made)
// first, so a dotted address connects exactly as it always has. Each
// connect's completion is an event, waited on together with the cancel
// event; selecting it makes the socket non-blocking. *winner: the connected
// socket.
ConnectFailure ConnectFirst(std::vector<Candidate> &candidates, u_short port, SOCKET ipv4Socket,
                            HANDLE cancel, bool limited, Clock::time_point deadline,
                            SOCKET *winner) {
    struct Attempt {
        SOCKET socket;
        WSAEVENT event;
    };
    std::vector<Attempt> attempts;
    // Nothing is allocated once a socket is open.
    attempts.reserve(candidates.size());
    const auto finish = [ipv4Socket](const Attempt &attempt, bool keep) {
        WSAEventSelect(attempt.socket, nullptr, 0);
        WSACloseEvent(attempt.event);
        if (!keep && attempt.socket != ipv4Socket)
            closesocket(attempt.socket);
    };
    const auto end = [&](ConnectFailure failure, SOCKET connected) {
        for (const Attempt &attempt : attempts)
            finish(attempt, attempt.socket == connected);
        *winner = connected;
        return failure;
    };
    ConnectFailure failure = ConnectFailure::Other;
    bool ipv4SocketUsed = false;
    size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    for (;;) {
        while (next < candidates.size() && (attempts.empty() || Clock::now() >= nextStart)) {
            Candidate &candidate = candidates[next++];
            const bool useIpv4Socket = candidate.family() == AF_INET && !ipv4SocketUsed;
            ipv4SocketUsed = ipv4SocketUsed || useIpv4Socket;
            const SOCKET s = useIpv4Socket
                                 ? ipv4Socket
                                 : WSASocketA(candidate.family(), SOCK_STREAM, IPPROTO_TCP, nullptr,
                                              0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
            if (s == INVALID_SOCKET)
                continue;
            const Attempt attempt = {s, WSACreateEvent()};
            if (attempt.event == WSA_INVALID_EVENT) {
                if (s != ipv4Socket)
                    closesocket(s);
                continue;
            }
            if (candidate.family() == AF_INET)
                reinterpret_cast<sockaddr_in *>(&candidate.address)->sin_port = htons(port);
            else
                reinterpret_cast<sockaddr_in6 *>(&candidate.address)->sin6_port = htons(port);
            attempts.push_back(attempt);
            if (WSAEventSelect(s, attempt.event, FD_CONNECT) != 0) {
                failure = ConnectFailure::Other;
            } else if (connect(s, reinterpret_cast<const sockaddr *>(&candidate.address),
                               candidate.length) == 0) {
                return end(ConnectFailure::None, s);
            } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
                nextStart = Clock::now() + std::chrono::milliseconds(kAttemptDelayMs);
                continue;
            } else {
                failure = FailureOf(WSAGetLastError());
            }
            finish(attempts.back(), false);
            attempts.pop_back();  // the next address at once
        }
        if (attempts.empty())
            return end(failure, INVALID_SOCKET);  // every address failed

        HANDLE waits[kMaxAddressesTried + 1] = {cancel};
        for (size_t i = 0; i < attempts.size(); ++i)
            waits[i + 1] = attempts[i].event;
        DWORD timeout = WaitTimeout(limited, deadline);
        if (next < candidates.size())
            timeout = std::min(timeout, WaitTimeout(true, nextStart));
        // A cancel wins over a connect that completed at the same moment
        // (the first signalled handle is the one reported).
        const DWORD woke =
            WaitForMultipleObjects(static_cast<DWORD>(attempts.size() + 1), waits, FALSE, timeout);
        if (woke == WAIT_OBJECT_0)
            return end(ConnectFailure::Cancelled, INVALID_SOCKET);
        if (woke == WAIT_TIMEOUT) {
            if (limited && Clock::now() >= deadline)
                return end(ConnectFailure::TimedOut, INVALID_SOCKET);
            continue;
        }
        if (woke > WAIT_OBJECT_0 + attempts.size())
            return end(ConnectFailure::Other, INVALID_SOCKET);
        const size_t index = woke - WAIT_OBJECT_0 - 1;
        const Attempt attempt = attempts[index];
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(attempt.socket, attempt.event, &events) == 0 &&
            (events.lNetworkEvents & FD_CONNECT) != 0) {
            failure = FailureOf(events.iErrorCode[FD_CONNECT_BIT]);
            if (failure == ConnectFailure::None)
                return end(ConnectFailure::None, attempt.socket);
        } else {
            failure = ConnectFailure::Other;
        }
        finish(attempt, false);
        attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

}  // namespace

// Once, as a static's initialisation (std::call_once would leave the thread
// library's record of the calling host thread behind at an unload).
bool InitSocketLayer() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

StreamSocket::StreamSocket()
    : m_cancelHandle(reinterpret_cast<intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
    if (m_cancelHandle == 0)
        m_cancelHandle = -1;
}

StreamSocket::~StreamSocket() {
    Close();
    if (m_cancelHandle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_cancelHandle));
}

bool StreamSocket::Create() {
    Close();
    // Without its cancel event a connect could hang for minutes beyond any
    // cancel: better no socket at all.
    // Started here too for users that never initialise the library (the
    // first start decides; later calls only look).
    if (m_cancelHandle == -1 || !InitSocketLayer())
        return false;
    const SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return false;
    m_socket = static_cast<intptr_t>(s);
    return true;
}

bool StreamSocket::Connect(const std::string &host, unsigned port, uint32_t timeoutMs) {
    m_lastFailure = m_cancelled.load() ? ConnectFailure::Cancelled : ConnectFailure::Other;
    if (m_socket == -1 || port == 0 || port > 65535 || m_cancelled.load())
        return false;
    const bool limited = timeoutMs != kInfinite;
    const Clock::time_point deadline =
        limited ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point();
    const HANDLE cancel = reinterpret_cast<HANDLE>(m_cancelHandle);
    const SOCKET s = static_cast<SOCKET>(m_socket);

    std::vector<Candidate> candidates;
    bool resolved = false;
    try {
        resolved = ResolveAddresses(host, cancel, limited, deadline, &candidates);
    } catch (...) {
        // Out of memory: no address to try.
    }
    if (!resolved) {
        m_lastFailure = m_cancelled.load()                    ? ConnectFailure::Cancelled
                        : limited && Clock::now() >= deadline ? ConnectFailure::TimedOut
                                                              : ConnectFailure::NameNotFound;
        return false;
    }
    // A cancel that came just as the name was found.
    if (m_cancelled.load())
        return Ended(ConnectFailure::Cancelled);

    SOCKET winner = INVALID_SOCKET;
    ConnectFailure failure = ConnectFailure::Other;
    try {
        failure = ConnectFirst(candidates, static_cast<u_short>(port), s, cancel, limited, deadline,
                               &winner);
    } catch (...) {
        // Out of memory before any connect began.
    }
    if (winner != INVALID_SOCKET && winner != s) {
        Close();
        m_socket = static_cast<intptr_t>(winner);
    }
    return Ended(failure);
}

void StreamSocket::Close() {
    if (m_socket == -1)
        return;
    closesocket(static_cast<SOCKET>(m_socket));
    m_socket = -1;
}

void StreamSocket::CancelBlockingCall() {
    m_cancelled.store(true);
    if (m_cancelHandle != -1)
        SetEvent(reinterpret_cast<HANDLE>(m_cancelHandle));
}

}  // namespace zn
