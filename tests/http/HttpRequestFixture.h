// The fixture of the request record's tests against real peers: one nginx
// and one tinyproxy for the whole suite, a home directory with certificate
// stores for each test. Inside scripts/netns-run.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "http/HttpRequest.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/TempDir.h"

// Clients' certificates also from authorities whose names only resemble the
// one accepted.
struct Peers : zntest::SharedPeers {
    zntest::TestAuthority labs{"Labs Authority", "Quenstead Corp. Labs"};
    zntest::TestAuthority lowerCase{"Lower Authority", "quenstead corp."};
};
inline Peers *g_peers = nullptr;

class HttpRequestTest : public zntest::NetworkTest {
  protected:
    static void SetUpTestSuite() {
        zntest::RequireIsolatedNetwork();
        g_peers = new Peers;
    }
    static void TearDownTestSuite() {
        delete g_peers;
        g_peers = nullptr;
    }

    void SetUp() override {
        zntest::NetworkTest::SetUp();
        ASSERT_TRUE(g_peers->Started());
        for (const char *store : {"", "/MY", "/ROOT"})
            mkdir((m_home.Path() + "/certs" + store).c_str(), 0700);
        m_request.m_strDirectory = m_home.Path();
        m_request.m_strAgent = "zembrix";
        m_request.m_strCertOU = "Quenstead Corp.";
        m_request.m_strServer = "127.0.0.1";
        m_request.m_strObject = "/webapi/zembrix.php?op=getlist";
    }

    void TrustServer() {
        zntest::WriteWholeFile(m_home.File("certs/ROOT/server.pem"),
                               zntest::ReadWholeFile(g_peers->serverAuthority.CertificatePath()));
    }
    void AddClientCertificate(const zntest::TestAuthority &authority, const std::string &file) {
        ASSERT_TRUE(authority.Issue("client", m_home.File("certs/MY/" + file)));
    }
    // One GET, directly or through the test proxy: the nginx body when error
    // is 0, else nothing and that error.
    void ExpectSent(bool viaProxy, uint32_t error) {
        ASSERT_TRUE(viaProxy ? m_request.OpenRequestViaProxy("GET", g_peers->proxy->Address())
                             : m_request.OpenRequest("GET"));
        EXPECT_EQ(viaProxy ? m_request.SendRequestWithTimeout() : m_request.SendRequest(),
                  error == 0);
        EXPECT_EQ(m_request.ReadResponse(), error ? "" : zntest::kNginxBody);
        EXPECT_EQ(m_request.m_dwError, error);
    }

    zntest::TempDir m_home;
    zn::CHttpRequest m_request;
};
