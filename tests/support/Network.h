// What tests that open sockets need: the address plan of the private network
// namespace that scripts/netns-run creates, the guard that keeps them inside
// it, and a small local TCP listener.
//
// Address plan inside the namespace (scripts/netns-run sets it up):
//   127.0.0.0/8, 10.0.0.0/24,       local: servers bind any of them, a closed
//   192.0.2.0/24, 198.51.100.0/24,  port refuses at once
//   203.0.113.0/24
//   10.0.0.201, 10.0.0.202          the two connectivity-test hosts; the
//                                   namespace's /etc/hosts maps their names
//                                   here
//   10.99.0.1                       our end of a veth pair
//   10.99.0.2                       silent-drop host: SYNs leave, nothing
//                                   answers, a connect hangs until cancelled
//   ::1, 2001:db8::/64              local IPv6, as 10.0.0.0/24
//   2001:db8:99::2                  IPv6 silent-drop host
//   names of both families          in the namespace's /etc/hosts (below)
//   no default route
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/PeerSocket.h"

namespace zntest {

class ScriptedPeer;

constexpr const char *kLoopback = "127.0.0.1";
// A local address of the namespace that is not loopback; servers bind it.
constexpr const char *kLocalServerAddress = "10.0.0.5";
constexpr const char *kConnectivityAddress1 = "10.0.0.201";
constexpr const char *kConnectivityAddress2 = "10.0.0.202";
constexpr const char *kSilentDropHost = "10.99.0.2";
constexpr const char *kLocalServerAddress6 = "2001:db8::5";
constexpr const char *kSilentDropHost6 = "2001:db8:99::2";
// Names the namespace's /etc/hosts gives: an IPv6 address only; one of each
// family; the IPv6 silent-drop host and an IPv4 address.
constexpr const char *kIPv6OnlyName = "v6only.zembrixnet.test";
constexpr const char *kIPv6OnlyNameAddress = "2001:db8::30";
constexpr const char *kDualStackName = "dual.zembrixnet.test";
constexpr const char *kDualStackName6 = "2001:db8::31";
constexpr const char *kDualStackName4 = "10.0.0.31";
constexpr const char *kSlowIPv6Name = "slow6.zembrixnet.test";
constexpr const char *kSlowIPv6Name4 = "10.0.0.32";
// Nothing listens on this port of a local address: connects are refused.
constexpr unsigned kRefusedPort = 1;
// A name that neither /etc/hosts nor anything else in the namespace knows.
constexpr const char *kUnknownHostName = "no-such-host.invalid";

// Names of the connectivity-test hosts as the namespace's /etc/hosts has
// them: netns-run exports them (it takes them from the environment, which
// scripts/test.sh fills from the build's cache, or uses the build's
// defaults).
std::string ConnectivityHostName1();
std::string ConnectivityHostName2();

// What makes the network not isolated, given the text of /proc/net/route and
// /proc/net/ipv6_route: a description of the first default route, or empty
// when there is none. The IPv6 "unreachable" route that every namespace has
// on lo does not count.
std::string FindDefaultRoute(const std::string &ipv4Routes, const std::string &ipv6Routes);

// Fails the current test (fatally) when this process can reach beyond the
// machine: run socket tests only through scripts/netns-run.
void RequireIsolatedNetwork();

// Registers a gtest environment that makes the same check before any test
// runs; on failure no test runs at all. Returns true, so that a test program
// can register it from a namespace-scope initialiser:
//   [[maybe_unused]] const bool kIsolated = zntest::RegisterIsolatedNetworkCheck();
bool RegisterIsolatedNetworkCheck();

// Fixture base of tests that open sockets: checks again before each test.
class NetworkTest : public ::testing::Test {
  protected:
    void SetUp() override { RequireIsolatedNetwork(); }
};

// A listening TCP socket on host:port (port 0: an ephemeral one). Connects
// complete from the backlog without any accept; StartAccepting hands it to a
// ScriptedPeer that accepts and closes them, counting them. Close (or the
// destructor) makes the port refuse.
class TcpListener {
  public:
    explicit TcpListener(const std::string &host = kLoopback, unsigned port = 0);
    ~TcpListener();
    TcpListener(const TcpListener &) = delete;
    TcpListener &operator=(const TcpListener &) = delete;

    // False when binding or listening failed (the test has then failed too).
    bool IsOpen() const { return m_listener != peersocket::kNone; }
    const std::string &Host() const { return m_host; }
    unsigned Port() const { return m_port; }

    bool StartAccepting();
    // Without StartAccepting: accepts and closes the connections already
    // waiting in the backlog, without blocking, and returns how many.
    int AcceptWaiting();
    // Waits until at least count connections were accepted since
    // StartAccepting; false on time-out.
    bool WaitForAccepted(int count, std::chrono::milliseconds timeout);

    void Close();

  private:
    std::string m_host;
    unsigned m_port = 0;
    peersocket::Handle m_listener = peersocket::kNone;
    std::unique_ptr<ScriptedPeer> m_accepting;  // owns m_listener once started
};

}  // namespace zntest
