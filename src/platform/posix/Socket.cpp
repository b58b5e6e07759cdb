#include "platform/Socket.h"

#include <ares.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

namespace zn {

namespace {

using Clock = std::chrono::steady_clock;

// The resolver library is started once per process, on first use and never
// from a static constructor; it registers no exit handler and is never
// cleaned up, so a probe thread still resolving at exit finds it intact.
bool StartResolverLibrary() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS; });
    return started;
}

// Milliseconds left before the deadline for poll: -1 without one.
int PollTimeout(bool limited, Clock::time_point deadline) {
    if (!limited)
        return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

struct Lookup {
    bool done = false;
    bool found = false;
    in_addr address{};
    int status = ARES_ETIMEOUT;  // the resolver's answer; time-out until one came
};

void OnLookupDone(void *arg, int status, int, ares_addrinfo *result) {
    Lookup *lookup = static_cast<Lookup *>(arg);
    lookup->done = true;
    lookup->status = status;
    if (status == ARES_SUCCESS && result) {
        for (ares_addrinfo_node *node = result->nodes; node; node = node->ai_next) {
            if (node->ai_family == AF_INET && node->ai_addr) {
                lookup->address = reinterpret_cast<const sockaddr_in *>(node->ai_addr)->sin_addr;
                lookup->found = true;
                break;
            }
        }
    }
    if (result)
        ares_freeaddrinfo(result);
}

// A resolver channel on which a lookup limited to the deadline asks every
// configured name server in turn before it: each server's time-out is its
// share of the time left (never longer than the configuration's own), so a
// silent first server leaves the others their turn. Rounds beyond the first
// only where they fit. Without a limit, the configuration as it is.
bool OpenChannel(bool limited, Clock::time_point deadline, ares_channel *channel) {
    ares_options options{};
    if (ares_init_options(channel, &options, 0) != ARES_SUCCESS)
        return false;
    if (!limited)
        return true;
    int servers = 0;
    ares_addr_node *list = nullptr;
    if (ares_get_servers(*channel, &list) == ARES_SUCCESS) {
        for (const ares_addr_node *node = list; node; node = node->next)
            ++servers;
    }
    ares_free_data(list);
    int optionMask = 0;
    if (ares_save_options(*channel, &options, &optionMask) != ARES_SUCCESS)
        return true;  // the configuration's time-outs: still a working channel
    ares_destroy(*channel);
    *channel = nullptr;
    // A tenth of the time is left for the connect, and for a lookup that
    // found nothing to end as its own failure rather than the caller's time-out.
    const int share = PollTimeout(true, deadline) / 10 * 9 / std::max(servers, 1);
    ares_options limits{};
    limits.timeout = std::max(1, std::min(options.timeout, share));
    limits.tries = std::max(1, std::min(options.tries, share / limits.timeout));
    ares_destroy_options(&options);
    return ares_init_options(channel, &limits, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) == ARES_SUCCESS;
}

// Why a lookup found nothing, from the resolver's status: no such name, or
// no (usable) answer from the name servers.
ConnectFailure LookupFailureOf(int status) {
    switch (status) {
        case ARES_ENOTFOUND:
        case ARES_ENODATA:
        case ARES_ENONAME:
        case ARES_EBADNAME:
            return ConnectFailure::NameNotFound;
        case ARES_ETIMEOUT:
        case ARES_ECONNREFUSED:
        case ARES_ESERVFAIL:
        case ARES_EREFUSED:
            return ConnectFailure::NameServersSilent;
        default:
            return ConnectFailure::Other;
    }
}

// First IPv4 address of a dotted address or a host name. The name is looked
// up as the system would (hosts file, then the resolver configuration), but
// on this thread and without blocking, so that the cancel handle or the
// deadline ends a lookup whose name server never answers. *failure: why
// nothing was found.
bool ResolveIPv4(const std::string &host, int cancelHandle, bool limited,
                 Clock::time_point deadline, in_addr *address, ConnectFailure *failure) {
    *failure = ConnectFailure::Other;
    if (inet_aton(host.c_str(), address) != 0)
        return true;
    if (!StartResolverLibrary())
        return false;
    ares_channel channel = nullptr;
    if (!OpenChannel(limited, deadline, &channel))
        return false;
    Lookup lookup;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ares_getaddrinfo(channel, host.c_str(), nullptr, &hints, OnLookupDone, &lookup);

    while (!lookup.done) {
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
        pollfd waits[ARES_GETSOCK_MAXNUM + 1];
        nfds_t count = 0;
        waits[count++] = {cancelHandle, POLLIN, 0};
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(bits, i))
                events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(bits, i))
                events |= POLLOUT;
            if (events != 0)
                waits[count++] = {sockets[i], events, 0};
        }
        timeval resolverWait{};
        const timeval *next = ares_timeout(channel, nullptr, &resolverWait);
        int timeout = PollTimeout(limited, deadline);
        if (next) {
            const long long ms = next->tv_sec * 1000LL + (next->tv_usec + 999) / 1000;
            if (timeout < 0 || ms < timeout)
                timeout = static_cast<int>(std::min<long long>(ms, INT_MAX));
        } else if (count == 1) {
            break;  // nothing to wait for: no answer will come
        }
        const int ready = poll(waits, count, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (waits[0].revents != 0 || (limited && Clock::now() >= deadline))
            break;
        bool processed = false;
        bool broken = false;
        for (nfds_t i = 1; i < count && ready > 0; ++i) {
            if (waits[i].revents == 0)
                continue;
            broken = broken || (waits[i].revents & POLLNVAL) != 0;
            const bool readable = (waits[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool writable = (waits[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
            ares_process_fd(channel, readable ? waits[i].fd : ARES_SOCKET_BAD,
                            writable ? waits[i].fd : ARES_SOCKET_BAD);
            processed = true;
        }
        if (broken)
            break;  // a descriptor the resolver lost would wake every poll at once
        if (!processed)
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // its time-outs
    }
    // Ends a lookup still pending (its callback sees the channel go).
    const int status = lookup.status;
    ares_destroy(channel);
    if (!lookup.found) {
        *failure = LookupFailureOf(status);
        return false;
    }
    *address = lookup.address;
    return true;
}

ConnectFailure FailureOf(int error) {
    switch (error) {
        case 0:
            return ConnectFailure::None;
        case ECONNREFUSED:
            return ConnectFailure::Refused;
        case ETIMEDOUT:
            return ConnectFailure::TimedOut;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN:
            return ConnectFailure::Unreachable;
        default:
            return ConnectFailure::Other;
    }
}

}  // namespace

bool InitSocketLayer() {
    return true;
}

StreamSocket::StreamSocket() : m_cancelHandle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StreamSocket::~StreamSocket() {
    Close();
    if (m_cancelHandle >= 0)
        close(static_cast<int>(m_cancelHandle));
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

bool StreamSocket::Connect(const std::string &host, unsigned port, uint32_t timeoutMs) {
    m_lastFailure = ConnectFailure::Other;
    if (m_cancelled.load())
        m_lastFailure = ConnectFailure::Cancelled;
    if (m_socket < 0 || port == 0 || port > 65535 || m_cancelled.load())
        return false;
    const bool limited = timeoutMs != kInfinite;
    const Clock::time_point deadline =
        limited ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point();

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ConnectFailure lookupFailure = ConnectFailure::Other;
    if (!ResolveIPv4(host, static_cast<int>(m_cancelHandle), limited, deadline, &address.sin_addr,
                     &lookupFailure)) {
        m_lastFailure = m_cancelled.load() ? ConnectFailure::Cancelled : lookupFailure;
        return false;
    }
    // A cancel that came just as the name was found.
    if (m_cancelled.load())
        return Ended(ConnectFailure::Cancelled);

    const int fd = static_cast<int>(m_socket);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return Ended(ConnectFailure::None);
    // EINTR: the connect goes on in the background, as EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR)
        return Ended(FailureOf(errno));

    pollfd waits[2] = {{fd, POLLOUT, 0}, {static_cast<int>(m_cancelHandle), POLLIN, 0}};
    for (;;) {
        const int ready = poll(waits, 2, PollTimeout(limited, deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (ready == 0)
            return Ended(ConnectFailure::TimedOut);
        // A cancel wins over a connect that completed at the same moment.
        if (waits[1].revents != 0)
            return Ended(ConnectFailure::Cancelled);
        if (waits[0].revents != 0)
            break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return false;
    return Ended(FailureOf(error));
}

void StreamSocket::Close() {
    if (m_socket < 0)
        return;
    close(static_cast<int>(m_socket));
    m_socket = -1;
}

void StreamSocket::CancelBlockingCall() {
    m_cancelled.store(true);
    // The handle is never read, so once written it stays readable: a write
    // can fail only when the counter is already huge, i.e. readable anyway.
    if (m_cancelHandle >= 0)
        eventfd_write(static_cast<int>(m_cancelHandle), 1);
}

}  // namespace zn
