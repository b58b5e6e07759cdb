// The three sources and a whole update job against local peers: nginx for
// the web API (client certificate required), tinyproxy, a plain HTTP server
// for the fallback pages, silent hosts for stops. Inside scripts/netns-run.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "platform/TestHooks.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"
#include "update/ApiFetcher.h"
#include "update/FallbackPageFetcher.h"
#include "update/ServerListUpdater.h"
#include "update/UpdateFileFixture.h"

namespace zn {
namespace {

using zntest::ReadWholeFile;
using zntest::WriteWholeFile;

zntest::SharedPeers *g_peers = nullptr;

class FetcherTest : public UpdateFileTest {
  protected:
    static void SetUpTestSuite() {
        zntest::RequireIsolatedNetwork();
        g_peers = new zntest::SharedPeers;
    }
    static void TearDownTestSuite() { delete g_peers; }

    void SetUp() override {
        zntest::RequireIsolatedNetwork();
        ASSERT_TRUE(g_peers->Started());
        for (const char *store : {"", "/MY", "/ROOT"})
            mkdir((m_dir.Path() + "/certs" + store).c_str(), 0700);
        WriteWholeFile(m_dir.File("certs/ROOT/server.pem"),
                       ReadWholeFile(g_peers->serverAuthority.CertificatePath()));
        ASSERT_TRUE(g_peers->clientAuthority.Issue("client", m_dir.File("certs/MY/client.pem")));
    }
    std::string Web(const std::string &host, unsigned port) {
        return m_cipher.Encipher(host + ":" + std::to_string(port));
    }
    // Runs a fetcher to its end, stopped first when asked.
    void Run(CUpdateFetcher &fetcher, bool stopFirst = false) {
        fetcher.m_strDirectory = m_dir.Path();
        fetcher.m_strQuery = "&web1=0:0,-1,W";
        fetcher.m_strVersion = "2.0";
        if (stopFirst)
            fetcher.RequestStop();
        ASSERT_EQ(fetcher.Start(0), 0);
        fetcher.Join();
        ASSERT_EQ(fetcher.RunState(), kFetched);
    }
};

TEST_F(FetcherTest, DirectAndProxiedFetchesGetTheAnswerWithAClientCertificate) {
    WriteFile({{"WEB", Web(zntest::kLoopback, g_peers->nginx->RequiredPort())},
               {"HTTPPROXY", g_peers->proxy->Address()}});
    CDirectApiFetcher direct;
    Run(direct);
    EXPECT_EQ(direct.m_bSucceeded, 1);
    EXPECT_EQ(direct.m_strResponse, zntest::kNginxBody);
    EXPECT_EQ(direct.m_request.m_strObject, "/webapi/zembrix.php?op=getlist&ver=2.0&web1=0:0,-1,W");
    CProxyApiFetcher proxied;
    Run(proxied);
    EXPECT_EQ(proxied.m_bSucceeded, 1);
    EXPECT_EQ(proxied.m_strResponse, zntest::kNginxBody);
}

std::atomic<int> g_sends{0};  // sends of CertificateAskingTransport, each asked for a certificate
struct CertificateAskingTransport : HttpTransport {
    HttpResult Perform(const HttpRequestOptions &) override {
        ++g_sends;
        HttpResult asked;
        asked.outcome = HttpOutcome::CertificateRequested;
        return asked;
    }
    void Abort() override {}
};

TEST_F(FetcherTest, TheDirectSendTriesTwentyTimesTheProxiedTwice) {
    WriteFile({{"WEB", Web(zntest::kLoopback, 443)}, {"HTTPPROXY", "127.0.0.1:3128"}});
    TestHooks().httpTransports.Set([] { return std::make_unique<CertificateAskingTransport>(); });
    CDirectApiFetcher direct;
    Run(direct);
    EXPECT_EQ(g_sends.exchange(0), 20);
    CProxyApiFetcher proxied;
    Run(proxied);
    EXPECT_EQ(g_sends.exchange(0), 2);
}

TEST_F(FetcherTest, RefusedSettingsFailWithoutNetworkActivity) {
    zntest::TcpListener web;
    const std::string webValue = Web(zntest::kLoopback, web.Port());
    const struct {
        const char *what;
        bool viaProxy;
        std::string web, proxy, version;
    } cases[] = {
        {"no web server", false, "04", "", ""},
        {"web server missing", false, "#", "", ""},
        {"proxy missing", true, webValue, "#", ""},
        {"proxy none", true, webValue, "04", ""},
        {"path too long", false, webValue, "", std::string(1000, 'v')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile({{"WEB", c.web}, {"HTTPPROXY", c.proxy}});
        std::unique_ptr<CWebApiFetcher> fetcher(
            c.viaProxy ? static_cast<CWebApiFetcher *>(new CProxyApiFetcher)
                       : new CDirectApiFetcher);
        fetcher->m_strDirectory = m_dir.Path();
        fetcher->m_strVersion = c.version;
        ASSERT_EQ(fetcher->Start(0), 0);
        fetcher->Join();
        EXPECT_EQ(fetcher->m_bSucceeded, 0);
        EXPECT_EQ(web.AcceptWaiting(), 0);
    }
}

TEST_F(FetcherTest, StopEndsAHangingConnectAndAStopBeforeStartSendsNothing) {
    WriteFile({{"WEB", Web(zntest::kSilentDropHost, 443)}});
    CDirectApiFetcher hanging;
    hanging.m_strDirectory = m_dir.Path();
    ASSERT_EQ(hanging.Start(0), 0);
    // Most likely in the connect by then; a stop before it is covered below.
    SleepMs(200);
    const auto start = std::chrono::steady_clock::now();
    hanging.RequestStop();
    hanging.Join();
    // Generous: without the abort the connect would last a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(hanging.m_bSucceeded, 0);

    zntest::TcpListener web;
    WriteFile({{"WEB", Web(zntest::kLoopback, web.Port())}});
    CDirectApiFetcher stopped;
    Run(stopped, true);
    EXPECT_EQ(stopped.m_bSucceeded, 0);
    EXPECT_EQ(web.AcceptWaiting(), 0);
}

TEST_F(FetcherTest, FallbackPageIsReadRewrittenAndTheRotationAdvances) {
    zntest::ScriptedPeer page(
        zntest::PeerAction::Answer,
        zntest::HttpReply("&lt;sipnum&gt;1&lt;/sipnum&gt;&lt;sip1&gt;" +
                          m_cipher.Encipher("10.0.0.9:5060") + "&lt;/sip1&gt;"));
    WriteFile({{"FREENUM", "2"},
               {"FREE1", m_cipher.Encipher(page.Url("/list")) + ",0"},
               {"FREE2", m_cipher.Encipher(page.Url("/list")) + ",0"}});
    CFallbackPageFetcher fetcher;
    Run(fetcher);
    EXPECT_EQ(fetcher.m_bSucceeded, 1);
    EXPECT_EQ(fetcher.m_strResponse,
              "\r\n<webservernum></webservernum><sipservernum>1</sipservernum>"
              "<sip1>10.0.0.9:5060</sip1>\r\n<imservernum></imservernum>");
    EXPECT_NE(page.LastRequest().find("GET /list HTTP/1.1"), std::string::npos);
    EXPECT_EQ(Value("FREE1").substr(Value("FREE1").rfind(',')), ",-1");

    // Stopped before it starts: the rotation still advances, nothing is asked.
    CFallbackPageFetcher stopped;
    Run(stopped, true);
    EXPECT_EQ(page.Requests(), 1);
    EXPECT_EQ(Value("FREE1").substr(Value("FREE1").rfind(',')), ",0");
}

TEST_F(FetcherTest, UpdateJobFallsBackToThePageAndMergesIt) {
    zntest::ScriptedPeer page(zntest::PeerAction::Answer,
                              zntest::HttpReply("<webnum>1</webnum><web1>" +
                                                m_cipher.Encipher("10.0.0.8:443") + "</web1>"));
    WriteFile({{"WEB", "04"},
               {"WEBNUM", "1"},
               {"WEB1", Entry("10.0.0.1:443", "-1")},
               {"SIPNUM", "0"},
               {"IMNUM", "0"},
               {"FAXNUM", "0"},
               {"FREENUM", "1"},
               {"FREE1", m_cipher.Encipher(page.Url()) + ",0"}});
    CServerListUpdater job;
    job.m_strDirectory = m_dir.Path();
    ASSERT_EQ(job.Start(0), 0);
    ASSERT_EQ(job.m_hDoneEvent.Wait(kInfinite), WaitResult::Signalled);
    EXPECT_EQ(Value("WEB1"), Entry("10.0.0.8:443", "0"));
    EXPECT_EQ(page.Requests(), 1);
}

}  // namespace
}  // namespace zn
