// Whole check runs through the exports: the connectivity test, the checkers
// started by mask, cancels and closes, and reading the selections back.

#include <algorithm>
#include <cstring>

#include "check/CheckFixture.h"
#include "report/Observer.h"

namespace zntest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

class CheckRun : public CheckTest {
  protected:
    bool RunCheck(int mask) {
        if (CheckServerStatus("", mask) != 1)
            return false;
        return WaitForMessage("Finish all checking!", seconds(120));
    }
    std::vector<Message> Only75004(const std::vector<Message> &all) {
        std::vector<Message> out;
        for (const Message &m : all) {
            if (m.code == 75004)
                out.push_back(m);
        }
        return out;
    }
    // The first connectivity host answers on port 80.
    std::unique_ptr<TcpListener> Internet() {
        return std::make_unique<TcpListener>(kConnectivityAddress1, 80);
    }
};

TEST_F(CheckRun, WithoutInternetNoCheckerRunsAndTheSelectionsBecomeNone) {
    Set("FAX", "keep");
    Set("WEB", "old");
    ASSERT_TRUE(RunCheck(15));
    EXPECT_EQ((std::vector<Message>{{0, "Finish all checking!"}}), Take());
    EXPECT_EQ((std::vector<std::string>{ConnectivityHostName1() + ":80",
                                        ConnectivityHostName2() + ":80"}),
              Probes());
    EXPECT_EQ("04", Get("WEB"));
    EXPECT_EQ("04", Get("SIP"));
    EXPECT_EQ("04", Get("IM"));
    EXPECT_EQ("keep", Get("FAX"));
}

TEST_F(CheckRun, TheSecondConnectivityHostIsTriedWhenTheFirstDoesNotAnswer) {
    TcpListener second(kConnectivityAddress2, 80);
    ASSERT_TRUE(RunCheck(0));
    EXPECT_EQ((std::vector<Message>{{0, "Finish all checking!"}}), Take());
    EXPECT_EQ("#", Get("WEB"));  // the test passed: nothing written
}

TEST_F(CheckRun, OnlyTheRequestedCheckersRun) {
    auto internet = Internet();
    Set("SIPNUM", "0");
    ASSERT_TRUE(RunCheck(2 | 16));  // bits beyond the four kinds are ignored
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check SIP proxy!"},
                                    {75004, "Finish checking SIP proxy!"},
                                    {0, "Finish all checking!"}}),
              Take());
}

TEST_F(CheckRun, AllFourKindsSelectTheirReachableServersAndInfoReturnsThem) {
    auto internet = Internet();
    TcpListener server("10.0.0.50", 0);
    const std::string port = std::to_string(server.Port());
    const std::string address = "10.0.0.50:" + port;
    for (const char *kind : {"WEB", "SIP", "FAX"}) {
        Set(std::string(kind) + "NUM", "2");
        SetEntry(std::string(kind) + "1", "10.0.0.51:1", "0");
        SetEntry(std::string(kind) + "2", address, "0");
    }
    Set("IMNUM", "1");
    SetEntry("IM1", "10.0.0.50:1TCP" + port + "HTTPS2HTTP", "0");
    StartAt(1);
    ASSERT_TRUE(RunCheck(15));

    std::vector<Message> progress = Only75004(Take());
    EXPECT_EQ(8u, progress.size());
    EXPECT_EQ(Hex(address), Get("WEB"));
    EXPECT_EQ(Hex(address) + ",1", Get("SIP2"));
    EXPECT_EQ(Hex("10.0.0.51:1") + ",-1", Get("FAX1"));

    char host[1024], portBuf[1024], description[32];
    int transport = -1;
    for (int kind : {ZN_KIND_WEB, ZN_KIND_SIP, ZN_KIND_FAX}) {
        ASSERT_EQ(0, GetServerInfo(kind, host, portBuf, description, &transport)) << kind;
        EXPECT_STREQ("10.0.0.50", host);
        EXPECT_EQ(port, portBuf);
        EXPECT_EQ(-1, transport);  // untouched for these kinds
    }
    GetServerInfo(ZN_KIND_WEB, host, portBuf, description, nullptr);
    EXPECT_STREQ("WEB server address", description);
    GetServerInfo(ZN_KIND_SIP, host, portBuf, description, nullptr);
    EXPECT_STREQ("SIP server address", description);
    GetServerInfo(ZN_KIND_FAX, host, portBuf, description, nullptr);
    EXPECT_STREQ("FAX server address", description);

    ASSERT_EQ(0, GetServerInfo(ZN_KIND_IM, host, portBuf, description, &transport));
    EXPECT_STREQ("10.0.0.50", host);
    EXPECT_EQ(port, portBuf);
    EXPECT_STREQ("IM server address", description);
    EXPECT_EQ(ZN_TRANSPORT_HTTPS, transport);
}

