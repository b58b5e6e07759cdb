// Update runs as a host drives them, against local peers: nginx as the
// provider's web API (HTTPS, client certificate required), tinyproxy as the
// HTTP proxy, a plain nginx site for the fallback pages, a silent server for
// cancels. Addresses are enciphered with the command-line tool, so that this
// program needs nothing of the library but the shared object.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "support/HostRecorder.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"

namespace zntest {
namespace {

using std::chrono::seconds;

[[maybe_unused]] const bool kIsolated = RegisterIsolatedNetworkCheck();

constexpr const char *kApiAddress = "10.0.0.6";
// The proxy's outgoing address: the only one the guarded port lets in.
constexpr const char *kProxySource = "10.0.0.7";
constexpr const char *kApiPath = "/webapi/zembrix.php?op=getlist";

std::string Hex(const std::string &plain) {
    static std::map<std::string, std::string> known;
    auto found = known.find(plain);
    if (found != known.end())
        return found->second;
    std::string hex;
    FILE *tool = popen((std::string(ZN_NETCHECK) + " encipher '" + plain + "'").c_str(), "r");
    if (tool) {
        char line[2048];
        if (fgets(line, sizeof line, tool))
            hex = line;
        pclose(tool);
    }
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r'))
        hex.pop_back();
    EXPECT_FALSE(hex.empty()) << "cannot encipher " << plain;
    return known[plain] = hex;
}

// The "NETWORK" keys of a server list file, by name.
std::map<std::string, std::string> Keys(const std::string &path) {
    std::map<std::string, std::string> keys;
    std::istringstream in(ReadWholeFile(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            keys[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return keys;
}

struct Peers {
    TempDir dir;
    TestAuthority serverAuthority{"Server Authority", ""};
    TestAuthority clientAuthority{"Client Authority", "Quenstead Corp."};
    std::unique_ptr<NginxWebApi> api;
    std::unique_ptr<TinyProxy> proxy;
    std::unique_ptr<NginxSite> pages;
};
Peers *g_peers = nullptr;

class UpdateRun : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        RequireIsolatedNetwork();
        g_peers = new Peers;
        const std::string pem = g_peers->dir.File("server.pem");
        g_peers->serverAuthority.Issue("localhost", pem);
        g_peers->api.reset(new NginxWebApi(pem, g_peers->clientAuthority.CertificatePath(),
                                           kApiAddress, kProxySource));
        g_peers->proxy.reset(new TinyProxy(kProxySource));
        g_peers->pages.reset(new NginxSite(pem));
    }
    static void TearDownTestSuite() { delete g_peers; }

    void SetUp() override {
        RequireIsolatedNetwork();
        ASSERT_TRUE(g_peers->api->Started() && g_peers->proxy->Started() &&
                    g_peers->pages->Started());
        for (const char *store : {"", "/MY", "/ROOT"})
            mkdir((m_dir.Path() + "/certs" + store).c_str(), 0700);
        WriteWholeFile(m_dir.File("certs/ROOT/server.pem"),
                       ReadWholeFile(g_peers->serverAuthority.CertificatePath()));
        ASSERT_TRUE(g_peers->clientAuthority.Issue("client", m_dir.File("certs/MY/client.pem")));
        ASSERT_EQ(3, m_host.Init(m_dir.Path()));
        m_host.Take();
    }
    void TearDown() override { CloseCheckServer(); }

    std::string File() const { return m_dir.File("ZembrixNetWork.ini"); }
    void WriteFile(const std::vector<std::string> &lines) {
        std::string text = "[NETWORK]\r\n";
        for (const std::string &line : lines)
            text += line + "\r\n";
        WriteWholeFile(File(), text);
    }
    std::string PageUrl(int n) { return g_peers->pages->HttpUrl("/page" + std::to_string(n)); }
    // A file with failed, selected and usable entries, two fallback pages,
    // and the selected web server and proxy given.
    void WriteMixedFile(const std::string &web, const std::string &proxy) {
        WriteFile({"WEB=" + Hex(web), "HTTPPROXY=" + proxy, "WEBNUM=3",
                   "WEB1=" + Hex("10.0.0.61:443") + ",-1", "WEB2=" + Hex("10.0.0.62:443") + ",1",
                   "WEB3=" + Hex("10.0.0.63:443") + ",-1", "SIPNUM=2",
                   "SIP1=" + Hex("10.0.0.64:5060") + ",0", "SIP2=" + Hex("10.0.0.65:5060") + ",-1",
                   "IMNUM=0", "FAXNUM=1", "FAX1=" + Hex("10.0.0.66:80") + ",1", "FREENUM=2",
                   "FREE1=" + Hex(PageUrl(1)) + ",0", "FREE2=" + Hex(PageUrl(2)) + ",0"});
    }
    bool RunUpdate(const char *version) {
        return UpdateServerList(version) == 1 &&
               m_host.WaitFor("Finish updating!", 1, seconds(120));
    }

    TempDir m_dir;
    HostRecorder m_host;
};

TEST_F(UpdateRun, EachSourceIsAskedInTurnUntilOneAnswersAndItsListIsMerged) {
    const std::string apiAnswer =
        "<RES>OK</RES><webservernum>2</webservernum><web1>10.0.1.1:443</web1>"
        "<web2>10.0.1.2:443</web2><sipservernum>1</sipservernum><sip1>10.0.1.3:5060</sip1>";
    WriteWholeFile(g_peers->pages->Root() + "/page1",
                   "<webnum>1</webnum><web1>" + Hex("10.0.2.1:443") + "</web1>");
    const std::string request =
        std::string("GET ") + kApiPath +
        "&ver=2.0&web1=10.0.0.61:443,-1,W&web3=10.0.0.63:443,-1,W&web2=10.0.0.62:443,1,W"
        "&sip1=10.0.0.64:5060,0,S&sip2=10.0.0.65:5060,-1,S&fax1=10.0.0.66:80,1,F HTTP/1.1";
    struct Asked {
        bool viaProxy;
        const char *status;
    };
    const struct {
        const char *what;
        bool guarded;  // the direct route is refused with 403
        bool proxyWorks;
        std::string answer;
        std::vector<Asked> asked;
        bool pageUsed;
    } cases[] = {
        {"direct", false, true, apiAnswer, {{false, "200"}}, false},
        {"proxied", true, true, apiAnswer, {{false, "403"}, {true, "200"}}, false},
        {"fallback page", true, false, apiAnswer, {{false, "403"}}, true},
        {"RES not OK",
         false,
         true,
         "<RES>ok</RES>" + apiAnswer.substr(13),
         {{false, "200"}, {true, "200"}},
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const NginxWebApi &api = *g_peers->api;
        WriteMixedFile(
            c.guarded ? api.GuardedServer() : api.OpenServer(),
            c.proxyWorks ? g_peers->proxy->Address() : "127.0.0.1:" + std::to_string(kRefusedPort));
        g_peers->api->SetAnswer(c.answer);
        const size_t logged = api.Requests(0).size();
        const auto before = Keys(File());
        ASSERT_TRUE(RunUpdate("2.0"));
        EXPECT_EQ((std::vector<Received>{m_host.Status(75005, "Begin to update server list!"),
                                         m_host.UpdateFinished()}),
                  m_host.Take());

        // The handshake ends at the server's certificate request, so no
        // request ever reaches it without the certificate.
        const std::vector<std::string> lines = api.Requests(logged + c.asked.size());
        const std::vector<std::string> withCertificate(lines.begin() + logged, lines.end());
        ASSERT_EQ(c.asked.size(), withCertificate.size())
            << ::testing::PrintToString(withCertificate);
        for (size_t i = 0; i < c.asked.size(); ++i) {
            const std::string &line = withCertificate[i];
            EXPECT_EQ(c.asked[i].viaProxy, line.rfind(std::string(kProxySource) + "|", 0) == 0)
                << line;
            EXPECT_NE(std::string::npos, line.find("|" + request + "|zembrix|")) << line;
            EXPECT_NE(std::string::npos, line.find("OU=Quenstead Corp.")) << line;
            EXPECT_EQ(c.asked[i].status, line.substr(line.rfind('|') + 1));
        }

        auto expected = before;
        if (c.pageUsed) {
            expected["WEB1"] = Hex("10.0.2.1:443") + ",0";
            expected["FREE1"] = Hex(PageUrl(1)) + ",-1";
            EXPECT_TRUE(g_peers->pages->Logged("/page1|"));
        } else {
            expected["WEB1"] = Hex("10.0.1.1:443") + ",0";
            expected["WEB3"] = Hex("10.0.1.2:443") + ",0";
            expected["SIP2"] = Hex("10.0.1.3:5060") + ",0";
        }
        EXPECT_EQ(expected, Keys(File()));
    }
}

TEST_F(UpdateRun, CancelOrCloseWhileTheDirectFetchWaitsEndsPromptlyAndLeavesTheFile) {
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "close" : "cancel");
        m_host.Take();
        // Takes the connection and the TLS greeting, and never answers.
        ScriptedPeer silent(PeerAction::Answer, "", kApiAddress);
        WriteMixedFile(std::string(kApiAddress) + ":" + std::to_string(silent.Port()),
                       g_peers->proxy->Address());
        const std::string file = ReadWholeFile(File());
        ASSERT_EQ(1, UpdateServerList("2.0"));
        silent.WaitForConnections(1, std::chrono::seconds(30));
        ASSERT_EQ(1, silent.Connections());

        std::vector<Received> expected = {
            m_host.Status(75005, "Begin to update server list!"),
            m_host.Status(75003, "Cancel updating server list successfully!"),
            m_host.UpdateFinished()};
        if (close) {
            // Close returns once the run has ended.
            EXPECT_EQ(1, CloseCheckServer());
            expected.push_back(m_host.Status(75001, "Close checking server list successfully"));
        } else {
            EXPECT_EQ(1, EndUpdateServerList());
            // Generous: unaborted, the silent server would hold the run 30 s.
            EXPECT_TRUE(m_host.WaitFor("Finish updating!", 1, seconds(10)));
        }
        EXPECT_EQ(expected, m_host.Take());
        EXPECT_EQ(file, ReadWholeFile(File()));
    }
}

TEST_F(UpdateRun, AnUpdateThatFailsAtOnceStillBeginsAndFinishes) {
    // No web server selected, no proxy, no fallback page.
    WriteFile({"WEB=04", "WEBNUM=1", "WEB1=" + Hex("10.0.0.61:443") + ",-1", "SIPNUM=0", "IMNUM=0",
               "FAXNUM=0", "FREENUM=0"});
    const std::string file = ReadWholeFile(File());
    ASSERT_TRUE(RunUpdate(""));
    EXPECT_EQ((std::vector<Received>{m_host.Status(75005, "Begin to update server list!"),
                                     m_host.UpdateFinished()}),
              m_host.Take());
    EXPECT_EQ(file, ReadWholeFile(File()));
}

TEST_F(UpdateRun, ACheckMarksServersFailedAndTheNextUpdateRewritesExactlyThose) {
    TcpListener internet(kConnectivityAddress1, 80);
    // The web API is the one web server, and it answers: the check selects
    // it. Every SIP proxy refuses: the check marks them all failed.
    WriteFile({"WEBNUM=1", "WEB1=" + Hex(g_peers->api->OpenServer()) + ",0", "SIPNUM=3",
               "SIP1=" + Hex("10.0.0.70:1") + ",0", "SIP2=" + Hex("10.0.0.71:1") + ",0",
               "SIP3=" + Hex("10.0.0.72:1") + ",0", "IMNUM=0", "FAXNUM=1",
               "FAX1=" + Hex("10.0.0.73:1") + ",0", "FREENUM=0"});
    ASSERT_EQ(1, CheckServerStatus("", ZN_KIND_WEB | ZN_KIND_SIP));
    ASSERT_TRUE(m_host.WaitFor("Finish all checking!", 1, seconds(120)));
    const auto checked = Keys(File());
    EXPECT_EQ(Hex(g_peers->api->OpenServer()) + ",1", checked.at("WEB1"));
    for (const char *key : {"SIP1", "SIP2", "SIP3"})
        EXPECT_EQ(",-1", checked.at(key).substr(checked.at(key).rfind(','))) << key;

    g_peers->api->SetAnswer(
        "<RES>OK</RES><webservernum>1</webservernum><web1>10.0.3.1:443</web1>"
        "<sipservernum>3</sipservernum><sip1>10.0.3.2:5060</sip1><sip2>10.0.3.3:5060</sip2>"
        "<sip3>10.0.3.4:5060</sip3><faxservernum>1</faxservernum><fax1>10.0.3.5:80</fax1>");
    ASSERT_TRUE(RunUpdate("2.0"));
    auto expected = checked;
    expected["SIP1"] = Hex("10.0.3.2:5060") + ",0";
    expected["SIP2"] = Hex("10.0.3.3:5060") + ",0";
    expected["SIP3"] = Hex("10.0.3.4:5060") + ",0";
    EXPECT_EQ(expected, Keys(File()));
}

}  // namespace
}  // namespace zntest
