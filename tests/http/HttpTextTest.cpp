#include "http/HttpText.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/HttpTransport.h"
#include "platform/TestHooks.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"

namespace {

using zntest::HttpReply;
using zntest::PeerAction;
using zntest::ScriptedPeer;

class HttpTextTest : public zntest::NetworkTest {};

std::string Pattern(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += static_cast<char>('a' + i % 26);
    return text;
}

TEST_F(HttpTextTest, BodiesComeBackAsTextWhateverTheStatus) {
    const std::string longBody = Pattern(3000);
    std::string withZero = Pattern(2000);
    withZero[10] = '\0';
    const struct {
        std::string reply, expected;
    } cases[] = {
        {HttpReply(longBody), longBody},
        // The zero byte ends the text of its 1024-byte piece only.
        {HttpReply(withZero), withZero.substr(0, 10) + withZero.substr(1024)},
        {HttpReply("<h1>Not Found</h1>", 404), "<h1>Not Found</h1>"},
        // Broken after the headers: what came is the text.
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", "0123456789"},
    };
    for (const auto &c : cases) {
        ScriptedPeer server(PeerAction::Answer, c.reply);
        EXPECT_EQ(zn::GetHttpText(server.Url("/page?x=1")), c.expected);
        EXPECT_NE(server.LastRequest().find("GET /page?x=1 HTTP/1.1"), std::string::npos);
        EXPECT_NE(server.LastRequest().find("User-Agent: zembrixnet\r\n"), std::string::npos);
    }
}

TEST_F(HttpTextTest, ABodyOverTheCapIsCutAtTheCap) {
    ScriptedPeer server(PeerAction::Answer,
                        HttpReply(std::string(zn::kMaxHttpBodyBytes + 5000, 'x')));
    EXPECT_EQ(zn::GetHttpText(server.Url()), std::string(zn::kMaxHttpBodyBytes, 'x'));
}

TEST_F(HttpTextTest, EachFailingStepGivesItsMessageWithTheCode) {
    zn::TestHooks().httpTransports.Set([] { return nullptr; });
    EXPECT_EQ(zn::GetHttpText("http://127.0.0.1/"), "GetHttpText::InternetOpen Error 8");
    zn::TestHooks().httpTransports.Set(nullptr);
    EXPECT_EQ(zn::GetHttpText("no url at all"), "GetHttpText::InternetConnect Error 87");
    EXPECT_EQ(zn::GetHttpText("http://127.0.0.1:99999/"), "GetHttpText::InternetConnect Error 87");
    EXPECT_EQ(zn::GetHttpText("http://127.0.0.1/a\r\nX-Injected: 1"),
              "GetHttpText::HttpOpenRequest Error 12005");
    EXPECT_EQ(zn::GetHttpText("http://127.0.0.1:1/"), "GetHttpText::HttpSendRequest Error 12029");
    EXPECT_EQ(zn::GetHttpText(std::string("http://") + zntest::kUnknownHostName + "/"),
              "GetHttpText::HttpSendRequest Error 12007");
}

TEST_F(HttpTextTest, PagesFollowRedirectsToAnyHostTenTimesAtMost) {
    ScriptedPeer moved(PeerAction::Answer, HttpReply("moved page"), zntest::kLocalServerAddress);
    for (int status = 300; status <= 399; ++status) {
        ScriptedPeer page(PeerAction::Answer, "HTTP/1.1 " + std::to_string(status) +
                                                  " X\r\nLocation: " + moved.Url("/list") +
                                                  "\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(zn::GetHttpText(page.Url("/list")), "moved page") << status;
    }
    ScriptedPeer loop(PeerAction::Answer, "HTTP/1.1 302 X\r\nLocation: /again\r\n\r\n");
    EXPECT_EQ(zn::GetHttpText(loop.Url("/list")), "GetHttpText::HttpSendRequest Error 12156");
    EXPECT_EQ(loop.Requests(), 11);
}

TEST_F(HttpTextTest, AGivenProxyCarriesTheRequest) {
    ScriptedPeer proxy(PeerAction::Answer, HttpReply("from the proxy"));
    const std::string address = "127.0.0.1:" + std::to_string(proxy.Port());
    EXPECT_EQ(zn::GetHttpText("http://server.invalid:8080/list", address.c_str(), "alice", "pw"),
              "from the proxy");
    const std::string request = proxy.LastRequest();
    EXPECT_NE(request.find("GET http://server.invalid:8080/list HTTP/1.1"), std::string::npos);
    // alice:pw
    EXPECT_NE(request.find("Proxy-Authorization: Basic YWxpY2U6cHc="), std::string::npos);
}

TEST_F(HttpTextTest, AnAbortEndsTheFetchBeforeOrWhileItWaits) {
    // Once before the fetch, once while it waits for a host that never
    // answers (its connect limit is the platform's 60 s).
    for (const bool early : {true, false}) {
        zn::CHttpTextAbort abort;
        if (early)
            abort.Abort();
        std::thread aborter([&] {
            if (!early) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                abort.Abort();
            }
        });
        EXPECT_EQ(zn::GetHttpText(std::string("http://") + zntest::kSilentDropHost + "/", nullptr,
                                  nullptr, nullptr, &abort),
                  "GetHttpText::HttpSendRequest Error 12017");
        aborter.join();
    }
}

}  // namespace
