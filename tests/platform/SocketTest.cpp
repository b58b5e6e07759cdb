// The cancellable stream socket, against local listeners and the silent-drop
// host of the test namespace.
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "support/Network.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using zn::ConnectFailure;

// Far beyond what a local refusal or a cancel takes (well under a
// millisecond), far below the minutes a connect to a silent host would hang.
constexpr milliseconds kPrompt(2000);

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

bool ConnectOnce(const std::string &host, unsigned port) {
    zn::StreamSocket socket;
    return socket.Create() && socket.Connect(host, port);
}

size_t OpenDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A connect to the silent-drop host (or another that hangs) on a thread of
// its own.
class HangingConnect {
  public:
    explicit HangingConnect(zn::StreamSocket *socket,
                            const std::string &host = zntest::kSilentDropHost, unsigned port = 80)
        : m_thread([this, socket, host, port] {
              m_result = socket->Connect(host, port);
              m_returned = true;
          }) {}
    ~HangingConnect() { Join(); }
    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Returned() const { return m_returned.load(); }
    bool Result() const { return m_result.load(); }

  private:
    std::atomic<bool> m_result{true};
    std::atomic<bool> m_returned{false};
    std::thread m_thread;
};

class StreamSocketTest : public zntest::NetworkTest {};

TEST_F(StreamSocketTest, ConnectsToListeningServers) {
    zntest::TcpListener loopback;
    zntest::TcpListener local(zntest::kLocalServerAddress);
    ASSERT_TRUE(loopback.IsOpen() && local.IsOpen());
    ASSERT_TRUE(local.StartAccepting());

    zn::StreamSocket socket;
    ASSERT_TRUE(socket.Create());
    // Nobody accepts here: a connection from the backlog is enough.
    EXPECT_TRUE(socket.Connect(zntest::kLoopback, loopback.Port()));
    socket.Close();

    // Usable again after Close, and Create on an open socket replaces it.
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Connect(zntest::kLocalServerAddress, local.Port()));
    EXPECT_TRUE(local.WaitForAccepted(1, milliseconds(10000)));
}

TEST_F(StreamSocketTest, FailsWithoutServerOrSocket) {
    const auto start = Clock::now();
    EXPECT_FALSE(ConnectOnce(zntest::kLocalServerAddress, zntest::kRefusedPort));

    unsigned closedPort = 0;
    {
        zntest::TcpListener listener;
        ASSERT_TRUE(listener.IsOpen());
        closedPort = listener.Port();
        EXPECT_TRUE(ConnectOnce(zntest::kLoopback, closedPort));
        listener.Close();
        EXPECT_FALSE(ConnectOnce(zntest::kLoopback, closedPort));
    }
    EXPECT_LT(Since(start), kPrompt) << "a refused connect must fail at once";
    // No route, and no NAT64 on the namespace's network.
    zn::StreamSocket unrouted;
    ASSERT_TRUE(unrouted.Create());
    EXPECT_FALSE(unrouted.Connect("100.64.0.1", 80, 10000));
    EXPECT_EQ(ConnectFailure::Unreachable, unrouted.LastFailure());

    zn::StreamSocket notCreated;
    EXPECT_FALSE(notCreated.Connect(zntest::kLoopback, closedPort));
    zn::StreamSocket closed;
    ASSERT_TRUE(closed.Create());
    closed.Close();
    EXPECT_FALSE(closed.Connect(zntest::kLoopback, closedPort));
}

TEST_F(StreamSocketTest, PortsOutsideTheTcpRangeFail) {
    zntest::TcpListener listener;
    ASSERT_TRUE(listener.IsOpen());
    EXPECT_FALSE(ConnectOnce(zntest::kLoopback, 0));
    // Cut to 16 bits these would reach the listener.
    EXPECT_FALSE(ConnectOnce(zntest::kLoopback, 65536 + listener.Port()));
    EXPECT_FALSE(ConnectOnce(zntest::kLoopback, 0x7FFF0000u + listener.Port()));
    EXPECT_TRUE(ConnectOnce(zntest::kLoopback, listener.Port()));
}

