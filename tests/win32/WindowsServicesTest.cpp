// What only the Windows build has: the read-only attribute, the backslash,
// Winsock's cancellable connect, the system certificate store and the
// Windows Internet functions against an in-process server.
#include <gtest/gtest.h>
// winsock2.h first, then windows.h, then what builds on it.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Crypto.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/HttpTransport.h"
#include "platform/Socket.h"
#include "support/TempDir.h"
#include "zembrixnet.h"

using namespace zn;
using zntest::TempDir;

namespace {

bool InsideTestNamespace() {
    return GetEnvironmentVariableA("ZN_NETNS", nullptr, 0) > 0;
}

#define REQUIRE_NAMESPACE()     \
    if (!InsideTestNamespace()) \
    GTEST_SKIP() << "opens sockets: run under scripts/netns-run"

TEST(WindowsFileTest, ReadOnlyIsTheAttributeAndClearingKeepsTheOthers) {
    TempDir dir;
    const std::string path = dir.Path() + "\\list.ini";
    ASSERT_TRUE(SaveTextLines(path, {"[NETWORK]"}));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    bool readOnly = false;
    ASSERT_TRUE(QueryReadOnly(path, &readOnly));
    EXPECT_TRUE(readOnly);
    // A read-only file is never replaced behind its owner's back.
    EXPECT_FALSE(SaveTextLines(path, {"changed"}));
    ASSERT_TRUE(ClearReadOnly(path));
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              DWORD{FILE_ATTRIBUTE_HIDDEN});
    // Replaced whole, the file keeps its attributes.
    ASSERT_TRUE(SaveTextLines(path, {"a", "b"}));
    EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(zntest::ReadWholeFile(path), "a\r\nb\r\n");
    EXPECT_FALSE(QueryReadOnly(dir.Path() + "\\missing", &readOnly));
}

TEST(WindowsFileTest, InitialisationUsesTheBackslashAndClearsReadOnly) {
    EXPECT_EQ(kPathSeparator, '\\');
    TempDir dir;
    const std::string file = dir.Path() + "\\ZembrixNetWork.ini";
    for (int round = 0; round < 2; ++round) {
        // One trailing backslash goes; the file is the one in the directory.
        ASSERT_EQ(InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, (dir.Path() + "\\").c_str()),
                  3);
        EXPECT_EQ(CloseCheckServer(), 1);
        EXPECT_NE(zntest::ReadWholeFile(file).find("SIP1="), std::string::npos);
        EXPECT_FALSE(GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    }
}

TEST(WindowsCryptoTest, Rc4KeysReachTheProvidersLimitOf128Bits) {
    std::unique_ptr<CryptoProvider> provider = CryptoProvider::Acquire();
    ASSERT_TRUE(provider);
    const uint8_t key[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_NE(Rc4Key::Create(*provider, key, 16), nullptr);
    EXPECT_EQ(Rc4Key::Create(*provider, key, 17), nullptr);
}

// A listening socket on an ephemeral loopback port.
class Listener {
  public:
    Listener() {
        InitSocketLayer();
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            listen(m_socket, 8) == 0 &&
            getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~Listener() { closesocket(m_socket); }
    unsigned Port() const { return m_port; }
    SOCKET Accept() { return accept(m_socket, nullptr, nullptr); }

  private:
    SOCKET m_socket;
    unsigned m_port = 0;
};

TEST(WindowsSocketTest, ConnectsRefusesAndEndsAtOnceOnCancel) {
    REQUIRE_NAMESPACE();
    StreamSocket socket;
    Listener listener;
    ASSERT_NE(listener.Port(), 0u);
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Connect("127.0.0.1", listener.Port(), 10000));
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Connect("localhost", listener.Port(), 10000));
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", 9, 10000));  // nothing listens

    // The silent-drop host never answers; only the cancel ends the wait.
    ASSERT_TRUE(socket.Create());
    std::thread canceller([&socket] {
        Sleep(200);
        socket.CancelBlockingCall();
    });
    EXPECT_FALSE(socket.Connect("10.99.0.2", 80));
    canceller.join();
    // The cancel sticks.
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", listener.Port(), 10000));
}

