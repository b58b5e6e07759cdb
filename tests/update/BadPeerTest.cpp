// Whole update runs against peers that misbehave and disks that fill up:
// every run ends, takes what a sound answer holds, and loses nothing of the
// file. Inside scripts/netns-run.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "http/HttpText.h"
#include "platform/TestHooks.h"
#include "support/ChildProcess.h"
#include "support/HttpsPeers.h"
#include "support/Network.h"
#include "support/ScriptedPeer.h"
#include "update/ApiFetcher.h"
#include "update/ServerListUpdater.h"
#include "update/UpdateFileFixture.h"

namespace zn {
namespace {

using zntest::HttpReply;
using zntest::PeerAction;
using zntest::ReadWholeFile;
using zntest::ScriptedPeer;
using zntest::WriteWholeFile;

// Generous: the shortened limits below end every run in seconds.
constexpr uint32_t kRunEndsWithinMs = 120000;

class BadPeerTest : public UpdateFileTest {
  protected:
    void SetUp() override {
        zntest::RequireIsolatedNetwork();
        // A silent peer costs each source one of these, not a minute.
        Limits().httpConnectMs = 2000;
        Limits().httpSendReceiveMs = 1000;
        Limits().sendWaitMs = 2000;
        Limits().sendWaitViaProxyMs = 2000;
    }

    // WEB1 has failed and takes the first address of an answer; WEB2 is
    // usable and must stay whatever comes.
    void WriteLists(const std::string &web, const std::string &proxy, const std::string &page) {
        WriteFile({{"WEB", web},
                   {"HTTPPROXY", proxy},
                   {"WEBNUM", "2"},
                   {"WEB1", Entry("10.0.0.1:443", "-1")},
                   {"WEB2", Entry("10.0.0.2:443", "0")},
                   {"SIPNUM", "1"},
                   {"SIP1", Entry("10.0.0.3:5060", "1")},
                   {"IMNUM", "0"},
                   {"FAXNUM", "0"},
                   {"FREENUM", "2"},
                   {"FREE1", m_cipher.Encipher(page) + ",0"},
                   {"FREE2", m_cipher.Encipher(page) + ",0"}});
    }
    std::string Enciphered(const std::string &address) { return m_cipher.Encipher(address); }
    // A page whose one web server is 10.0.0.8:443.
    std::string GoodPage() {
        return "<webnum>1</webnum><web1>" + Enciphered("10.0.0.8:443") + "</web1>";
    }

    // Runs one whole update; false when it did not end within the manager's wait.
    bool RunUpdate() {
        CServerListUpdater job;
        job.m_strDirectory = m_dir.Path();
        job.SetVersion("2.0");
        return job.Start(0) == 0 &&
               job.m_hDoneEvent.Wait(Limits().updateWaitMs) == WaitResult::Signalled &&
               job.State() == kUpdateEnded;
    }

