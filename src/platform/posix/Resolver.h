#pragma once

// The addresses a probe's connect tries, and the lookup that finds them: a
// literal as it stands, a name through the hosts file and the name servers,
// on the calling thread and ended at once by a cancel handle or a deadline.

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/Socket.h"

namespace zn {

// One address a connect may try.
struct Candidate {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family() const { return address.ss_family; }
};

// Milliseconds left before the deadline for poll: -1 without one.
int PollTimeout(bool limited, std::chrono::steady_clock::time_point deadline);

// The addresses of a dotted IPv4 address, an IPv6 literal or a host name (its
// IPv6 and IPv4 addresses, asked for at once), in the order to try them.
// Within a deadline every configured name server gets its turn. *failure:
// why nothing was found.
bool ResolveAddresses(const std::string &host, int cancelHandle, bool limited,
                      std::chrono::steady_clock::time_point deadline,
                      std::vector<Candidate> *addresses, ConnectFailure *failure);

}  // namespace zn
