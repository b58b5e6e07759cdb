// Where the request record's answers and certificate may go: every redirect
// judged before its target is contacted, and no proxy of any route offered
// the client certificate.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "http/HttpRequestFixture.h"
#include "support/ScriptedPeer.h"

namespace {

// The web API is nginx asking for the client certificate, its answers those
// of a scripted peer behind it.
struct ScriptedWebApi {
    ScriptedWebApi()
        : upstream(zntest::PeerAction::Answer, zntest::HttpReply("not scripted", 500)),
          nginx(g_peers->dir.File("server.pem"), g_peers->clientAuthority.CertificatePath(),
                zntest::kLocalServerAddress, zntest::kLoopback,
                "127.0.0.1:" + std::to_string(upstream.Port())) {
        upstream.AnswerTarget("/answer", zntest::HttpReply(zntest::kNginxBody));
    }
    uint16_t Port() const {
        const std::string server = nginx.OpenServer();
        return static_cast<uint16_t>(std::stoi(server.substr(server.rfind(':') + 1)));
    }
    zntest::ScriptedPeer upstream;
    zntest::NginxWebApi nginx;
};

TEST_F(HttpRequestTest, EveryRedirectIsJudgedBeforeItsTargetIsContacted) {
    TrustServer();
    AddClientCertificate(g_peers->clientAuthority, "client.pem");
    ScriptedWebApi api;
    ASSERT_TRUE(api.nginx.Started());
    // Never contacted: no connection, so no handshake the certificate could go to.
    zntest::ScriptedPeer otherHost(zntest::PeerAction::AcceptAndClose, "",
                                   zntest::kLocalServerAddress);
    zntest::ScriptedPeer plain(zntest::PeerAction::Answer, zntest::HttpReply(zntest::kNginxBody));
    m_request.m_nPort = api.Port();
    const std::pair<std::string, uint32_t> targets[] = {
        {"https://" + std::string(zntest::kLocalServerAddress) + ":" +
             std::to_string(otherHost.Port()) + "/answer",
         12156},
        {plain.Url("/answer"), 12040},
        {"/answer", 0},
    };
    for (int status = 300; status <= 399; ++status) {
        for (const auto &[to, error] : targets) {
            SCOPED_TRACE(std::to_string(status) + " to " + to);
            m_request.m_strObject = "/s" + std::to_string(status) + "/" + std::to_string(error);
            api.upstream.AnswerTarget(m_request.m_strObject,
                                      "HTTP/1.1 " + std::to_string(status) +
                                          " X\r\nLocation: " + to +
                                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            const bool viaProxy = status % 2 == 1;
            m_request.m_dwError = 0;  // a send that succeeds leaves it as it was
            ExpectSent(viaProxy, error);
        }
    }
    EXPECT_EQ(otherHost.Connections(), 0);
    EXPECT_EQ(plain.Connections(), 0);
}

TEST_F(HttpRequestTest, TheCertificateGoesToTheServerWhateverRouteNamesTheProxy) {
    TrustServer();
    AddClientCertificate(g_peers->clientAuthority, "client.pem");
    ScriptedWebApi api;
    ASSERT_TRUE(api.nginx.Started());
    api.upstream.AnswerTarget("/list", zntest::HttpReply(zntest::kNginxBody));
    m_request.m_strObject = "/list";
    m_request.m_nPort = api.Port();
    // A proxy that wants TLS of its own is never contacted: it could ask for
    // the certificate, and the relaxed retry would relax its checks.
    zntest::ScriptedPeer tlsProxy(zntest::PeerAction::AcceptAndClose);
    const std::string https = "https://127.0.0.1:" + std::to_string(tlsProxy.Port());
    const std::string http = "http://" + g_peers->proxy->Address();
    const std::string oneSlash = "HTTPS:/" + https.substr(8);  // still TLS to libcurl
    const struct {
        const char *variable;  // of the environment; null: the file's proxy
        std::string proxy;
        bool trusted;  // the web API's authority
        uint32_t error;
        const char *noProxy = nullptr;  // no_proxy: a proxy it exempts from is not judged
    } cases[] = {
        {"https_proxy", https, true, 12033},
        {"https_proxy", https, false, 12033},
        {"HTTPS_PROXY", https, true, 12033},
        {"all_proxy", https, false, 12033},
        {"https_proxy", http, true, 0},
        {"https_proxy", http, false, 0},
        {nullptr, https, true, 12033},
        {nullptr, g_peers->proxy->Address(), false, 0},
        {"https_proxy", oneSlash, false, 12033},
        {"https_proxy", https, true, 0, "localhost, 127.0.0.1"},
    };
    size_t sent = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.variable ? c.variable : "file") + "=" + c.proxy +
                     (c.trusted ? ", trusted" : ", unknown authority"));
        std::filesystem::remove(m_home.File("certs/ROOT/server.pem"));
        if (c.trusted)
            TrustServer();
        if (c.variable)
            setenv(c.variable, c.proxy.c_str(), 1);
        if (c.noProxy)
            setenv("no_proxy", c.noProxy, 1);
        m_request.m_dwError = 0;
        const bool opened = c.variable ? m_request.OpenRequest("GET")
                                       : m_request.OpenRequestViaProxy("GET", c.proxy);
        EXPECT_EQ(opened && m_request.SendRequest(), c.error == 0);
        if (c.variable)
            unsetenv(c.variable);
        unsetenv("no_proxy");
        EXPECT_EQ(m_request.m_dwError, c.error);
        if (c.error == 0) {
            EXPECT_EQ(m_request.ReadResponse(), zntest::kNginxBody);
            // The request that the server answered carried the certificate.
            const std::vector<std::string> log = api.nginx.Requests(++sent);
            ASSERT_EQ(log.size(), sent);
            EXPECT_NE(log.back().find("GET /list HTTP/1.1|zembrix|"), std::string::npos)
                << log.back();
            EXPECT_NE(log.back().find("OU=Quenstead Corp."), std::string::npos);
        }
    }
    EXPECT_EQ(tlsProxy.Connections(), 0);
}

}  // namespace
