#include "platform/Socket.h"

// winsock2.h before windows.h, which would bring the old Winsock in.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <string>

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

// One name lookup on a thread of its own, since the system's lookup cannot be
// cut short: the asking thread waits for it together with its cancel event
// and may leave it behind. The lookup and the asker share this record; the
// last one out frees it.
struct Lookup {
    std::string host;
    HANDLE done = nullptr;
    bool found = false;
    in_addr address{};
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

bool FirstIPv4(const char *host, int flags, in_addr *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0)
        return false;
    bool found = false;
    for (addrinfo *node = result; node && !found; node = node->ai_next) {
        if (node->ai_family == AF_INET && node->ai_addr) {
            *address = reinterpret_cast<const sockaddr_in *>(node->ai_addr)->sin_addr;
            found = true;
        }
    }
    freeaddrinfo(result);
    return found;
}

void LookupThread(void *parameter) {
    Lookup *lookup = static_cast<Lookup *>(parameter);
    lookup->found = FirstIPv4(lookup->host.c_str(), 0, &lookup->address);
    SetEvent(lookup->done);
    lookup->Release();
}

// First IPv4 address of a dotted address or a host name; a cancel or the
// deadline ends the wait for a lookup.
bool ResolveIPv4(const std::string &host, HANDLE cancel, bool limited, Clock::time_point deadline,
                 in_addr *address) {
    // An empty name would give the machine's own addresses here.
    if (host.empty())
        return false;
    if (FirstIPv4(host.c_str(), AI_NUMERICHOST, address))
        return true;
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
    const bool found = woke == WAIT_OBJECT_0 && lookup->found;
    if (found)
        *address = lookup->address;
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

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (!ResolveIPv4(host, cancel, limited, deadline, &address.sin_addr)) {
        m_lastFailure = m_cancelled.load()                    ? ConnectFailure::Cancelled
                        : limited && Clock::now() >= deadline ? ConnectFailure::TimedOut
                                                              : ConnectFailure::NameNotFound;
        return false;
    }
    // A cancel that came just as the name was found.
    if (m_cancelled.load())
        return Ended(ConnectFailure::Cancelled);

    // The connect's completion is an event, waited on together with the
    // cancel event; selecting it makes the socket non-blocking.
    WSAEVENT connected = WSACreateEvent();
    if (connected == WSA_INVALID_EVENT)
        return false;
    ConnectFailure failure = ConnectFailure::Other;
    if (WSAEventSelect(s, connected, FD_CONNECT) == 0) {
        if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            failure = ConnectFailure::None;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            HANDLE waits[2] = {cancel, connected};
            // A cancel wins over a connect that completed at the same moment
            // (the first signalled handle is the one reported).
            const DWORD woke =
                WaitForMultipleObjects(2, waits, FALSE, WaitTimeout(limited, deadline));
            WSANETWORKEVENTS events{};
            if (woke == WAIT_OBJECT_0)
                failure = ConnectFailure::Cancelled;
            else if (woke == WAIT_TIMEOUT)
                failure = ConnectFailure::TimedOut;
            else if (woke == WAIT_OBJECT_0 + 1 &&
                     WSAEnumNetworkEvents(s, connected, &events) == 0 &&
                     (events.lNetworkEvents & FD_CONNECT) != 0)
                failure = FailureOf(events.iErrorCode[FD_CONNECT_BIT]);
        } else {
            failure = FailureOf(WSAGetLastError());
        }
    }
    WSAEventSelect(s, nullptr, 0);
    WSACloseEvent(connected);
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