// What a diagnosis sees: each probe's outcome from the code that probed. A
// run watched gives the host the very callbacks and file of a run unwatched.
TEST_F(CheckRun, AnObserverSeesEachProbeAndChangesNothingTheHostSees) {
    struct Recorder : zn::IObserver {
        std::mutex mutex;
        std::vector<std::string> seen;
        void Observe(const zn::Observation &o) override {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(o.entry + " " + o.subject + " " + o.outcome);
        }
    } recorder;
    auto internet = Internet();
    TcpListener server("10.0.0.50", 0);
    zn::Limits().probeWaitMs = 300;
    std::vector<Message> messages[2];
    std::string files[2];
    for (zn::IObserver *observer : std::vector<zn::IObserver *>{&recorder, nullptr}) {
        WriteWholeFile(File(), "[NETWORK]\r\nSIPNUM=3\r\n");
        SetEntry("SIP1", "10.0.0.51:1", "0");
        SetEntry("SIP2", std::string(kSilentDropHost) + ":5060", "0");
        SetEntry("SIP3", "10.0.0.50:" + std::to_string(server.Port()), "0");
        StartAt(1);
        zn::InstallObserver(observer);
        ASSERT_TRUE(RunCheck(ZN_KIND_SIP));
        zn::InstallObserver(nullptr);
        messages[observer ? 0 : 1] = Take();
        files[observer ? 0 : 1] = ReadWholeFile(File());
    }
    EXPECT_EQ(messages[0], messages[1]);
    EXPECT_EQ(files[0], files[1]);
    const std::string sip3 = "SIP3 10.0.0.50:" + std::to_string(server.Port());
    EXPECT_EQ((std::vector<std::string>{" " + ConnectivityHostName1() + ":80 connected",
                                        "SIP1 10.0.0.51:1 refused", "SIP1 10.0.0.51:1 refused",
                                        "SIP2 10.99.0.2:5060 timed out", sip3 + " connected",
                                        sip3 + " "}),
              recorder.seen);
}

TEST_F(CheckRun, AJobWithoutAThreadIsRefusedSilentlyAndTheLibraryStaysUsable) {
    for (const bool update : {false, true}) {
        zn::TestHooks().failEventCreations = 1;  // the manager thread's end event
        EXPECT_EQ(0, update ? UpdateServerList("2.0") : CheckServerStatus("", 0));
        EXPECT_EQ(std::vector<Message>{}, Take());
        // Still initialised and idle: the next start runs.
        ASSERT_TRUE(RunCheck(0));
        EXPECT_EQ((std::vector<Message>{{0, "Finish all checking!"}}), Take());
    }
}

