// The checkers against local listeners: order of probes, statuses written,
// selections, messages, stops.

#include "check/CheckFixture.h"

namespace zntest {
namespace {

using zn::CFaxChecker;
using zn::CIMChecker;
using zn::CSIPChecker;
using zn::CWebChecker;

// Three SIP entries on distinct local addresses, all on one port.
class SipChecker : public CheckTest {
  protected:
    void SetUp() override {
        CheckTest::SetUp();
        ASSERT_TRUE(m_listener.IsOpen());
        Set("SIPNUM", "3");
        for (int i = 1; i <= 3; ++i)
            SetEntry("SIP" + std::to_string(i), Address(i), "0");
    }
    std::string Address(int i) {
        return "10.0.0." + std::to_string(10 + i) + ":" + std::to_string(m_listener.Port());
    }
    std::string Probed(int i) { return Address(i); }

    // Only entry 2's address listens.
    TcpListener m_listener{"10.0.0.12", 0};
};

TEST_F(SipChecker, StartEntryFailsThenThePassFromTheFirstFindsTheReachableOne) {
    StartAt(3);
    CSIPChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ((std::vector<std::string>{Probed(3), Probed(1), Probed(2)}), Probes());
    EXPECT_EQ(Hex(Address(1)) + ",-1", Get("SIP1"));
    EXPECT_EQ(Hex(Address(2)) + ",1", Get("SIP2"));
    EXPECT_EQ(Hex(Address(3)) + ",-1", Get("SIP3"));
    EXPECT_EQ(Hex(Address(2)), Get("SIP"));
    EXPECT_EQ(Hex(Address(2)), zn::GetLastSelected(zn::kSipIndex));
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check SIP proxy!"},
                                    {75004, "Finish checking SIP proxy!"}}),
              Take());
    EXPECT_TRUE(Signals().m_hDone.IsSet());
    EXPECT_EQ(0, Signals().m_bRunning.load());
}

TEST_F(SipChecker, AReachableStartEntryIsTheOnlyProbe) {
    StartAt(2);
    CSIPChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ(std::vector<std::string>{Probed(2)}, Probes());
    EXPECT_EQ(Hex(Address(1)) + ",0", Get("SIP1"));
    EXPECT_EQ(Hex(Address(2)) + ",1", Get("SIP2"));
    EXPECT_EQ(Hex(Address(3)) + ",0", Get("SIP3"));
}

TEST_F(SipChecker, NothingReachableProbesTheStartEntryTwiceAndSelectsNone) {
    m_listener.Close();
    Set("SIP", "stale");
    StartAt(2);
    CSIPChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ((std::vector<std::string>{Probed(2), Probed(1), Probed(2), Probed(3)}), Probes());
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(Hex(Address(i)) + ",-1", Get("SIP" + std::to_string(i)));
    EXPECT_EQ("04", Get("SIP"));
    EXPECT_EQ("04", zn::GetLastSelected(zn::kSipIndex));
}

TEST_F(SipChecker, TheLastSelectionIsClearedBeforeTheStartEntryIsChosen) {
    SetEntry("SIP3", Address(3), "1");
    std::string seenAtChoice;
    zn::TestHooks().startEntryChooser.Set([&](int, int) {
        seenAtChoice = Get("SIP3");
        return 2;
    });
    CSIPChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ(Hex(Address(3)) + ",0", seenAtChoice);
    EXPECT_EQ(Hex(Address(3)) + ",0", Get("SIP3"));
}

