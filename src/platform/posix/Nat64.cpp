#include "platform/posix/Nat64.h"

#include <algorithm>

namespace zn {

namespace {

constexpr int kPrefixLengths[] = {96, 64, 56, 48, 40, 32};

// Where the four bytes of an IPv4 address go behind a prefix of `bits`:
// byte 8 (bits 64 to 71) is always skipped.
std::array<int, 4> EmbeddedPositions(int bits) {
    std::array<int, 4> at{};
    int next = bits / 8;
    for (int &position : at) {
        if (next == 8)
            ++next;
        position = next++;
    }
    return at;
}

bool HoldsWellKnownAddress(const Ipv6Bytes &address, int bits) {
    const std::array<int, 4> at = EmbeddedPositions(bits);
    return address[at[0]] == 192 && address[at[1]] == 0 && address[at[2]] == 0 &&
           (address[at[3]] == 170 || address[at[3]] == 171);
}

}  // namespace

bool FindNat64Prefix(const std::vector<Ipv6Bytes> &addresses, Nat64Prefix *prefix) {
    long best = 0;
    for (const int bits : kPrefixLengths) {
        const long holding =
            std::count_if(addresses.begin(), addresses.end(),
                          [bits](const auto &a) { return HoldsWellKnownAddress(a, bits); });
        if (holding <= best)
            continue;  // a tie keeps the longer length, tried first
        best = holding;
        const auto first = std::find_if(addresses.begin(), addresses.end(), [bits](const auto &a) {
            return HoldsWellKnownAddress(a, bits);
        });
        prefix->bytes = Ipv6Bytes{};
        std::copy_n(first->begin(), bits / 8, prefix->bytes.begin());
        prefix->bits = bits;
    }
    return best > 0;
}

Ipv6Bytes SynthesizeNat64(const Nat64Prefix &prefix, const Ipv4Bytes &ipv4) {
    Ipv6Bytes address{};
    std::copy_n(prefix.bytes.begin(), prefix.bits / 8, address.begin());
    const std::array<int, 4> at = EmbeddedPositions(prefix.bits);
    for (size_t i = 0; i < at.size(); ++i)
        address[at[i]] = ipv4[i];
    return address;
}

}  // namespace zn
