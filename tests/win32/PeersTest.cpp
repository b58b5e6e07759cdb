// The Windows Internet functions against the real peers that peers_test.sh
// starts: nginx with a test authority (client certificate required,
// optional, not asked for; plain HTTP) and tinyproxy.
#include <gtest/gtest.h>
// windows.h first: the other system headers build on it.
#include <windows.h>

#include <wincrypt.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/CertificateStore.h"
#include "platform/HttpTransport.h"
#include "support/TempDir.h"
#include "zembrixnet/AsyncSSLConnection.h"

using namespace zn;

namespace {

const char *const kBody = "<RES>OK</RES><LIST>served by nginx</LIST>";

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::string Peer(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::vector<BYTE> ReadDer(const std::string &pemPath) {
    const std::string pem = zntest::ReadWholeFile(pemPath);
    DWORD size = 0;
    CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                         nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> der(size);
    if (size == 0 ||
        !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
        der.clear();
    return der;
}

// Certificates put into a system store for one test, taken out again. The
// store is closed after each change: Wine writes it only then, where other
// handles see it.
class StoreEntries {
  public:
    explicit StoreEntries(const char *store) : m_name(store) {}
    ~StoreEntries() {
        HCERTSTORE store = CertOpenSystemStoreA(0, m_name);
        for (PCCERT_CONTEXT added : m_added) {
            if (PCCERT_CONTEXT copy =
                    store ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                       CERT_FIND_EXISTING, added, nullptr)
                          : nullptr)
                CertDeleteCertificateFromStore(copy);
            CertFreeCertificateContext(added);
        }
        if (store)
            CertCloseStore(store, 0);
    }
    bool AddPem(const std::string &path) {
        const std::vector<BYTE> der = ReadDer(path);
        PCCERT_CONTEXT certificate =
            der.empty() ? nullptr
                        : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                       static_cast<DWORD>(der.size()));
        return certificate && Add(certificate);
    }
    // Certificates with their keys from a PKCS #12 file without pass phrase.
    bool AddPfx(const std::string &path) {
        std::string data = zntest::ReadWholeFile(path);
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE *>(&data[0])};
        HCERTSTORE imported = PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET);
        if (!imported)
            return false;
        bool ok = false;
        PCCERT_CONTEXT certificate = nullptr;
        while ((certificate = CertEnumCertificatesInStore(imported, certificate)) != nullptr)
            ok = Add(CertDuplicateCertificateContext(certificate)) || ok;
        CertCloseStore(imported, 0);
        return ok;
    }

  private:
    // Takes the context; it stays for the removal.
    bool Add(PCCERT_CONTEXT certificate) {
        HCERTSTORE store = CertOpenSystemStoreA(0, m_name);
        const bool added =
            store && CertAddCertificateContextToStore(store, certificate,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        if (store)
            CertCloseStore(store, 0);
        m_added.push_back(certificate);
        return added;
    }

    const char *m_name;
    std::vector<PCCERT_CONTEXT> m_added;
};

class PeersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Peer("ZN_PEER_DIR").empty())
            GTEST_SKIP() << "needs the peers of tests/win32/peers_test.sh";
        m_transport = HttpTransport::Create();
        ASSERT_TRUE(m_transport);
    }
    HttpRequestOptions Request(const char *portVariable, bool secure = true) const {
        HttpRequestOptions options;
        options.secure = secure;
        options.host = "localhost";
        options.port = static_cast<uint16_t>(std::atoi(Peer(portVariable).c_str()));
        options.path = "/list.txt";
        options.proxyMode = HttpProxyMode::Direct;
        options.connectTimeoutMs = 10000;
        options.sendReceiveTimeoutMs = 10000;
        return options;
    }
    std::string File(const char *name) const { return Peer("ZN_PEER_DIR") + "\\" + name; }

    std::unique_ptr<HttpTransport> m_transport;
};

TEST_F(PeersTest, PlainHttpDirectAndThroughTheProxy) {
    HttpRequestOptions options = Request("ZN_PEER_HTTP", false);
    HttpResult result = m_transport->Perform(options);
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, kBody);
    // Wine's WinInet sends a request for "localhost" past any proxy; the
    // address is taken through it.
    options.host = "127.0.0.1";
    options.proxyMode = HttpProxyMode::Explicit;
    options.proxy = "127.0.0.1:" + Peer("ZN_PEER_PROXY");
    result = m_transport->Perform(options);
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
    EXPECT_EQ(result.body, kBody);
    // The proxy is really taken.
    options.proxy = "127.0.0.1:1";
    EXPECT_NE(m_transport->Perform(options).outcome, HttpOutcome::Sent);
}

TEST_F(PeersTest, UnknownAuthorityIsUntrustedUntilRelaxedOrInTheRootStore) {
    HttpRequestOptions options = Request("ZN_PEER_PLAIN_TLS");
    HttpResult result = m_transport->Perform(options);
    EXPECT_EQ(result.outcome, HttpOutcome::UntrustedAuthority);
    EXPECT_EQ(result.errorCode, kHttpErrorInvalidCa);

    options.verifyPeer = false;
    result = m_transport->Perform(options);
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
    EXPECT_EQ(result.body, kBody);

    // Through the proxy, a CONNECT tunnel (to the address: see above; Wine
    // matches the certificate's names only, not its addresses).
    options.host = "127.0.0.1";
    options.verifyHostName = false;
    options.proxyMode = HttpProxyMode::Explicit;
    options.proxy = "127.0.0.1:" + Peer("ZN_PEER_PROXY");
    result = m_transport->Perform(options);
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
    EXPECT_EQ(result.body, kBody);

    StoreEntries root("ROOT");
    ASSERT_TRUE(root.AddPem(File("ca.pem")));
    result = m_transport->Perform(Request("ZN_PEER_PLAIN_TLS"));
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
}