TEST_F(StreamSocketTest, ResolvesHostNamesOfTheNamespace) {
    zntest::TcpListener first(zntest::kConnectivityAddress1);
    ASSERT_TRUE(first.IsOpen());
    zntest::TcpListener second(zntest::kConnectivityAddress2, first.Port());
    ASSERT_TRUE(second.IsOpen()) << "port " << first.Port() << " is taken on the second address";
    ASSERT_TRUE(first.StartAccepting() && second.StartAccepting());

    const std::string host1 = zntest::ConnectivityHostName1();
    const std::string host2 = zntest::ConnectivityHostName2();
    ASSERT_FALSE(host1.empty() || host2.empty());
    EXPECT_TRUE(ConnectOnce(host1, first.Port()));
    EXPECT_TRUE(ConnectOnce(host2, second.Port()));
    // Each name reached its own address (both listen on the same port).
    EXPECT_TRUE(first.WaitForAccepted(1, milliseconds(10000)));
    EXPECT_TRUE(second.WaitForAccepted(1, milliseconds(10000)));

    zntest::TcpListener loopback;
    ASSERT_TRUE(loopback.IsOpen());
    EXPECT_TRUE(ConnectOnce("localhost", loopback.Port()));

    const auto start = Clock::now();
    EXPECT_FALSE(ConnectOnce(zntest::kUnknownHostName, loopback.Port()));
    EXPECT_FALSE(ConnectOnce("", loopback.Port()));
    // Octets above 255 are no address, and no name the namespace knows.
    EXPECT_FALSE(ConnectOnce("300.1.1.1", loopback.Port()));
    EXPECT_LT(Since(start), kPrompt);
}

// IPv6 literals, and names tried IPv6 first: which of the two listeners
// (on the name's IPv6 and IPv4 address, one port) accepts.
TEST_F(StreamSocketTest, ReachesIPv6AndTriesNamesIPv6First) {
    using namespace zntest;
    const struct {
        const char *host, *address6, *address4;
        bool listen6, listen4;
        ConnectFailure failure;
    } cases[] = {
        {kLocalServerAddress6, kLocalServerAddress6, nullptr, true, false, ConnectFailure::None},
        {"::1", "::1", nullptr, true, false, ConnectFailure::None},
        {kIPv6OnlyName, kIPv6OnlyNameAddress, nullptr, true, false, ConnectFailure::None},
        {kIPv6OnlyName, kIPv6OnlyNameAddress, nullptr, false, false, ConnectFailure::Refused},
        {kDualStackName, kDualStackName6, kDualStackName4, true, true, ConnectFailure::None},
        {kDualStackName, kDualStackName6, kDualStackName4, true, false, ConnectFailure::None},
        {kDualStackName, kDualStackName6, kDualStackName4, false, true, ConnectFailure::None},
        {kDualStackName, kDualStackName6, kDualStackName4, false, false, ConnectFailure::Refused},
        // IPv6 never answers: IPv4 is tried after the attempt delay.
        {kSlowIPv6Name, nullptr, kSlowIPv6Name4, false, true, ConnectFailure::None},
        {"[::1]", nullptr, nullptr, false, false, ConnectFailure::NameNotFound},
        {"fe80::1%lo", nullptr, nullptr, false, false, ConnectFailure::NameNotFound},
    };
    for (const auto &c : cases) {
        const std::string row =
            std::string(c.host) + (c.listen6 ? " 6" : "") + (c.listen4 ? " 4" : "");
        TcpListener first(c.address6 ? c.address6 : kLoopback);
        ASSERT_TRUE(first.IsOpen()) << row;
        TcpListener second(c.address4 ? c.address4 : kLocalServerAddress, first.Port());
        ASSERT_TRUE(second.IsOpen()) << row;
        if (!c.listen6)
            first.Close();
        if (!c.listen4)
            second.Close();
        zn::StreamSocket socket;
        ASSERT_TRUE(socket.Create());
        EXPECT_EQ(c.failure == ConnectFailure::None, socket.Connect(c.host, first.Port(), 10000))
            << row;
        EXPECT_EQ(c.failure, socket.LastFailure()) << row;
        socket.Close();
        const bool reached6 = c.listen6 && first.AcceptWaiting() == 1;
        const bool reached4 = c.listen4 && second.AcceptWaiting() == 1;
        EXPECT_EQ(c.failure == ConnectFailure::None && c.listen6, reached6) << row;
        EXPECT_EQ(c.failure == ConnectFailure::None && !c.listen6, reached4) << row;
    }
}