TEST_F(SipChecker, MalformedEntriesAreMarkedFailedWithoutAProbe) {
    Set("SIPNUM", "6");
    Set("SIP1", "no-comma-at-all");
    Set("SIP2", Hex(Address(2)) + ",2");
    SetEntry("SIP3", "10.0.0.1", "0");           // no port
    SetEntry("SIP4", "10.-1.0.1:80", "-1");      // negative octet
    Set("SIP5", std::string(1024, 'A') + ",0");  // does not fit the work buffer
    // SIP6 is missing: its default "#" has no comma.
    m_listener.Close();
    StartAt(1);
    CSIPChecker checker(Signals());
    RunChecker(checker);
    EXPECT_TRUE(Probes().empty());
    EXPECT_EQ("no-comma-at-all,-1", Get("SIP1"));
    EXPECT_EQ(Hex(Address(2)) + ",2,-1", Get("SIP2"));
    EXPECT_EQ(Hex("10.0.0.1") + ",-1", Get("SIP3"));
    EXPECT_EQ(Hex("10.-1.0.1:80") + ",-1", Get("SIP4"));
    EXPECT_EQ(std::string(1024, 'A') + ",-1", Get("SIP5"));
    EXPECT_EQ("#,-1", Get("SIP6"));
    EXPECT_EQ("04", Get("SIP"));
}

TEST_F(SipChecker, OutOfRangeNumbersPassTheAddressCheckAndAreProbed) {
    SetEntry("SIP1", "300.1.1.1:999999", "0");
    StartAt(1);
    CSIPChecker checker(Signals());
    RunChecker(checker);
    ASSERT_GE(Probes().size(), 1u);
    EXPECT_EQ("300.1.1.1:999999", Probes()[0]);
    EXPECT_EQ(Hex("300.1.1.1:999999") + ",-1", Get("SIP1"));
}

TEST_F(SipChecker, CountsAboveTenOrNegativeExamineTenEntries) {
    m_listener.Close();
    for (const char *count : {"12", "-1"}) {
        Set("SIPNUM", count);
        int chosenFrom = 0;
        zn::TestHooks().startEntryChooser.Set([&](int, int n) {
            chosenFrom = n;
            return 1;
        });
        CSIPChecker checker(Signals());
        RunChecker(checker);
        EXPECT_EQ(10, chosenFrom) << count;
        EXPECT_EQ("#,-1", Get("SIP10")) << count;  // missing entries 4..10 were examined
        EXPECT_EQ("#", Get("SIP11")) << count;
        for (int i = 4; i <= 10; ++i)
            Set("SIP" + std::to_string(i), "#");
    }
}

TEST_F(SipChecker, ACountOfZeroSelectsNoneAndTouchesNothingElse) {
    for (const char *count : {"0", "none"}) {
        Set("SIPNUM", count);
        Set("SIP", "stale");
        const std::string before = ReadWholeFile(File());
        CSIPChecker checker(Signals());
        RunChecker(checker);
        EXPECT_TRUE(Probes().empty());
        const std::string expected = before.substr(0, before.find("SIP=stale")) + "SIP=04" +
                                     before.substr(before.find("SIP=stale") + 9);
        EXPECT_EQ(expected, ReadWholeFile(File())) << count;
        EXPECT_EQ("04", zn::GetLastSelected(zn::kSipIndex));
        EXPECT_EQ((std::vector<Message>{{75004, "Begin to check SIP proxy!"},
                                        {75004, "Finish checking SIP proxy!"}}),
                  Take());
    }
}

TEST_F(SipChecker, AStopDuringAProbeFailsThatEntryAndEndsWithTheFinishMessage) {
    zn::Limits().probeWaitMs = 60000;  // only the stop can end the probe
    SetEntry("SIP1", std::string(kSilentDropHost) + ":80", "0");
    SetEntry("SIP2", Address(2), "0");
    StartAt(1);
    CSIPChecker checker(Signals());
    OnProbe([&](const std::string &, const std::string &) { checker.RequestStop(); });
    RunChecker(checker);
    EXPECT_EQ(1u, Probes().size());
    EXPECT_EQ(Hex(std::string(kSilentDropHost) + ":80") + ",-1", Get("SIP1"));
    EXPECT_EQ(Hex(Address(2)) + ",0", Get("SIP2"));
    EXPECT_EQ("#", Get("SIP"));  // nothing written to the selection
    EXPECT_EQ("04", zn::GetLastSelected(zn::kSipIndex));
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check SIP proxy!"},
                                    {75004, "Finish checking SIP proxy!"}}),
              Take());
}

