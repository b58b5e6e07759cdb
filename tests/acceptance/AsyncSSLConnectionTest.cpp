// The exported URL reader as a host uses it: compiled against the public
// headers of include/ alone and linked to the shared library, reading from a
// real nginx over plain HTTP.

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/TempDir.h"
#include "zembrixnet/AsyncSSLConnection.h"

namespace zntest {
namespace {

[[maybe_unused]] const bool kIsolated = RegisterIsolatedNetworkCheck();

// size letters, with a zero byte at zeroAt when that is inside.
std::string Body(size_t size, size_t zeroAt = std::string::npos) {
    std::string body;
    for (size_t i = 0; i < size; ++i)
        body += static_cast<char>('a' + i % 26);
    if (zeroAt < size)
        body[zeroAt] = '\0';
    return body;
}

struct Site {
    TempDir dir;
    TestAuthority authority{"Site Authority", ""};
    std::unique_ptr<NginxSite> nginx;
};
Site *g_site = nullptr;

class UrlReader : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_site = new Site;
        g_site->authority.Issue("localhost", g_site->dir.File("server.pem"));
        g_site->nginx = std::make_unique<NginxSite>(g_site->dir.File("server.pem"));
        WriteWholeFile(g_site->nginx->Root() + "/page", Body(300));
        WriteWholeFile(g_site->nginx->Root() + "/zero", Body(300, 100));
        WriteWholeFile(g_site->nginx->Root() + "/big", Body(12000, 100));
    }
    static void TearDownTestSuite() { delete g_site; }
    void SetUp() override { ASSERT_TRUE(g_site->nginx->Started()); }

    static std::string Url(const std::string &path) { return g_site->nginx->HttpUrl(path); }
};

TEST_F(UrlReader, ReadsBodiesWithAContentLengthInPiecesAsText) {
    const struct {
        const char *path;
        int opened;
        std::string text;
    } cases[] = {
        {"/page", 1, Body(300)},
        {"/zero", 1, Body(100)},  // one piece: the zero byte ends the text
        // Pieces of 4999 bytes: the zero byte cuts the first piece only.
        {"/big", 1, Body(100) + Body(12000).substr(4999)},
        {"/chunked/page", 0, ""},  // no content length
    };
    for (const auto &c : cases) {
        CAsyncSSLConnection connection;
        ASSERT_EQ(1, connection.OpenInternetConnection("host-test"));
        EXPECT_EQ(c.opened, connection.OpenInternetUrl(Url(c.path), "")) << c.path;
        EXPECT_EQ(c.text, connection.ReceiveContents()) << c.path;
        EXPECT_EQ("", connection.ReceiveContents()) << "read twice: " << c.path;
        connection.CloseInternetConnection();
    }
}

TEST_F(UrlReader, HeadersAndAgentReachTheServerAndMalformedOnesAreRefused) {
    CAsyncSSLConnection connection;
    ASSERT_EQ(1, connection.OpenInternetConnection("host-test/2.0"));
    ASSERT_EQ(1,
              connection.OpenInternetUrl(Url("/page"), "X-Zembrix-Test: seen\r\nX-Other: 1\r\n"));
    EXPECT_TRUE(g_site->nginx->Logged("/page|seen|host-test/2.0"));
    EXPECT_EQ(0, connection.OpenInternetUrl(Url("/zero"), "X-Zembrix-Test seen\r\n"));
    EXPECT_EQ(0, connection.OpenInternetUrl(Url("/zero"), "X-A: 1\rX-Zembrix-Test: forged\r\n"));
    EXPECT_EQ("", connection.ReceiveContents());
    EXPECT_EQ(0, connection.OpenInternetUrl("gopher://127.0.0.1/", ""));
    EXPECT_EQ(0, connection.OpenInternetUrl(Url("/page") + std::string(1, '\0') + "x", ""));
}

TEST_F(UrlReader, ClosingIsHarmlessInEveryStateAndTheDestructorClosesWhatIsOpen) {
    CAsyncSSLConnection never;
    never.CloseInternetConnection();
    never.CloseInternetConnection();
    EXPECT_EQ(0, never.OpenInternetUrl(Url("/page"), ""));
    EXPECT_EQ("", never.ReceiveContents());

    CAsyncSSLConnection twice;
    ASSERT_EQ(1, twice.OpenInternetConnection("host-test"));
    ASSERT_EQ(1, twice.OpenInternetUrl(Url("/big"), ""));
    twice.CloseInternetConnection();
    twice.CloseInternetConnection();
    EXPECT_EQ("", twice.ReceiveContents());
    ASSERT_EQ(1, twice.OpenInternetConnection("host-test"));  // usable again
    ASSERT_EQ(1, twice.OpenInternetUrl(Url("/page"), ""));
    EXPECT_EQ(Body(300), twice.ReceiveContents());

    // Left open with the answer unread: the sanitizer builds see any leak.
    auto open = std::make_unique<CAsyncSSLConnection>();
    ASSERT_EQ(1, open->OpenInternetConnection("host-test"));
    ASSERT_EQ(1, open->OpenInternetUrl(Url("/big"), ""));
    open.reset();
}

TEST_F(UrlReader, OverlappingCallsOnOneObjectTakeTurns) {
    CAsyncSSLConnection shared;
    ASSERT_EQ(1, shared.OpenInternetConnection("host-test"));
    auto reader = [&shared] {
        for (int i = 0; i < 20; ++i) {
            shared.OpenInternetUrl(Url("/page"), "");
            const std::string text = shared.ReceiveContents();
            // The other thread may have opened again, or read the answer first.
            EXPECT_TRUE(text.empty() || text == Body(300));
        }
    };
    std::thread other(reader);
    reader();
    other.join();
}

}  // namespace
}  // namespace zntest