TEST_F(StreamSocketTest, CancelEndsAConnectInProgress) {
    zn::StreamSocket socket;
    ASSERT_TRUE(socket.Create());
    HangingConnect connect(&socket);
    // IPv6 silent, IPv4 refused after the attempt delay: the name's connect
    // hangs on its IPv6 attempt.
    zn::StreamSocket named;
    ASSERT_TRUE(named.Create());
    HangingConnect namedConnect(&named, zntest::kSlowIPv6Name, zntest::kRefusedPort);
    std::this_thread::sleep_for(milliseconds(500));
    ASSERT_FALSE(connect.Returned())
        << "a connect to the silent-drop host returned by itself: is this scripts/netns-run?";
    ASSERT_FALSE(namedConnect.Returned());

    const auto start = Clock::now();
    socket.CancelBlockingCall();
    named.CancelBlockingCall();
    connect.Join();
    namedConnect.Join();
    EXPECT_LT(Since(start), kPrompt);
    EXPECT_FALSE(connect.Result());
    EXPECT_FALSE(namedConnect.Result());
    EXPECT_EQ(ConnectFailure::Cancelled, named.LastFailure());

    // The cancel sticks, across Close and Create too.
    zntest::TcpListener listener;
    ASSERT_TRUE(listener.IsOpen());
    EXPECT_FALSE(socket.Connect(zntest::kLoopback, listener.Port()));
    socket.Close();
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect(zntest::kLoopback, listener.Port()));
}

TEST_F(StreamSocketTest, CancelBeforeConnectFailsAtOnce) {
    zntest::TcpListener listener;
    ASSERT_TRUE(listener.IsOpen());

    zn::StreamSocket cancelledFirst;
    cancelledFirst.CancelBlockingCall();
    ASSERT_TRUE(cancelledFirst.Create());
    const auto start = Clock::now();
    EXPECT_FALSE(cancelledFirst.Connect(zntest::kLoopback, listener.Port()));
    cancelledFirst.Close();
    ASSERT_TRUE(cancelledFirst.Create());
    EXPECT_FALSE(cancelledFirst.Connect(zntest::kSilentDropHost, 80));
    EXPECT_LT(Since(start), kPrompt);

    // Only that object is cancelled. Loopback completes a handshake within
    // the connect call, so had the cancelled socket sent anything, its
    // connection would wait in the backlog before this one.
    EXPECT_TRUE(ConnectOnce(zntest::kLoopback, listener.Port()));
    EXPECT_EQ(listener.AcceptWaiting(), 1) << "the cancelled socket reached the server";
}

TEST_F(StreamSocketTest, CancelRacingConnectAlwaysEndsIt) {
    zntest::TcpListener listener;
    ASSERT_TRUE(listener.IsOpen());
    ASSERT_TRUE(listener.StartAccepting());

    // The cancel lands before, during or after the connect; whatever the
    // order, the connect ends, and the object stays cancelled.
    for (int round = 0; round < 40; ++round) {
        auto socket = std::make_unique<zn::StreamSocket>();
        ASSERT_TRUE(socket->Create());
        const bool toDropHost = round % 2 == 0;
        std::atomic<bool> connected{false};
        std::thread connector([&] {
            connected = toDropHost ? socket->Connect(zntest::kSilentDropHost, 80)
                                   : socket->Connect(zntest::kLoopback, listener.Port());
        });
        std::thread canceller([&] { socket->CancelBlockingCall(); });
        canceller.join();
        connector.join();
        if (toDropHost) {
            EXPECT_FALSE(connected.load());
        }
        EXPECT_FALSE(socket->Connect(zntest::kLoopback, listener.Port()));
        // Destroyed on this thread, right after the others touched it.
        socket.reset();
    }
}

TEST_F(StreamSocketTest, LeavesNoDescriptorOpen) {
    zntest::TcpListener listener;
    ASSERT_TRUE(listener.IsOpen());
    zntest::TcpListener dual4(zntest::kDualStackName4, listener.Port());
    zntest::TcpListener slow4(zntest::kSlowIPv6Name4, listener.Port());
    ASSERT_TRUE(dual4.IsOpen() && slow4.IsOpen());
    const size_t before = OpenDescriptorCount();
    for (int i = 0; i < 30; ++i) {
        zn::StreamSocket socket;
        ASSERT_TRUE(socket.Create());
        switch (i % 6) {
            case 4:  // the IPv6 attempt refused, IPv4 connects
                EXPECT_TRUE(socket.Connect(zntest::kDualStackName, listener.Port()));
                break;
            case 5:  // the IPv6 attempt still pending when IPv4 connects
                EXPECT_TRUE(socket.Connect(zntest::kSlowIPv6Name, listener.Port()));
                break;
            case 0:
                EXPECT_TRUE(socket.Connect(zntest::kLoopback, listener.Port()));
                break;  // destroyed while connected
            case 1:
                EXPECT_FALSE(socket.Connect(zntest::kLoopback, zntest::kRefusedPort));
                socket.Close();
                break;
            case 2:
                socket.CancelBlockingCall();
                EXPECT_FALSE(socket.Connect(zntest::kSilentDropHost, 80));
                break;  // destroyed with the connect cancelled
            case 3:
                ASSERT_TRUE(socket.Create());  // replaces the first socket
                break;
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