TEST_F(SipChecker, AStopEndsThePauseBeforeAnEntryAtOnce) {
    zn::Limits().entryPauseMs = 60000;
    StartAt(1);
    CSIPChecker checker(Signals());
    ASSERT_EQ(0, checker.Start(0));
    ASSERT_TRUE(WaitForMessage("Begin to check SIP proxy!", std::chrono::seconds(10)));
    checker.RequestStop();
    EXPECT_EQ(zn::WaitResult::Signalled, Signals().m_hDone.Wait(10000));  // a sixth of the pause
    checker.Join();
    EXPECT_TRUE(Probes().empty());
}

TEST_F(CheckTest, AStoppedWebCheckerSendsNoFinishMessage) {
    zn::Limits().probeWaitMs = 60000;
    Set("WEBNUM", "2");
    SetEntry("WEB1", std::string(kSilentDropHost) + ":80", "0");
    SetEntry("WEB2", std::string(kSilentDropHost) + ":81", "0");
    StartAt(1);
    CWebChecker checker(Signals());
    OnProbe([&](const std::string &, const std::string &) { checker.RequestStop(); });
    RunChecker(checker);
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check Website!"}}), Take());
    EXPECT_TRUE(Signals().m_hDone.IsSet());
    EXPECT_EQ(0, Signals().m_bRunning.load());
}

TEST_F(CheckTest, ASilentDropHostIsGivenUpAfterTheProbeLimit) {
    zn::Limits().probeWaitMs = zn::Limits().probeCancelWaitMs = 50;
    Set("FAXNUM", "1");
    SetEntry("FAX1", std::string(kSilentDropHost) + ":80", "0");
    StartAt(1);
    CFaxChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ(2u, Probes().size());  // the start entry, then the pass
    EXPECT_EQ(Hex(std::string(kSilentDropHost) + ":80") + ",-1", Get("FAX1"));
    EXPECT_EQ("04", Get("FAX"));
}

TEST_F(CheckTest, ASilentDropHostWithTheRealLimits) {
    Set("FAXNUM", "1");
    SetEntry("FAX1", std::string(kSilentDropHost) + ":80", "0");
    StartAt(1);
    CFaxChecker checker(Signals());
    const auto begin = std::chrono::steady_clock::now();
    RunChecker(checker);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(2u, Probes().size());
    EXPECT_GE(took, std::chrono::seconds(20));  // two probes, each cut at 10 s
    EXPECT_LT(took, std::chrono::seconds(200));
    EXPECT_EQ("04", Get("FAX"));
}

TEST_F(CheckTest, FaxAndWebCheckersUseTheirOwnKeysAndMessages) {
    TcpListener listener("10.0.0.30", 0);
    const std::string address = "10.0.0.30:" + std::to_string(listener.Port());
    Set("FAXNUM", "1");
    SetEntry("FAX1", address, "0");
    Set("WEBNUM", "11");
    SetEntry("WEB10", address, "-1");
    StartAt(1);
    CFaxChecker fax(Signals());
    RunChecker(fax);
    EXPECT_EQ(std::vector<std::string>{address}, Probes());
    EXPECT_EQ(Hex(address) + ",1", Get("FAX1"));
    EXPECT_EQ(Hex(address), Get("FAX"));

    CWebChecker web(Signals());
    RunChecker(web);
    EXPECT_EQ(Hex(address) + ",1", Get("WEB10"));
    EXPECT_EQ(Hex(address), Get("WEB"));
    EXPECT_EQ("#", Get("WEB11"));  // a count of 11 is cut to 10
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check Fax Server!"},
                                    {75004, "Finish checking FAX proxy!"},
                                    {75004, "Begin to check Website!"},
                                    {75004, "Finish Checking Website!"}}),
              Take());
}