    // What becomes of WEB1: kept, the answer's address, or an empty usable
    // entry (an item the answer announces but does not carry).
    enum Outcome { Kept, Merged, Emptied };
    // Every key but WEB1 and the page rotation as before.
    void ExpectOnlyWeb1(Outcome outcome, const std::map<std::string, std::string> &before) {
        EXPECT_EQ(Value("WEB1"), outcome == Merged ? Entry("10.0.0.8:443", "0")
                                 : outcome == Kept ? Entry("10.0.0.1:443", "-1")
                                                   : ",0");
        for (const auto &[key, value] : before) {
            if (key != "WEB1" && key.compare(0, 4, "FREE") != 0) {
                EXPECT_EQ(Value(key), value) << key;
            }
        }
    }
    std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> values;
        for (const char *key : {"WEB", "HTTPPROXY", "WEBNUM", "WEB2", "SIPNUM", "SIP1", "IMNUM",
                                "FAXNUM", "FREENUM"}) {
            values[key] = Value(key);
        }
        return values;
    }
};

const std::map<PeerAction, const char *> kFaultNames = {
    {PeerAction::Reset, "resets"},
    {PeerAction::AcceptAndClose, "accepts and closes"},
    {PeerAction::NeverAnswer, "never answers"},
    {PeerAction::ByteByByte, "answers byte by byte"},
    {PeerAction::Flood, "answers with 100 MB"},
};

TEST_F(BadPeerTest, AFaultyPeerAtAnySourceEndsTheRunAndTakesOnlyASoundAnswer) {
    enum Where { Direct, Proxy, Page };
    const struct {
        Where where;
        PeerAction fault;
        bool merged;  // the faulty source's answer, or the sound page after it
    } cases[] = {
        // The web API sources expect TLS from it (after a CONNECT when it is
        // the proxy): each fault fails that source and the run goes on,
        // ending with the sound page.
        {Direct, PeerAction::Reset, true},
        {Direct, PeerAction::AcceptAndClose, true},
        {Direct, PeerAction::NeverAnswer, true},
        {Direct, PeerAction::ByteByByte, true},
        {Direct, PeerAction::Flood, true},
        {Proxy, PeerAction::Reset, true},
        {Proxy, PeerAction::AcceptAndClose, true},
        {Proxy, PeerAction::NeverAnswer, true},
        {Proxy, PeerAction::ByteByByte, true},
        {Proxy, PeerAction::Flood, true},
        // The page is the last source: what it breaks is not merged; a slow
        // page is read whole, a flood up to the reader's cap, tags first.
        {Page, PeerAction::Reset, false},
        {Page, PeerAction::AcceptAndClose, false},
        {Page, PeerAction::NeverAnswer, false},
        {Page, PeerAction::ByteByByte, true},
        {Page, PeerAction::Flood, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.where == Direct  ? "web API"
                                 : c.where == Proxy ? "proxy"
                                                    : "page") +
                     " " + kFaultNames.at(c.fault));
        const std::string body = GoodPage();
        const std::string reply = c.fault == PeerAction::Flood ? body : HttpReply(body);
        ScriptedPeer bad(c.fault, c.where == Page ? reply : "\x16\x03\x01 not a handshake");
        ScriptedPeer sound(PeerAction::Answer, HttpReply(body));
        const std::string badAddress = "127.0.0.1:" + std::to_string(bad.Port());
        // The proxied fetch is only tried after a failed direct one.
        WriteLists(c.where == Direct ? Enciphered(badAddress)
                   : c.where == Proxy
                       ? Enciphered("127.0.0.1:" + std::to_string(zntest::kRefusedPort))
                       : "04",
                   c.where == Proxy ? badAddress : "04",
                   c.where == Page ? bad.Url("/list") : sound.Url("/list"));
        const auto before = Snapshot();
        ASSERT_TRUE(RunUpdate());
        EXPECT_GE(bad.Connections(), 1);
        ExpectOnlyWeb1(c.merged ? Merged : Kept, before);
        if (c.fault == PeerAction::Flood && c.where == Page) {
            EXPECT_LT(bad.BytesSent(), zntest::kFloodBytes / 2) << "the reader did not stop";
        }
    }
}

