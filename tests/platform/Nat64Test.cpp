// The NAT64 address arithmetic, and the prefix lookup a probe makes for an
// IPv4 address the host has no route to. POSIX only: Windows leaves both to
// the system.
#include "platform/posix/Nat64.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "support/Network.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using zn::ConnectFailure;

zn::Ipv6Bytes Ipv6(const char *text) {
    zn::Ipv6Bytes bytes{};
    EXPECT_EQ(1, inet_pton(AF_INET6, text, bytes.data())) << text;
    return bytes;
}

// The address 192.0.2.33 (a documentation address, mapped all the same) gets
// behind the prefix that the records of "ipv4only.arpa" reveal: its length
// decides where the four bytes go.
TEST(Nat64Address, FindsThePrefixAndSynthesizes) {
    const struct {
        std::vector<const char *> records;
        const char *synthesized;  // nullptr: no prefix found
    } cases[] = {
        {{"64:ff9b::c000:aa"}, "64:ff9b::c000:221"},
        {{"2001:db8:c000:aa::"}, "2001:db8:c000:221::"},
        {{"2001:db8:1c0:0:aa::"}, "2001:db8:1c0:2:21::"},
        {{"2001:db8:122:c000:0:aa00::"}, "2001:db8:122:c000:2:2100::"},
        {{"2001:db8:122:3c0:0:aa::"}, "2001:db8:122:3c0:0:221::"},
        {{"2001:db8:122:344:c0:0:aa00:0"}, "2001:db8:122:344:c0:2:2100:0"},
        {{"2001:db8:64::c000:ab", "2001:db8:64::c000:aa"}, "2001:db8:64::c000:221"},
        // An address of another name first, the record after it.
        {{"2001:db8::1", "2001:db8:64::c000:aa"}, "2001:db8:64::c000:221"},
        // Both records hold the address at /96, one of them at /32 too.
        {{"2001:db8:c000:aa::c000:aa", "2001:db8:64::c000:ab"}, "2001:db8:c000:aa::c000:221"},
        {{"2001:db8::1"}, nullptr},
        {{"64:ff9b::c000:ac"}, nullptr},
        {{}, nullptr},
    };
    for (const auto &c : cases) {
        const std::string row = c.records.empty() ? "(none)" : c.records.front();
        std::vector<zn::Ipv6Bytes> records;
        for (const char *record : c.records)
            records.push_back(Ipv6(record));
        zn::Nat64Prefix prefix;
        ASSERT_EQ(c.synthesized != nullptr, zn::FindNat64Prefix(records, &prefix)) << row;
        if (c.synthesized) {
            EXPECT_EQ(Ipv6(c.synthesized), zn::SynthesizeNat64(prefix, {192, 0, 2, 33})) << row;
        }
    }
}

class Nat64Discovery : public zntest::NetworkTest {};

// An IPv4 address the namespace has no route to sends the connect looking for
// a NAT64 prefix: a stop or the time limit ends that lookup, and without a
// prefix the address fails as unreachable, as it always did. A prefix found
// missing is kept for 30 s (silence is not kept): the cancel and the limit are seen only where no
// earlier test of the process probed an unrouted address (each runs alone
// under CTest; this file's tests come first in the program).
TEST_F(Nat64Discovery, EndsOnAStopOrTheLimit) {
    const char *unrouted = "100.64.0.1";
    {
        // A name server that takes every query and never answers, where the
        // namespace's resolv.conf points.
        const int nameServer = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, bind(nameServer, reinterpret_cast<sockaddr *>(&address), sizeof address));
        zn::StreamSocket socket;
        ASSERT_TRUE(socket.Create());
        std::atomic<bool> returned{false};
        std::thread connect([&] {
            socket.Connect(unrouted, 80);
            returned = true;
        });
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_FALSE(returned.load());
        const auto start = Clock::now();
        socket.CancelBlockingCall();
        connect.join();
        EXPECT_LT(Clock::now() - start, milliseconds(2000));
        EXPECT_EQ(ConnectFailure::Cancelled, socket.LastFailure());

        zn::StreamSocket limited;
        ASSERT_TRUE(limited.Create());
        // Every name server gets its share of the limit: the silent one's
        // lookup ends first, and the address fails as it always did.
        EXPECT_FALSE(limited.Connect(unrouted, 80, 200));
        EXPECT_EQ(ConnectFailure::Unreachable, limited.LastFailure());
        close(nameServer);
    }
    zn::StreamSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect(unrouted, 80, 10000));
    EXPECT_EQ(ConnectFailure::Unreachable, socket.LastFailure());
}

}  // namespace