TEST_F(PeersTest, ClientCertificateFromTheMyStoreByIssuerUnit) {
    StoreEntries my("MY");
    ASSERT_TRUE(my.AddPfx(File("client.p12")));
    StoredCertificate found;
    // The store of the directory the other builds use: its last name. The
    // unit compares exactly.
    ASSERT_TRUE(FindCertificateByIssuerUnit("C:\\any\\certs\\MY", "ZN Test Unit", &found));
    EXPECT_EQ(found.path, "MY");
    EXPECT_FALSE(FindCertificateByIssuerUnit("certs\\MY", "zn test unit", &found));
    EXPECT_FALSE(FindCertificateByIssuerUnit("certs\\MY", "ZN Test", &found));

    HttpRequestOptions options = Request("ZN_PEER_REQUIRED");
    options.verifyPeer = false;
    HttpResult result = m_transport->Perform(options);
    if (UnderWine() && result.outcome == HttpOutcome::Sent && result.status == 400)
        GTEST_SKIP() << "Wine's WinInet never reports a server's certificate request "
                        "(ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED) nor presents "
                        "INTERNET_OPTION_CLIENT_CERT_CONTEXT; nginx answers 400";
    EXPECT_EQ(result.outcome, HttpOutcome::CertificateRequested);
    EXPECT_EQ(result.errorCode, kHttpErrorClientCertNeeded);

    options.clientCertificatePem = found.pem;
    result = m_transport->Perform(options);
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, kBody);
}

TEST_F(PeersTest, RedirectsThatLeaveTheServerAreRefusedWhenAsked) {
    // Where the server redirects to, and the refusal (0: followed).
    const std::pair<std::string, uint32_t> cases[] = {
        {"/list.txt", 0},
        {"http://localhost:" + Peer("ZN_PEER_HTTP") + "/list.txt", kHttpErrorHttpsToHttpOnRedirect},
        {"https://localhost:" + Peer("ZN_PEER_OPTIONAL") + "/list.txt", kHttpErrorRedirectFailed},
    };
    for (const auto &[to, refusal] : cases) {
        SCOPED_TRACE(to);
        HttpRequestOptions options = Request("ZN_PEER_PLAIN_TLS");
        options.verifyPeer = false;
        options.path = "/redirect?to=" + to;
        options.redirects = HttpRedirects::SameServer;
        const HttpResult result = m_transport->Perform(options);
        EXPECT_EQ(result.outcome, refusal ? HttpOutcome::Failed : HttpOutcome::Sent);
        EXPECT_EQ(result.errorCode, refusal);
        EXPECT_EQ(result.body, refusal ? "" : kBody);
    }
}

TEST_F(PeersTest, EveryRedirectIsJudgedBeforeItsTargetIsContacted) {
    // Never contacted: the witnesses count every connection they get, so no
    // handshake could have offered them a certificate.
    const std::pair<std::string, uint32_t> targets[] = {
        {"https://127.0.0.1:" + Peer("ZN_PEER_WITNESS") + "/list.txt", kHttpErrorRedirectFailed},
        {"http://localhost:" + Peer("ZN_PEER_WITNESS_HTTP") + "/list.txt",
         kHttpErrorHttpsToHttpOnRedirect},
        {"/list.txt", 0},
    };
    for (int status = 300; status <= 399; ++status) {
        for (const auto &[to, refusal] : targets) {
            SCOPED_TRACE(std::to_string(status) + " to " + to);
            HttpRequestOptions options = Request("ZN_PEER_PLAIN_TLS");
            options.verifyPeer = false;
            options.path = "/status/" + std::to_string(status) + "?to=" + to;
            const HttpResult result = m_transport->Perform(options);
            EXPECT_EQ(result.errorCode, refusal);
            EXPECT_EQ(result.body, refusal ? "" : kBody);
        }
    }
    EXPECT_EQ(zntest::ReadWholeFile(File("witness.log")), "");
}

TEST_F(PeersTest, StreamHandsOutTheBodyInPieces) {
    std::unique_ptr<HttpStream> stream = HttpStream::Create();
    ASSERT_TRUE(stream);
    const HttpResult begun = stream->Begin(Request("ZN_PEER_HTTP", false), 10000);
    ASSERT_EQ(begun.outcome, HttpOutcome::Sent);
    EXPECT_EQ(begun.contentLength, static_cast<int64_t>(std::string(kBody).size()));
    std::string body, piece;
    HttpReadOutcome read;
    while ((read = stream->Read(10, 10000, &piece)) == HttpReadOutcome::Data) {
        EXPECT_LE(piece.size(), 10u);
        body += piece;
    }
    EXPECT_EQ(read, HttpReadOutcome::End);
    EXPECT_EQ(body, kBody);
}

TEST_F(PeersTest, UrlReaderReadsAPageOverTheWindowsTransport) {
    CAsyncSSLConnection connection;
    ASSERT_EQ(connection.OpenInternetConnection("zembrixnet-test"), 1);
    const std::string url = "http://127.0.0.1:" + Peer("ZN_PEER_HTTP") + "/list.txt";
    ASSERT_EQ(connection.OpenInternetUrl(url, "X-Zembrix-Test: 1\r\n"), 1);
    EXPECT_EQ(connection.ReceiveContents(), kBody);
    EXPECT_EQ(connection.ReceiveContents(), "");
    connection.CloseInternetConnection();
}

}  // namespace