// The host sees an IPv6 literal without its brackets, a name as written.
TEST_F(CheckTest, IPv6LiteralsAndNamesOfEitherFamilyAreSelected) {
    const struct {
        const char *entryHost, *listenOn, *hostSees;
    } cases[] = {{"[2001:db8::5]", "2001:db8::5", "2001:db8::5"},
                 {"[2001:DB8:0::6]", "2001:db8::6", "2001:DB8:0::6"},
                 {kIPv6OnlyName, kIPv6OnlyNameAddress, kIPv6OnlyName},
                 {kDualStackName, kDualStackName6, kDualStackName},
                 {kDualStackName, kDualStackName4, kDualStackName}};
    Set("SIPNUM", "1");
    StartAt(1);
    for (const auto &c : cases) {
        TcpListener listener(c.listenOn, 0);
        const std::string port = std::to_string(listener.Port());
        const std::string entry = std::string(c.entryHost) + ":" + port;
        SetEntry("SIP1", entry, "0");
        CSIPChecker checker(Signals());
        RunChecker(checker);
        EXPECT_EQ(Hex(entry) + ",1", Get("SIP1")) << entry;
        EXPECT_EQ(Hex(entry), Get("SIP")) << entry;
        char host[ZN_ADDRESS_BUFFER_BYTES], portText[ZN_ADDRESS_BUFFER_BYTES], description[32];
        ASSERT_EQ(0, GetServerInfo(ZN_KIND_SIP, host, portText, description, nullptr)) << entry;
        EXPECT_STREQ(c.hostSees, host);
        EXPECT_EQ(port, portText);
    }
}

// IM entries: three ports, tried TCP, HTTPS, HTTP.
class ImChecker : public CheckTest {
  protected:
    void SetUp() override {
        CheckTest::SetUp();
        Set("IMNUM", "1");
        StartAt(1);
    }
    std::string Ports(unsigned tcp, unsigned https, unsigned http) {
        return std::to_string(tcp) + "TCP" + std::to_string(https) + "HTTPS" +
               std::to_string(http) + "HTTP";
    }
};

TEST_F(ImChecker, TheFirstTransportThatAnswersIsSelectedWithItsWord) {
    TcpListener https("10.0.0.40", 0);
    const unsigned closed = zntest::kRefusedPort;
    const std::string entry = "10.0.0.40:" + Ports(closed, https.Port(), closed + 1);
    SetEntry("IM1", entry, "0");
    CIMChecker checker(Signals());
    RunChecker(checker);
    const std::string httpsPort = std::to_string(https.Port());
    EXPECT_EQ((std::vector<std::string>{"10.0.0.40:1", "10.0.0.40:" + httpsPort}), Probes());
    EXPECT_EQ(Hex(entry) + ",1", Get("IM1"));
    EXPECT_EQ(Hex("10.0.0.40:" + httpsPort + "HTTPS"), Get("IM"));
    EXPECT_EQ(Get("IM"), zn::GetLastSelected(zn::kImIndex));
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check jabber server!"},
                                    {75004, "Finsih Checking Jabber Server!"}}),
              Take());
}

TEST_F(ImChecker, AnAnsweringTcpPortEndsTheEntryAndTrailingTextIsIgnored) {
    TcpListener tcp("10.0.0.41", 0);
    const std::string entry = "10.0.0.41:" + Ports(tcp.Port(), 2, 3) + "X";
    SetEntry("IM1", entry, "0");
    CIMChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ(std::vector<std::string>{"10.0.0.41:" + std::to_string(tcp.Port())}, Probes());
    EXPECT_EQ(Hex("10.0.0.41:" + std::to_string(tcp.Port()) + "TCP"), Get("IM"));
}

