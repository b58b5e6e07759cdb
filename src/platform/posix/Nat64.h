#pragma once

// The address arithmetic of NAT64 (RFC 6052, RFC 7050): finding a network's
// translation prefix and the IPv6 address that stands for an IPv4 one
// behind it. Pure functions; the lookup and the route test live with the
// socket.

#include <array>
#include <cstdint>
#include <vector>

namespace zn {

using Ipv6Bytes = std::array<uint8_t, 16>;
using Ipv4Bytes = std::array<uint8_t, 4>;

// A network's NAT64 prefix: its first `bits` bits count, the rest are zero.
struct Nat64Prefix {
    Ipv6Bytes bytes{};
    int bits = 0;
};

// The prefix that the IPv6 addresses of "ipv4only.arpa" reveal: each embeds
// one of the name's IPv4 addresses (192.0.0.170 or 192.0.0.171) where a
// prefix of 32, 40, 48, 56, 64 or 96 bits puts it. Where the addresses hold
// it at several lengths, the length most of them share wins, then the longer.
// False when none holds it.
bool FindNat64Prefix(const std::vector<Ipv6Bytes> &addresses, Nat64Prefix *prefix);

// The IPv6 address of ipv4 behind the prefix: its four bytes from bit
// `bits` on, bits 64 to 71 left zero, the suffix zero. Every IPv4 address is
// mapped, those RFC 6052 keeps off the well-known prefix among them: the
// network decides what it translates.
Ipv6Bytes SynthesizeNat64(const Nat64Prefix &prefix, const Ipv4Bytes &ipv4);

}  // namespace zn