TEST_F(CheckRun, ACancelDuringTheConnectivityTestEndsTheRunAtOnceAndLeavesTheFile) {
    TcpListener second(kConnectivityAddress2, 80);
    zn::TestHooks().connectivityHosts.Set({kSilentDropHost, kConnectivityAddress2});
    zn::Limits().connectivityWaitMs = 600000;  // only a cut-short probe ends in time
    Set("WEB", "keep");
    zn::Event probing{zn::Event::Manual};
    OnProbe([&](const std::string &, const std::string &) { probing.Set(); });
    ASSERT_EQ(1, CheckServerStatus("", 15));
    ASSERT_EQ(zn::WaitResult::Signalled, probing.Wait(30000));
    EXPECT_EQ(1, CancelChecking());
    ASSERT_TRUE(WaitForMessage("Finish all checking!", seconds(60)));
    EXPECT_EQ((std::vector<Message>{{75003, "Cancel checking server list successfully!"},
                                    {0, "Finish all checking!"}}),
              Take());
    EXPECT_EQ(std::vector<std::string>{std::string(kSilentDropHost) + ":80"}, Probes());
    EXPECT_EQ("keep", Get("WEB"));
    EXPECT_EQ("#", Get("SIP"));
}

TEST_F(CheckRun, CloseDuringTheConnectivityTestAlwaysReportsTheCancelFirst) {
    zn::TestHooks().connectivityHosts.Set({kSilentDropHost, kSilentDropHost});
    zn::Event probing{zn::Event::Auto};
    OnProbe([&](const std::string &, const std::string &) { probing.Set(); });
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(1, CheckServerStatus("", 15));
        ASSERT_EQ(zn::WaitResult::Signalled, probing.Wait(30000));
        EXPECT_EQ(1, CloseCheckServer());
        ASSERT_EQ((std::vector<Message>{{75003, "Cancel checking server list successfully!"},
                                        {0, "Finish all checking!"},
                                        {75001, "Close checking server list successfully"}}),
                  Take())
            << "try " << i;
        ASSERT_EQ(3, InitLibrary());
        Take();
    }
}

// Every checker stuck in a connect to a host that never answers, with the
// real time limits: a cancel ends them all at once.
class StuckCheckers : public CheckRun {
  protected:
    void SetUp() override {
        CheckRun::SetUp();
        m_internet = Internet();
        for (const char *kind : {"WEB", "SIP", "FAX"}) {
            Set(std::string(kind) + "NUM", "1");
            SetEntry(std::string(kind) + "1", std::string(kSilentDropHost) + ":80", "0");
        }
        Set("IMNUM", "1");
        SetEntry("IM1", std::string(kSilentDropHost) + ":1TCP2HTTPS3HTTP", "0");
        OnProbe([this](const std::string &host, const std::string &) {
            if (host == kSilentDropHost && ++m_stuck == 4)
                m_allStuck.Set();
        });
        ASSERT_EQ(1, CheckServerStatus("", 15));
        ASSERT_EQ(zn::WaitResult::Signalled, m_allStuck.Wait(30000));
    }
    std::unique_ptr<TcpListener> m_internet;
    std::atomic<int> m_stuck{0};
    zn::Event m_allStuck{zn::Event::Manual};
};

TEST_F(StuckCheckers, CancelEndsEveryCheckerAndTheWebCheckerSendsNoFinish) {
    const auto begin = Clock::now();
    EXPECT_EQ(1, CancelChecking());
    EXPECT_LT(Clock::now() - begin, seconds(5));  // each is stopped at once, not in turn
    ASSERT_TRUE(WaitForMessage("Finish all checking!", seconds(10)));
    EXPECT_LT(Clock::now() - begin, seconds(10));

    std::vector<Message> all = Take();
    auto count = [&](const std::string &text) {
        return std::count(all.begin(), all.end(), Message{75004, text});
    };
    EXPECT_EQ(1, std::count(all.begin(), all.end(),
                            Message{75003, "Cancel checking server list successfully!"}));
    EXPECT_EQ(0, count("Finish Checking Website!"));
    EXPECT_EQ(1, count("Finish checking SIP proxy!"));
    EXPECT_EQ(1, count("Finsih Checking Jabber Server!"));
    EXPECT_EQ(1, count("Finish checking FAX proxy!"));
    EXPECT_EQ((Message{0, "Finish all checking!"}), all.back());
    // The probes in progress failed; the stopped runs selected nothing.
    EXPECT_EQ(Hex(std::string(kSilentDropHost) + ":80") + ",-1", Get("SIP1"));
    EXPECT_EQ("#", Get("SIP"));
}