TEST_F(ImChecker, PortListsWithoutAllThreeWordsFailWithoutAProbe) {
    Set("IMNUM", "4");
    SetEntry("IM1", "10.0.0.1:5222TCP", "0");
    SetEntry("IM2", "10.0.0.1:5222tcp443HTTPS80HTTP", "0");
    SetEntry("IM3", "10.0.0.1:" + std::string(20, '1') + "TCP443HTTPS80HTTP", "0");
    SetEntry("IM4", "10.0.0.1:5222TCP443HTTPS80HTTP" + std::string(31, 'Z'), "0");  // 52 chars
    CIMChecker checker(Signals());
    RunChecker(checker);
    EXPECT_TRUE(Probes().empty());
    EXPECT_EQ(Hex("10.0.0.1:5222TCP") + ",-1", Get("IM1"));
    EXPECT_EQ(Hex("10.0.0.1:5222tcp443HTTPS80HTTP") + ",-1", Get("IM2"));
    EXPECT_EQ("04", Get("IM"));
}

TEST_F(ImChecker, AnIPv6EntrysSelectionKeepsItsBrackets) {
    TcpListener http("2001:db8::7", 0);
    const std::string port = std::to_string(http.Port());
    const std::string entry = "[2001:db8::7]:" + Ports(kRefusedPort, kRefusedPort, http.Port());
    SetEntry("IM1", entry, "0");
    CIMChecker checker(Signals());
    RunChecker(checker);
    EXPECT_EQ(Hex("[2001:db8::7]:" + port + "HTTP"), Get("IM"));
    char host[ZN_ADDRESS_BUFFER_BYTES], portText[ZN_ADDRESS_BUFFER_BYTES], description[32];
    int transport = -1;
    ASSERT_EQ(0, GetServerInfo(ZN_KIND_IM, host, portText, description, &transport));
    EXPECT_STREQ("2001:db8::7", host);
    EXPECT_EQ(port, portText);
    EXPECT_EQ(ZN_TRANSPORT_HTTP, transport);
}

TEST_F(ImChecker, AStopBetweenTransportsKeepsTheEntrysStatus) {
    const std::string entry = "10.0.0.42:" + Ports(1, 2, 3);
    SetEntry("IM1", entry, "0");
    CIMChecker checker(Signals());
    OnProbe([&](const std::string &, const std::string &port) {
        if (port == "1")
            checker.RequestStop();
    });
    RunChecker(checker);
    EXPECT_EQ(std::vector<std::string>{"10.0.0.42:1"}, Probes());
    EXPECT_EQ(Hex(entry) + ",0", Get("IM1"));
    EXPECT_EQ("#", Get("IM"));
    EXPECT_EQ((std::vector<Message>{{75004, "Begin to check jabber server!"},
                                    {75004, "Finsih Checking Jabber Server!"}}),
              Take());
}