// An answer whose body is plain compressed as gzip (windowBits 31) or deflate (15).
std::string CompressedReply(const std::string &plain, int windowBits) {
    std::string body(compressBound(static_cast<uLong>(plain.size())) + 32, '\0');
    z_stream z{};
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef *>(&body[0]);
    z.avail_out = static_cast<uInt>(body.size());
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    body.resize(z.total_out);
    deflateEnd(&z);
    return std::string("HTTP/1.1 200 OK\r\nContent-Encoding: ") +
           (windowBits == 31 ? "gzip" : "deflate") +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

TEST_F(BadPeerTest, ACompressedPageIsReadDecodedAndBoundedAsAPlainOne) {
    const struct {
        const char *what;
        int windowBits;
        size_t filler;  // spaces after the tags
    } cases[] = {
        {"gzip", 31, 0},
        {"deflate", 15, 0},
        // 32 MiB from some 32 KiB: decoded up to the cap only, tags first.
        {"gzip bomb", 31, 32u << 20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string plain = GoodPage() + std::string(c.filler, ' ');
        ScriptedPeer page(PeerAction::Answer, CompressedReply(plain, c.windowBits));
        WriteLists("04", "04", page.Url("/list"));
        const auto before = Snapshot();
        ASSERT_TRUE(RunUpdate());
        ExpectOnlyWeb1(Merged, before);
        EXPECT_EQ(GetHttpText(page.Url("/list")).size(), std::min(plain.size(), kMaxHttpBodyBytes));
    }
}

TEST_F(BadPeerTest, ASilentWebServerLeavesTheProxyAndThePageTheirTurn) {
    // The transport's own limits as long as the run's (WinInet under Wine
    // was seen to keep none): only the sources' budgets give the page its turn.
    Limits().updateWaitMs = Limits().httpConnectMs = Limits().httpSendReceiveMs = 20000;
    Limits().directFetchMs = Limits().sendWaitViaProxyMs = 1000;
    zntest::TestAuthority authority("Client Authority", "Quenstead Corp.");
    ASSERT_TRUE(authority.Issue("localhost", m_dir.File("server.pem")));
    std::filesystem::create_directories(m_dir.File("certs/MY"));
    ASSERT_TRUE(authority.Issue("client", m_dir.File("certs/MY/client.pem")));
    zntest::TcpListener silent;  // accepts, never answers
    const std::string silentAddress = "127.0.0.1:" + std::to_string(silent.Port());
    // TLS and the request done, then nothing: nginx waits for a silent upstream.
    zntest::NginxWebApi tlsDone(m_dir.File("server.pem"), authority.CertificatePath(),
                                zntest::kLocalServerAddress, zntest::kLoopback, silentAddress);
    ASSERT_TRUE(tlsDone.Started());
    for (const std::string &web :
         {std::string(zntest::kSilentDropHost) + ":443", silentAddress, tlsDone.OpenServer()}) {
        SCOPED_TRACE(web);
        zntest::TcpListener proxy;  // silent too
        ScriptedPeer page(PeerAction::Answer, HttpReply(GoodPage()));
        WriteLists(Enciphered(web), "127.0.0.1:" + std::to_string(proxy.Port()), page.Url("/list"));
        const auto before = Snapshot();
        ASSERT_TRUE(RunUpdate());
        EXPECT_EQ(proxy.AcceptWaiting(), 1);
        EXPECT_EQ(page.Requests(), 1);
        ExpectOnlyWeb1(Merged, before);
    }
}

TEST_F(BadPeerTest, HostileTagsMergeOnlyStorableAddressesAndKeepTheRest) {
    const std::string good = Enciphered("10.0.0.8:443");
    const struct {
        const char *what;
        std::string page;
        Outcome outcome;
    } cases[] = {
        {"huge count", "<webnum>99999999999999999999</webnum><web1>" + good + "</web1>", Merged},
        // A count below 1 skips the kind.
        {"count -1", "<webnum>-1</webnum><web1>" + good + "</web1>", Kept},
        // Too long to decipher on the page: it reads as an empty item.
        {"item of 2000 bytes",
         "<webnum>1</webnum><web1>" + Enciphered(std::string(2000, '9') + ":1") + "</web1>",
         Emptied},
        {"item of 2000 bytes of no hex",
         "<webnum>1</webnum><web1>" + std::string(2000, 'z') + "</web1>", Kept},
        {"item cut in half", "<webnum>1</webnum><web1>" + good.substr(0, 8), Emptied},
        {"item's end tag cut in half", "<webnum>1</webnum><web1>" + good + "</we", Emptied},
        {"count cut in half", "<webnum>1</web<web1>" + good + "</web1>", Kept},
        {"only an opening bracket", "<", Kept},
        {"count of every kind huge, no items",
         "<webnum>10000</webnum><sipnum>10000</sipnum><imnum>10000</imnum>", Emptied},
        {"4 MiB of \"<\" after huge counts", "<webnum>10000</webnum>" + std::string(4190000, '<'),
         Emptied},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer page(PeerAction::Answer, HttpReply(c.page));
        WriteLists("04", "04", page.Url("/list"));
        const auto before = Snapshot();
        ASSERT_TRUE(RunUpdate());
        EXPECT_EQ(page.Requests(), 1);
        ExpectOnlyWeb1(c.outcome, before);
    }
}

TEST_F(BadPeerTest, EscapedTagsAreReadOnlyFromTheFirstPagesPlainTagsFromEvery) {
    const std::string good = Enciphered("10.0.0.8:443");
    const std::string escaped =
        "&lt;webnum&gt;1&lt;/webnum&gt;&lt;web1&gt;" + good + "&lt;/web1&gt;";
    constexpr int kPages = 5;
    for (const bool escapedTags : {true, false}) {
        ScriptedPeer page(PeerAction::Answer, HttpReply(escapedTags ? escaped : GoodPage()));
        // Page m is chosen when the pages before it are used up; the last
        // one counts as index kPages + 1.
        for (int m = 1; m <= kPages; ++m) {
            SCOPED_TRACE((escapedTags ? "escaped, page " : "plain, page ") + std::to_string(m));
            WriteFile({{"WEB", "04"},
                       {"HTTPPROXY", "04"},
                       {"WEBNUM", "1"},
                       {"WEB1", Entry("10.0.0.1:443", "-1")},
                       {"SIPNUM", "0"},
                       {"IMNUM", "0"},
                       {"FAXNUM", "0"},
                       {"FREENUM", std::to_string(kPages)}});
            for (int n = 1; n <= kPages; ++n) {
                m_profile.SetValue("NETWORK", "FREE" + std::to_string(n),
                                   m_cipher.Encipher(page.Url()) + (n < m ? ",-1" : ",0"));
            }
            ASSERT_TRUE(RunUpdate());
            const int index = m < kPages ? m : kPages + 1;
            const bool merged = !escapedTags || index < 3;
            EXPECT_EQ(Value("WEB1"),
                      merged ? Entry("10.0.0.8:443", "0") : Entry("10.0.0.1:443", "-1"));
        }
        EXPECT_EQ(page.Requests(), kPages);
    }
}

TEST_F(BadPeerTest, BrokenCertificateStoreEntriesAreSkipped) {
    zntest::TestAuthority serverAuthority("Server Authority", "");
    zntest::TestAuthority clientAuthority("Client Authority", "Quenstead Corp.");
    ASSERT_TRUE(serverAuthority.Issue("localhost", m_dir.File("server.pem")));
    zntest::NginxServer nginx(m_dir.File("server.pem"), clientAuthority.CertificatePath());
    ASSERT_TRUE(nginx.Started());
    for (const char *store : {"certs", "certs/MY", "certs/ROOT"})
        mkdir(m_dir.File(store).c_str(), 0700);
    WriteWholeFile(m_dir.File("certs/ROOT/server.pem"),
                   ReadWholeFile(serverAuthority.CertificatePath()));
    ASSERT_TRUE(clientAuthority.Issue("client", m_dir.File("client.pem")));
    const std::string pem = ReadWholeFile(m_dir.File("client.pem"));
    const std::string certificateOnly = pem.substr(0, pem.find("-----END CERTIFICATE-----") + 26);

    // File-name order: every broken one comes before the sound one.
    const struct {
        const char *what;
        std::map<std::string, std::string> files;  // "" content: a directory
        bool succeeds;
    } cases[] = {
        {"broken ones before a sound one",
         {{"a-garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64 at all\n"},
          {"b-cut.pem", pem.substr(0, pem.size() / 2)},
          {"c-no-key.pem", certificateOnly},
          {"d-directory.pem", ""},
          {"e-empty.pem", "\n"},
          {"z-client.pem", pem}},
         true},
        {"only broken ones",
         {{"a-garbage.pem", std::string(5000, '\xff')},
          {"c-no-key.pem", certificateOnly},
          {"d-directory.pem", ""}},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(m_dir.File("certs/MY"));
        mkdir(m_dir.File("certs/MY").c_str(), 0700);
        for (const auto &[name, content] : c.files) {
            const std::string path = m_dir.File("certs/MY/" + name);
            if (content.empty())
                mkdir(path.c_str(), 0700);
            else
                WriteWholeFile(path, content);
        }
        WriteFile({{"WEB", Enciphered("127.0.0.1:" + std::to_string(nginx.RequiredPort()))}});
        CDirectApiFetcher fetcher;
        fetcher.m_strDirectory = m_dir.Path();
        ASSERT_EQ(fetcher.Start(0), 0);
        fetcher.Join();
        EXPECT_EQ(fetcher.m_bSucceeded, c.succeeds ? 1 : 0);
        EXPECT_EQ(fetcher.m_strResponse, c.succeeds ? zntest::kNginxBody : "");
    }
}

// In a child with a full 16 KiB tmpfs as the directory: what went wrong.
std::string FullDiskUpdate(const std::string &directory, const std::string &pageUrl,
                           CAddressCipher &cipher) {
    std::string failures;
    CProfileFile profile;
    profile.m_strFileName = ServerListPath(directory);
    WriteWholeFile(
        profile.m_strFileName,
        zntest::Crlf({"[NETWORK]", "WEB=04", "HTTPPROXY=04", "WEBNUM=1",
                      "WEB1=" + cipher.Encipher("10.0.0.1:443") + ",-1", "SIPNUM=0", "IMNUM=0",
                      "FAXNUM=0", "FREENUM=2", "FREE1=" + cipher.Encipher(pageUrl) + ",0",
                      "FREE2=" + cipher.Encipher(pageUrl) + ",0"}));
    const std::string old = ReadWholeFile(profile.m_strFileName);
    const std::string filler = directory + "/filler";
    {
        FILE *out = std::fopen(filler.c_str(), "wb");
        const std::string block(4096, 'x');
        while (out && std::fwrite(block.data(), 1, block.size(), out) == block.size() &&
               std::fflush(out) == 0) {
        }
        if (out)
            std::fclose(out);
    }
    auto run = [&] {
        CServerListUpdater job;
        job.m_strDirectory = directory;
        return job.Start(0) == 0 &&
               job.m_hDoneEvent.Wait(kRunEndsWithinMs) == WaitResult::Signalled;
    };
    if (!run())
        failures += "the run on a full disk did not end; ";
    if (ReadWholeFile(profile.m_strFileName) != old)
        failures += "the file changed on a full disk; ";
    std::filesystem::remove(filler);
    size_t names = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(directory))
        ++names;
    if (names != 1)
        failures += "something was left beside the file; ";
    if (!run())
        failures += "the run with space did not end; ";
    if (profile.GetValue("NETWORK", "WEB1", "#") != cipher.Encipher("10.0.0.8:443") + ",0")
        failures += "no merge once space came back; ";
    return failures;
}

TEST_F(BadPeerTest, AFullDiskDuringAnUpdateLeavesTheFileWhole) {
    const std::string mountPoint = m_dir.File("tiny");
    // The page server lives in the child too: a fork keeps only its thread.
    zntest::RunOnTinyDisk(mountPoint, [&] {
        ScriptedPeer page(PeerAction::Answer, HttpReply(GoodPage()));
        return FullDiskUpdate(mountPoint, page.Url("/list"), m_cipher);
    });
}

}  // namespace
}  // namespace zn
