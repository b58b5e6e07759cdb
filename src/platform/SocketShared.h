// What every platform's probe connect shares: the order in which it tries a
// name's addresses.
#pragma once

#include <cstddef>
#include <vector>

namespace zn {

// A name with more addresses is tried on its first ones only: each attempt
// holds a socket until its connect ends.
constexpr size_t kMaxAddressesTried = 16;

// IPv6 first, then the families in turn (RFC 8305), each in the order the
// lookup gave; at most kMaxAddressesTried. ipv6Family: the platform's AF_INET6.
template <typename Candidate>
std::vector<Candidate> InterleaveFamilies(const std::vector<Candidate> &found, int ipv6Family) {
    std::vector<Candidate> v6, v4, ordered;
    for (const Candidate &candidate : found)
        (candidate.family() == ipv6Family ? v6 : v4).push_back(candidate);
    for (size_t i = 0; i < v6.size() || i < v4.size(); ++i) {
        if (i < v6.size())
            ordered.push_back(v6[i]);
        if (i < v4.size())
            ordered.push_back(v4[i]);
    }
    if (ordered.size() > kMaxAddressesTried)
        ordered.resize(kMaxAddressesTried);
    return ordered;
}

}  // namespace zn
