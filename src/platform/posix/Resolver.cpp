// Name lookups of the probes: the hosts file and the name servers asked
// through c-ares on the calling thread, ended by a cancel handle or a deadline.

#include "platform/posix/Resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/SocketShared.h"

namespace zn {

using Clock = std::chrono::steady_clock;

int PollTimeout(bool limited, Clock::time_point deadline) {
    if (!limited)
        return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

namespace {

// The resolver library is started once per process, on first use and never
// from a static constructor; it registers no exit handler and is never
// cleaned up, so a probe thread still resolving at exit finds it intact.
bool StartResolverLibrary() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS; });
    return started;
}

struct Lookup {
    bool done = false;
    std::vector<Candidate> found;
    int status = ARES_ETIMEOUT;  // the resolver's answer; time-out until one came
};

void OnLookupDone(void *arg, int status, int, ares_addrinfo *result) {
    Lookup *lookup = static_cast<Lookup *>(arg);
    lookup->done = true;
    lookup->status = status;
    try {
        for (ares_addrinfo_node *node = status == ARES_SUCCESS && result ? result->nodes : nullptr;
             node; node = node->ai_next) {
            const socklen_t length = node->ai_family == AF_INET    ? sizeof(sockaddr_in)
                                     : node->ai_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                   : 0;
            if (length == 0 || !node->ai_addr || node->ai_addrlen < length)
                continue;
            Candidate candidate;
            candidate.length = length;
            std::memcpy(&candidate.address, node->ai_addr, length);
            lookup->found.push_back(candidate);
        }
    } catch (...) {
        // Out of memory: the addresses kept so far are tried.
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

}  // namespace

// The name is looked up as the system would (hosts file, then the resolver
// configuration), but on this thread and without blocking, so that the
// cancel handle or the deadline ends a lookup whose name server never
// answers.
bool ResolveAddresses(const std::string &host, int cancelHandle, bool limited,
                      Clock::time_point deadline, std::vector<Candidate> *addresses,
                      ConnectFailure *failure) {
    *failure = ConnectFailure::Other;
    Candidate literal;
    sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(&literal.address);
    sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(&literal.address);
    if (inet_aton(host.c_str(), &v4->sin_addr) != 0) {
        v4->sin_family = AF_INET;
        literal.length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        literal.length = sizeof *v6;
    }
    if (literal.length != 0) {
        addresses->assign(1, literal);
        return true;
    }
    // Brackets, a zone id or a space make no name: nothing to ask about.
    const bool name = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
    if (!name) {
        *failure = ConnectFailure::NameNotFound;
        return false;
    }
    if (!StartResolverLibrary())
        return false;
    ares_channel channel = nullptr;
    if (!OpenChannel(limited, deadline, &channel))
        return false;
    Lookup lookup;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
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
    *addresses = InterleaveFamilies(lookup.found, AF_INET6);
    if (addresses->empty()) {
        *failure = LookupFailureOf(status);
        return false;
    }
    return true;
}

}  // namespace zn