// A self-signed certificate with its key in the current user's "MY" store,
// so its issuer carries the unit; removed again with its key container.
class StoredTestCertificate {
  public:
    StoredTestCertificate(const char *container, const std::string &subject) {
        HCRYPTPROV provider = 0;
        CryptAcquireContextA(&provider, container, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        if (!CryptAcquireContextA(&provider, container, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
            return;
        HCRYPTKEY key = 0;
        if (CryptGenKey(provider, AT_KEYEXCHANGE, 1024 << 16, &key))
            CryptDestroyKey(key);
        CryptReleaseContext(provider, 0);
        BYTE name[512];
        DWORD nameSize = sizeof name;
        if (!CertStrToNameA(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, name,
                            &nameSize, nullptr))
            return;
        CERT_NAME_BLOB blob{nameSize, name};
        CRYPT_KEY_PROV_INFO info{};
        std::wstring wide(container, container + strlen(container));
        info.pwszContainerName = &wide[0];
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        PCCERT_CONTEXT certificate =
            CertCreateSelfSignCertificate(0, &blob, 0, &info, nullptr, nullptr, nullptr, nullptr);
        if (!certificate)
            return;
        m_container = container;
        // Closed at once: only then is the store written where others see it.
        if (HCERTSTORE store = CertOpenSystemStoreA(0, "MY")) {
            if (CertAddCertificateContextToStore(store, certificate,
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
                m_stored = certificate;
            CertCloseStore(store, 0);
        }
        if (!m_stored)
            CertFreeCertificateContext(certificate);
    }
    ~StoredTestCertificate() {
        if (HCERTSTORE store = m_stored ? CertOpenSystemStoreA(0, "MY") : nullptr) {
            if (PCCERT_CONTEXT copy = CertFindCertificateInStore(
                    store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, m_stored, nullptr))
                CertDeleteCertificateFromStore(copy);
            CertCloseStore(store, 0);
        }
        if (m_stored)
            CertFreeCertificateContext(m_stored);
        HCRYPTPROV provider = 0;
        if (!m_container.empty())
            CryptAcquireContextA(&provider, m_container.c_str(), nullptr, PROV_RSA_FULL,
                                 CRYPT_DELETEKEYSET);
    }
    bool IsStored() const { return m_stored != nullptr; }

  private:
    PCCERT_CONTEXT m_stored = nullptr;
    std::string m_container;
};

TEST(WindowsCertificateStoreTest, FindsTheCertificateByItsIssuersUnitExactly) {
    StoredTestCertificate stored("zembrixnet-test", "CN=zn client, OU=ZN Test Unit, O=Test");
    ASSERT_TRUE(stored.IsStored());
    StoredCertificate found;
    // The store of the directory the other builds use: its last name.
    ASSERT_TRUE(FindCertificateByIssuerUnit("C:\\any\\certs\\MY", "ZN Test Unit", &found));
    EXPECT_EQ(found.path, "MY");
    EXPECT_EQ(found.pem.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
    EXPECT_FALSE(FindCertificateByIssuerUnit("C:\\any\\certs\\MY", "zn test unit", &found));
    EXPECT_FALSE(FindCertificateByIssuerUnit("C:\\any\\certs\\MY", "ZN Test", &found));
}

// Answers every connection with one canned HTTP reply, or never (silent).
class HttpServer {
  public:
    explicit HttpServer(std::string reply) : m_reply(std::move(reply)) {
        m_thread = std::thread([this] {
            for (;;) {
                SOCKET client = m_listener.Accept();
                if (client == INVALID_SOCKET || m_stopping)
                    break;
                char request[4096];
                recv(client, request, sizeof request, 0);
                if (!m_reply.empty())
                    send(client, m_reply.data(), static_cast<int>(m_reply.size()), 0);
                else
                    WaitForSingleObject(m_stop, INFINITE);
                closesocket(client);
            }
        });
    }
    ~HttpServer() {
        m_stopping = true;
        SetEvent(m_stop);
        StreamSocket wake;  // ends the accept
        if (wake.Create())
            wake.Connect("127.0.0.1", m_listener.Port(), 1000);
        m_thread.join();
        CloseHandle(m_stop);
    }
    HttpRequestOptions Request() const {
        HttpRequestOptions options;
        options.secure = false;
        options.host = "127.0.0.1";
        options.port = static_cast<uint16_t>(m_listener.Port());
        options.path = "/list";
        options.proxyMode = HttpProxyMode::Direct;
        return options;
    }

  private:
    Listener m_listener;
    std::string m_reply;
    std::atomic<bool> m_stopping{false};
    HANDLE m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread m_thread;
};

TEST(WindowsHttpTest, ReadsAnAnswerAndCapsItsBody) {
    REQUIRE_NAMESPACE();
    HttpServer server(
        "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\n"
        "<RES>OK</RES>");
    std::unique_ptr<HttpTransport> transport = HttpTransport::Create();
    ASSERT_TRUE(transport);
    HttpResult result = transport->Perform(server.Request());
    EXPECT_EQ(result.outcome, HttpOutcome::Sent);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.contentLength, 13);
    EXPECT_EQ(result.body, "<RES>OK</RES>");

    HttpRequestOptions capped = server.Request();
    capped.bodyCap = 4;
    result = transport->Perform(capped);
    EXPECT_EQ(result.outcome, HttpOutcome::Failed);
    EXPECT_TRUE(result.truncated);
    EXPECT_EQ(result.body, "<RES");

    HttpRequestOptions bad = server.Request();
    bad.path = "/a b";
    EXPECT_EQ(transport->Perform(bad).errorCode, kHttpErrorInvalidUrl);
    bad = server.Request();
    bad.headers = "no colon";
    EXPECT_EQ(transport->Perform(bad).errorCode, kHttpErrorInvalidHeader);
}

TEST(WindowsHttpTest, AbortEndsAWaitForASilentServerAndEveryLaterRequest) {
    REQUIRE_NAMESPACE();
    HttpServer silent("");
    std::unique_ptr<HttpTransport> transport = HttpTransport::Create();
    ASSERT_TRUE(transport);
    std::thread aborter([&transport] {
        Sleep(300);
        transport->Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    const HttpResult result = transport->Perform(silent.Request());
    aborter.join();
    EXPECT_EQ(result.outcome, HttpOutcome::Aborted);
    EXPECT_EQ(result.errorCode, kHttpErrorOperationCancelled);
    // Far below the silence limit of 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(transport->Perform(silent.Request()).outcome, HttpOutcome::Aborted);
}

}  // namespace