TEST_F(StuckCheckers, CloseCancelsWaitsForTheRunAndShutsDown) {
    const auto begin = Clock::now();
    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_LT(Clock::now() - begin, seconds(5));
    std::vector<Message> all = Take();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ((Message{75001, "Close checking server list successfully"}), all.back());
    EXPECT_EQ((Message{0, "Finish all checking!"}), all[all.size() - 2]);
    EXPECT_EQ(1, std::count(all.begin(), all.end(),
                            Message{75003, "Cancel checking server list successfully!"}));
    EXPECT_EQ(0, CancelChecking());
    EXPECT_EQ((std::vector<Message>{{-75008, "Not initiate yet"}}), Take());
}

TEST_F(CheckRun, CloseAndInitFromInsideACheckerCallbackLeaveTheNewManagerUsable) {
    auto internet = Internet();
    Set("SIPNUM", "1");
    SetEntry("SIP1", std::string(kSilentDropHost) + ":5060", "0");
    std::atomic<int> reinit{-1};
    zn::Event reinitialised{zn::Event::Manual};
    OnProbe([&](const std::string &host, const std::string &) {
        if (host != kSilentDropHost || reinit != -1)
            return;
        EXPECT_EQ(1, CloseCheckServer());
        reinit = InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, m_dir.Path().c_str());
        reinitialised.Set();
    });
    ASSERT_EQ(1, CheckServerStatus("", 2));
    ASSERT_EQ(zn::WaitResult::Signalled, reinitialised.Wait(30000));
    EXPECT_EQ(3, reinit.load());
    // The old run ends at once; the new manager then takes jobs.
    const auto begin = Clock::now();
    int started = 0;
    while (!(started = CheckServerStatus("", 0)) && Clock::now() - begin < seconds(30)) {
        zn::SleepMs(10);
    }
    EXPECT_EQ(1, started);
    EXPECT_LT(Clock::now() - begin, seconds(10));
}

TEST_F(CheckRun, NothingReachesTheHostAfterCloseHasReturned) {
    // The run gives up on its checkers (shortened limit) while they are still
    // stuck in connects; Close must still stop and wait for them.
    zn::Limits().checkersWaitMs = 200;
    auto internet = Internet();
    for (const char *kind : {"WEB", "SIP", "IM", "FAX"}) {
        Set(std::string(kind) + "NUM", "1");
        SetEntry(std::string(kind) + "1", std::string(kSilentDropHost) + ":1TCP2HTTPS3HTTP", "0");
    }
    Set("SIPNUM", "0");
    ASSERT_TRUE(RunCheck(15));
    EXPECT_EQ(1, CloseCheckServer());
    const std::vector<Message> atClose = Take();
    EXPECT_EQ((Message{75001, "Close checking server list successfully"}), atClose.back());
    zn::SleepMs(300);
    EXPECT_TRUE(Take().empty());
}

TEST_F(CheckRun, CloseDuringTheConnectivityTestIsPromptAndLeavesTheFileAlone) {
    zn::TestHooks().connectivityHosts.Set({kSilentDropHost, kSilentDropHost});
    zn::Event probing{zn::Event::Manual};
    OnProbe([&](const std::string &, const std::string &) { probing.Set(); });
    Set("WEB", "keep");
    ASSERT_EQ(1, CheckServerStatus("", 15));
    ASSERT_EQ(zn::WaitResult::Signalled, probing.Wait(30000));
    const auto begin = Clock::now();
    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_LT(Clock::now() - begin, seconds(3));  // not the 5 s of the probe's first wait
    EXPECT_EQ("keep", Get("WEB"));
}