TEST(AddressCheck, AcceptsWhatSscanfReadsAsFiveNonNegativeNumbers) {
    EXPECT_TRUE(zn::IsValidServerAddress("10.0.0.1:80"));
    EXPECT_TRUE(zn::IsValidServerAddress("300.1.1.1:999999"));
    EXPECT_TRUE(zn::IsValidServerAddress("10.0.0.1:80 and more"));
    EXPECT_FALSE(zn::IsValidServerAddress("10.0.0.1"));
    EXPECT_FALSE(zn::IsValidServerAddress("10.0.0.1:"));
    EXPECT_FALSE(zn::IsValidServerAddress("10.0.-2.1:80"));
    EXPECT_FALSE(zn::IsValidServerAddress(""));
    // IPv6 literals in brackets and host names; zone ids and malformed forms
    // are refused.
    for (const char *plain :
         {"host.example:80", "sip.example.net:5060", "[2001:db8::5]:5060", "[::1]:80", "[::]:1",
          "[1:2:3:4:5:6:7:8]:1", "[::ffff:10.0.0.1]:80", "[2001:DB8::]:80", "[2001:db8::5]:50600",
          "localhost:80", "1.2.3.a:80"})
        EXPECT_TRUE(zn::IsValidServerAddress(plain)) << plain;
    for (const char *plain :
         {"[fe80::1%eth0]:80", "[fe80::1%25eth0]:80", "2001:db8::5:5060", "[2001:db8::5]",
          "[2001:db8::5]5060", "[2001:db8::5]:", "[2001:db8::5]:506000", "[2001:db8::5]:80x",
          "[2001:db8::5]:80 x", "[1::2::3]:80", "[1:2:3:4:5:6:7:8:9]:80", "[1:2:3:4:5:6:7]:80",
          "[12345::]:80", "[:1::]:80", "[1::2:]:80", "[::1.2.3]:80", "[::256.1.1.1]:80",
          "[g::1]:80", "[]:80"})
        EXPECT_FALSE(zn::IsValidServerAddress(plain)) << plain;
    for (const char *plain : {"-a.example:80", "a-.example:80", "a..example:80", "a_b.example:80",
                              "10.0.0.1.5:80", "example.123:80", "example.:80"})
        EXPECT_FALSE(zn::IsValidServerAddress(plain)) << plain;
    EXPECT_TRUE(zn::IsHostName(std::string(63, 'a') + "." + std::string(63, 'b')));
    EXPECT_FALSE(zn::IsHostName(std::string(64, 'a') + ".example"));
    EXPECT_FALSE(zn::IsHostName(std::string(127, 'a') + "." + std::string(127, 'b')));

    EXPECT_TRUE(zn::IsValidImAddress("10.0.0.1:5222TCP443HTTPS80HTTP"));
    EXPECT_TRUE(zn::IsValidImAddress("10.0.0.1:" + std::string(51, '9')));
    EXPECT_FALSE(zn::IsValidImAddress("10.0.0.1:" + std::string(52, '9')));
    EXPECT_TRUE(zn::IsValidImAddress("10.0.0.1:" + std::string(51, '9') + " trailing words"));
    EXPECT_FALSE(zn::IsValidImAddress("10.0.-1.1:1TCP2HTTPS3HTTP"));
    EXPECT_TRUE(zn::IsValidImAddress("[2001:db8::7]:5222TCP443HTTPS80HTTP"));
    EXPECT_TRUE(zn::IsValidImAddress("im.example.net:5222TCP443HTTPS80HTTP"));
    EXPECT_TRUE(zn::IsValidImAddress("[::1]:" + std::string(51, '9')));
    EXPECT_FALSE(zn::IsValidImAddress("[::1]:" + std::string(52, '9')));
    EXPECT_FALSE(zn::IsValidImAddress("[fe80::7%1]:5222TCP443HTTPS80HTTP"));
    EXPECT_FALSE(zn::IsValidImAddress("im.example.net:5222TCP443HTTPS80HTTP trailing"));
}

TEST(SplitTransportPorts, NeedsTheThreeWordsInOrder) {
    std::string tcp = "t", https = "s", http = "h";
    EXPECT_EQ(1, CIMChecker::SplitTransportPorts("5222TCP443HTTPS80HTTP", &tcp, &https, &http));
    EXPECT_EQ("5222", tcp);
    EXPECT_EQ("443", https);
    EXPECT_EQ("80", http);
    EXPECT_EQ(1, CIMChecker::SplitTransportPorts("TCPHTTPSHTTP", &tcp, &https, &http));
    EXPECT_EQ("", tcp);
    EXPECT_EQ("", http);

    tcp = https = http = "untouched";
    for (const char *list :
         {"5222TCP", "443HTTPS5222TCP80HTTP", "5222TCP443HTTPS", "5222tcp1HTTPS2HTTP"}) {
        EXPECT_EQ(0, CIMChecker::SplitTransportPorts(list, &tcp, &https, &http)) << list;
    }
    EXPECT_EQ("untouched", tcp);
    EXPECT_EQ("untouched", https);
    EXPECT_EQ("untouched", http);
}

}  // namespace
}  // namespace zntest
