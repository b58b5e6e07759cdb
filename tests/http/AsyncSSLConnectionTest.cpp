// The exported URL reader with the library's test hooks: HTTPS with a test
// authority, peers that never answer or break off, and a session that
// cannot be had. The host's view through the shared library is in
// tests/acceptance.

#include "zembrixnet/AsyncSSLConnection.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/HttpTransport.h"
#include "platform/TestHooks.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

class UrlReaderTest : public zntest::NetworkTest {
  protected:
    CAsyncSSLConnection m_connection;
};

TEST_F(UrlReaderTest, ReadsOverHttpsFromAServerItsAuthoritiesTrust) {
    zntest::TempDir dir;
    zntest::TestAuthority authority("Site Authority", "");
    ASSERT_TRUE(authority.Issue("localhost", dir.File("server.pem")));
    zntest::NginxSite site(dir.File("server.pem"));
    ASSERT_TRUE(site.Started());
    zntest::WriteWholeFile(site.Root() + "/page", std::string(300, 'x'));
    ASSERT_EQ(1, m_connection.OpenInternetConnection("zembrix"));
    EXPECT_EQ(0, m_connection.OpenInternetUrl(site.HttpsUrl("/page"), ""));  // unknown authority

    mkdir(dir.File("trusted").c_str(), 0700);
    zntest::WriteWholeFile(dir.File("trusted/ca.pem"),
                           zntest::ReadWholeFile(authority.CertificatePath()));
    zn::TestHooks().urlReaderAuthorities.Set(dir.File("trusted"));
    ASSERT_EQ(1, m_connection.OpenInternetUrl(site.HttpsUrl("/page"), ""));
    EXPECT_EQ(std::string(300, 'x'), m_connection.ReceiveContents());

    // A redirect is followed to another host, never from HTTPS down to HTTP.
    zntest::NginxServer mover(dir.File("server.pem"), authority.CertificatePath());
    ASSERT_TRUE(mover.Started());
    const std::string redirect =
        "https://localhost:" + std::to_string(mover.PlainTlsPort()) + "/redirect?to=";
    ASSERT_EQ(1, m_connection.OpenInternetUrl(redirect + site.HttpsUrl("/page"), ""));
    EXPECT_EQ(std::string(300, 'x'), m_connection.ReceiveContents());
    zntest::ScriptedPeer plain(zntest::PeerAction::Answer, zntest::HttpReply("in clear"));
    EXPECT_EQ(0, m_connection.OpenInternetUrl(redirect + plain.Url("/page"), ""));
    EXPECT_EQ(plain.Connections(), 0);
}

TEST_F(UrlReaderTest, AnAnswerThatNeverBeginsGivesZeroWithinTheWait) {
    zntest::TcpListener silent;  // connects complete, nothing is ever read or answered
    zn::Limits().urlReaderWaitMs = 200;
    ASSERT_EQ(1, m_connection.OpenInternetConnection("zembrix"));
    const auto start = Clock::now();
    EXPECT_EQ(0, m_connection.OpenInternetUrl(
                     "http://127.0.0.1:" + std::to_string(silent.Port()) + "/", ""));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ("", m_connection.ReceiveContents());
}

TEST_F(UrlReaderTest, CloseFromAnotherThreadEndsAWaitAtOnce) {
    zntest::TcpListener silent;
    ASSERT_EQ(1, m_connection.OpenInternetConnection("zembrix"));
    int opened = -1;
    const auto start = Clock::now();
    std::thread waiter([&] {
        opened = m_connection.OpenInternetUrl(
            "http://127.0.0.1:" + std::to_string(silent.Port()) + "/", "");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_connection.CloseInternetConnection();
    waiter.join();
    EXPECT_EQ(0, opened);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));  // the wait is 50 s
}

TEST_F(UrlReaderTest, ABodyThatBreaksOffGivesWhatCame) {
    zntest::ScriptedPeer responder(
        zntest::PeerAction::Answer,
        "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\nonly this");
    ASSERT_EQ(1, m_connection.OpenInternetConnection("zembrix"));
    ASSERT_EQ(1, m_connection.OpenInternetUrl(responder.Url("/"), ""));
    EXPECT_EQ("only this", m_connection.ReceiveContents());
}

TEST_F(UrlReaderTest, WithoutASessionEveryCallFails) {
    zn::TestHooks().failHttpStreams = true;
    EXPECT_EQ(0, m_connection.OpenInternetConnection("zembrix"));
    EXPECT_EQ(0, m_connection.OpenInternetUrl("http://127.0.0.1/", ""));
    EXPECT_EQ("", m_connection.ReceiveContents());
}

}  // namespace