TEST_F(CheckTest, ServerInfoBeforeAnyCheckAndTheSipFallbackToTheFile) {
    char host[1024], port[1024], description[32];
    int transport = -1;
    // Before this process checked a kind, the selection the file records
    // answers; a kind the file records none for (or nothing usable) fails.
    const struct {
        int kind;
        const char *key;
        const char *recorded;  // plain address, "04" as it stands, or null: no key
        const char *host;      // null: the call fails
        const char *port;
    } rows[] = {{ZN_KIND_WEB, "WEB", "198.51.100.9:443", "198.51.100.9", "443"},
                {ZN_KIND_SIP, "SIP", "192.0.2.7:5060", "192.0.2.7", "5060"},
                {ZN_KIND_IM, "IM", "203.0.113.5:443HTTPS", "203.0.113.5", "443"},
                {ZN_KIND_FAX, "FAX", "192.0.2.110:10080", "192.0.2.110", "10080"},
                {ZN_KIND_WEB, "WEB", "04", nullptr, nullptr},
                {ZN_KIND_FAX, "FAX", nullptr, nullptr, nullptr},
                {ZN_KIND_SIP, "SIP", "", nullptr, nullptr},
                {ZN_KIND_FAX, "FAX", ":10080", nullptr, nullptr},
                {ZN_KIND_IM, "IM", "203.0.113.5:5222", nullptr, nullptr}};
    for (const auto &row : rows) {
        for (int i = 0; i < zn::kKindCount; ++i)
            zn::SetLastSelected(i, "");
        WriteWholeFile(File(), "[NETWORK]\r\n");
        if (row.recorded)
            Set(row.key, std::string(row.recorded) == "04" ? "04" : Hex(row.recorded));
        const int result = GetServerInfo(row.kind, host, port, description, &transport);
        EXPECT_EQ(row.host ? 0 : 1, result)
            << row.key << " " << (row.recorded ? row.recorded : "-");
        if (row.host && result == 0) {
            EXPECT_STREQ(row.host, host);
            EXPECT_STREQ(row.port, port);
        }
    }

    // Nothing found in this process, but the file names a SIP proxy.
    zn::SetLastSelected(zn::kSipIndex, "04");
    Set("SIP", Hex("192.0.2.7:5060"));
    ASSERT_EQ(0, GetServerInfo(ZN_KIND_SIP, host, port, description, nullptr));
    EXPECT_STREQ("192.0.2.7", host);
    EXPECT_STREQ("5060", port);
    Set("SIP", "04");
    EXPECT_EQ(1, GetServerInfo(ZN_KIND_SIP, host, port, description, nullptr));
    // Once checked, the check's own "none" stands for the other kinds.
    Set("WEB", Hex("198.51.100.9:443"));
    zn::SetLastSelected(zn::kWebIndex, "04");
    EXPECT_EQ(1, GetServerInfo(ZN_KIND_WEB, host, port, description, nullptr));
    zn::SetLastSelected(zn::kWebIndex, std::string(1024, 'A'));
    EXPECT_EQ(1, GetServerInfo(ZN_KIND_WEB, host, port, description, nullptr));
}

TEST_F(CheckTest, ImServerInfoTellsTheTransportByItsWord) {
    char host[1024], port[1024], description[32];
    const struct {
        const char *plain;
        int transport;
        const char *port;
    } cases[] = {{"10.0.0.1:5222TCP", 0, "5222"},
                 {"10.0.0.1:443HTTPS", 1, "443"},
                 {"10.0.0.1:80HTTP", 2, "80"}};
    for (const auto &c : cases) {
        zn::SetLastSelected(zn::kImIndex, Hex(c.plain));
        int transport = -1;
        ASSERT_EQ(0, GetServerInfo(ZN_KIND_IM, host, port, description, &transport)) << c.plain;
        EXPECT_EQ(c.transport, transport) << c.plain;
        EXPECT_STREQ(c.port, port) << c.plain;
        EXPECT_STREQ("10.0.0.1", host);
    }
    // Without a transport pointer the buffers are written, but it fails.
    std::strcpy(host, "");
    EXPECT_EQ(1, GetServerInfo(ZN_KIND_IM, host, port, description, nullptr));
    EXPECT_STREQ("10.0.0.1", host);
    EXPECT_STREQ("IM server address", description);
}

}  // namespace
}  // namespace zntest
