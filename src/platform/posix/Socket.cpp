#include "platform/Socket.h"

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
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/Nat64.h"
#include "platform/posix/Resolver.h"

namespace zn {

namespace {

using Clock = std::chrono::steady_clock;

// RFC 8305's connection attempt delay: the next address is tried when the
// last has not connected within it.
constexpr auto kAttemptDelay = std::chrono::milliseconds(250);

// True when the host has no route to the IPv4 address, as on an IPv6-only
// network: a UDP connect only asks the routing table, it sends nothing.
bool NoIpv4Route(const sockaddr_in &address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return false;
    sockaddr_in to = address;
    to.sin_port = htons(9);
    const bool none = connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 &&
                      errno == ENETUNREACH;
    close(fd);
    return none;
}

// How long a prefix found (or found missing) is trusted: about a check run,
// short enough that a change of network is seen soon after.
constexpr auto kNat64PrefixLife = std::chrono::seconds(30);

// What the discovery of a NAT64 prefix came to.
enum class Nat64Discovery { Found, None, Unknown };

// The network's NAT64 prefix: the last one found while it is fresh, else
// looked up (the IPv6 addresses of "ipv4only.arpa") within the connect's
// limits. Only an answer is kept: a lookup that a cancel, the deadline or
// silent name servers ended leaves nothing known (Unknown).
Nat64Discovery DiscoverNat64Prefix(int cancelHandle, bool limited, Clock::time_point deadline,
                                   Nat64Prefix *prefix) {
    struct Known {
        std::mutex lock;
        Clock::time_point until;
        Nat64Prefix prefix;  // no bits: none found
    };
    static Known known;
    {
        const std::lock_guard<std::mutex> hold(known.lock);
        if (Clock::now() < known.until) {
            *prefix = known.prefix;
            return prefix->bits != 0 ? Nat64Discovery::Found : Nat64Discovery::None;
        }
    }
    std::vector<Candidate> records;
    ConnectFailure failure = ConnectFailure::Other;
    const bool answered =
        ResolveAddresses("ipv4only.arpa", cancelHandle, limited, deadline, &records, &failure) ||
        failure == ConnectFailure::NameNotFound;
    pollfd cancel{cancelHandle, POLLIN, 0};
    if (!answered || poll(&cancel, 1, 0) != 0 || (limited && Clock::now() >= deadline))
        return Nat64Discovery::Unknown;
    std::vector<Ipv6Bytes> addresses;
    for (const Candidate &record : records) {
        if (record.family() != AF_INET6)
            continue;
        addresses.emplace_back();
        std::memcpy(addresses.back().data(),
                    &reinterpret_cast<const sockaddr_in6 *>(&record.address)->sin6_addr, 16);
    }
    if (!FindNat64Prefix(addresses, prefix))
        *prefix = Nat64Prefix();
    const std::lock_guard<std::mutex> hold(known.lock);
    known.until = Clock::now() + kNat64PrefixLife;
    known.prefix = *prefix;
    return prefix->bits != 0 ? Nat64Discovery::Found : Nat64Discovery::None;
}

// Puts the NAT64 address of each IPv4 candidate the host has no route to in
// its place, where the network has a NAT64 prefix; left as they are, they
// fail as unreachable, as they always did. With an IPv4 route nothing
// changes and nothing is looked up. False when the lookup ran out of time.
bool ReachIpv4ThroughNat64(std::vector<Candidate> &candidates, int cancelHandle, bool limited,
                           Clock::time_point deadline) {
    bool looked = false;
    Nat64Discovery found = Nat64Discovery::None;
    Nat64Prefix prefix;
    for (Candidate &candidate : candidates) {
        if (candidate.family() != AF_INET)
            continue;
        const sockaddr_in v4 = *reinterpret_cast<const sockaddr_in *>(&candidate.address);
        if (!NoIpv4Route(v4))
            continue;
        if (!looked) {
            found = DiscoverNat64Prefix(cancelHandle, limited, deadline, &prefix);
            looked = true;
        }
        if (found != Nat64Discovery::Found)
            return !limited || Clock::now() < deadline;
        Ipv4Bytes ipv4;
        std::memcpy(ipv4.data(), &v4.sin_addr, ipv4.size());
        const Ipv6Bytes synthesized = SynthesizeNat64(prefix, ipv4);
        candidate = Candidate();
        sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(&candidate.address);
        v6->sin6_family = AF_INET6;
        std::memcpy(&v6->sin6_addr, synthesized.data(), synthesized.size());
        candidate.length = sizeof *v6;
    }
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

// Connects to the candidates in the manner of Happy Eyeballs (RFC 8305):
// one after the other, the next started once the last has failed or has not
// connected within kAttemptDelay; the first to connect wins and the others
// are closed. An IPv4 candidate takes ipv4Socket (the socket Create made)
// first, so a dotted address connects exactly as it always has. *winner: the
// connected descriptor.
ConnectFailure ConnectFirst(std::vector<Candidate> &candidates, uint16_t port, int ipv4Socket,
                            int cancel, bool limited, Clock::time_point deadline, int *winner) {
    // waits[0] is the cancel handle, then one entry per connect in progress.
    std::vector<pollfd> waits{{cancel, POLLIN, 0}};
    // Nothing is allocated once a socket is open.
    waits.reserve(candidates.size() + 1);
    const auto closeAttempt = [ipv4Socket](int fd) {
        if (fd != ipv4Socket)
            close(fd);
    };
    const auto end = [&](ConnectFailure failure, int connected) {
        for (size_t i = 1; i < waits.size(); ++i) {
            if (waits[i].fd != connected)
                closeAttempt(waits[i].fd);
        }
        *winner = connected;
        return failure;
    };
    ConnectFailure failure = ConnectFailure::Other;
    bool ipv4SocketUsed = false;
    size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    for (;;) {
        while (next < candidates.size() && (waits.size() == 1 || Clock::now() >= nextStart)) {
            Candidate &candidate = candidates[next++];
            const bool useIpv4Socket = candidate.family() == AF_INET && !ipv4SocketUsed;
            ipv4SocketUsed = ipv4SocketUsed || useIpv4Socket;
            const int fd = useIpv4Socket
                               ? ipv4Socket
                               : socket(candidate.family(),
                                        SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0)
                continue;
            if (candidate.family() == AF_INET)
                reinterpret_cast<sockaddr_in *>(&candidate.address)->sin_port = htons(port);
            else
                reinterpret_cast<sockaddr_in6 *>(&candidate.address)->sin6_port = htons(port);
            if (connect(fd, reinterpret_cast<const sockaddr *>(&candidate.address),
                        candidate.length) == 0)
                return end(ConnectFailure::None, fd);
            // EINTR: the connect goes on in the background, as EINPROGRESS.
            if (errno != EINPROGRESS && errno != EINTR) {
                failure = FailureOf(errno);
                closeAttempt(fd);
                continue;  // the next address at once
            }
            waits.push_back({fd, POLLOUT, 0});
            nextStart = Clock::now() + kAttemptDelay;
        }
        if (waits.size() == 1)
            return end(failure, -1);  // every address failed

        int timeout = PollTimeout(limited, deadline);
        if (next < candidates.size()) {
            // Rounded up, so that the wait does not end just before the delay.
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(nextStart - Clock::now()).count();
            const int delay = static_cast<int>(std::max<long long>(left, 0));
            timeout = timeout < 0 ? delay : std::min(timeout, delay);
        }
        const int ready = poll(waits.data(), waits.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return end(ConnectFailure::Other, -1);
        }
        // A cancel wins over a connect that completed at the same moment.
        if (waits[0].revents != 0)
            return end(ConnectFailure::Cancelled, -1);
        if (ready == 0 && limited && Clock::now() >= deadline)
            return end(ConnectFailure::TimedOut, -1);
        for (size_t i = 1; i < waits.size();) {
            if (waits[i].revents == 0) {
                ++i;
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(waits[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = -1;
            if (error == 0)
                return end(ConnectFailure::None, waits[i].fd);
            failure = error < 0 ? ConnectFailure::Other : FailureOf(error);
            closeAttempt(waits[i].fd);
            waits.erase(waits.begin() + static_cast<std::ptrdiff_t>(i));
        }
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

    std::vector<Candidate> candidates;
    const int cancel = static_cast<int>(m_cancelHandle);
    bool resolved = false;
    bool inTime = true;
    ConnectFailure lookupFailure = ConnectFailure::Other;
    try {
        resolved = ResolveAddresses(host, cancel, limited, deadline, &candidates, &lookupFailure);
        inTime = !resolved || ReachIpv4ThroughNat64(candidates, cancel, limited, deadline);
    } catch (...) {
        // Out of memory: no address to try, or those found as they are.
    }
    if (!resolved) {
        m_lastFailure = m_cancelled.load() ? ConnectFailure::Cancelled : lookupFailure;
        return false;
    }
    // A cancel that came just as the name was found.
    if (m_cancelled.load())
        return Ended(ConnectFailure::Cancelled);
    if (!inTime)
        return Ended(ConnectFailure::TimedOut);

    int winner = -1;
    ConnectFailure failure = ConnectFailure::Other;
    try {
        failure = ConnectFirst(candidates, static_cast<uint16_t>(port), static_cast<int>(m_socket),
                               cancel, limited, deadline, &winner);
    } catch (...) {
        // Out of memory before any connect began.
    }
    if (winner >= 0 && winner != m_socket) {
        Close();
        m_socket = winner;
    }
    return Ended(failure);
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
