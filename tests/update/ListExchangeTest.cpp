// The update query built from the file, and the merge of an answer into it.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/TestHooks.h"
#include "report/Observer.h"
#include "update/ListExchange.h"
#include "update/UpdateFileFixture.h"

namespace zn {
namespace {

TEST(CountTest, ReadsLikeAtoiButSaturatesAndBoundsEntryCounts) {
    // A negative count in the file reads as ten; announced, it skips the kind.
    const struct {
        const char *text;
        int parsed, entries, announced;
    } cases[] = {{" 7x", 7, 7, 7},
                 {"+3", 3, 3, 3},
                 {"abc", 0, 0, 0},
                 {"", 0, 0, 0},
                 {"-2", -2, 10, 0},
                 {"10001", 10001, 10000, 10000},
                 {"99999999999", INT_MAX, 10000, 10000},
                 {"-99999999999", INT_MIN, 10, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(ParseCount(c.text), c.parsed) << c.text;
        EXPECT_EQ(ReadEntryCount(c.text), c.entries) << c.text;
        EXPECT_EQ(ReadAnnouncedCount(c.text), c.announced) << c.text;
    }
}

using QueryTest = UpdateFileTest;

TEST_F(QueryTest, FailedEntriesFirstThenSelectedAndRepairsCommaLessEntries) {
    WriteFile({{"WEBNUM", "3"},
               {"WEB1", Entry("10.0.0.1:80", "0")},
               {"WEB2", Entry("10.0.0.2:80", "1")},
               {"WEB3", Entry("10.0.0.3:80", "-1")},
               {"SIPNUM", "3"},
               {"SIP1", Entry("10.0.0.4:5060", "1")},
               {"SIP2", Entry("10.0.0.5:5060", "0")},
               {"SIP3", Entry("[2001:db8::5]:5060", "1")},
               {"IMNUM", "3"},
               {"IM1", "garbage"},
               {"IM2", Entry("nocolon", "2")},
               {"IM3", Entry("im.example.net:5222TCP443HTTPS80HTTP", "-1")},
               {"FAXNUM", "0"},
               {"FAX1", "never read"}});
    EXPECT_EQ(BuildUpdateQuery(m_profile, m_cipher),
              "&web1=10.0.0.1:80,0,W&web3=10.0.0.3:80,-1,W&web2=10.0.0.2:80,1,W"
              "&sip1=10.0.0.4:5060,1,S&sip3=%5B2001:db8::5%5D:5060,1,S"
              "&im1=0:0,-1,I&im2=0:0,-1,I&im3=im.example.net:5222TCP443HTTPS80HTTP,-1,I");
    EXPECT_EQ(Value("IM1"), "0:0,-1");
    EXPECT_EQ(Value("IM2"), Entry("nocolon", "2"));
    EXPECT_EQ(Value("FAX1"), "never read");
    // The repaired entry gives the same item again on the next run.
    EXPECT_NE(BuildUpdateQuery(m_profile, m_cipher).find("&im1=0:0,-1,I"), std::string::npos);
}

TEST_F(QueryTest, AddressBytesThatCannotStandInARequestTargetAreEscaped) {
    WriteFile({{"WEBNUM", "1"},
               {"WEB1", Entry("a b#c%d&e+f\x01\xe9[\"]:1,=", "1")},
               {"SIPNUM", "0"},
               {"IMNUM", "0"},
               {"FAXNUM", "0"}});
    EXPECT_EQ(BuildUpdateQuery(m_profile, m_cipher),
              "&web1=a%20b%23c%25d%26e%2Bf%01%E9%5B%22%5D:1,=,1,W");
}

TEST_F(QueryTest, MissingFileRepairsFortyEntriesAndNegativeCountReadsAsTen) {
    EXPECT_EQ(BuildUpdateQuery(m_profile, m_cipher).find("&web1=0:0,-1,W&web2="), 0u);
    EXPECT_EQ(Value("FAX10"), "0:0,-1");
    WriteFile({{"WEBNUM", "-5"}, {"SIPNUM", "0"}, {"IMNUM", "0"}, {"FAXNUM", "0"}});
    BuildUpdateQuery(m_profile, m_cipher);
    EXPECT_EQ(Value("WEB10"), "0:0,-1");
    EXPECT_EQ(Value("WEB11"), kMissing);
}

TEST_F(QueryTest, AStopCutsTheRepairOfAHugeCountShort) {
    WriteFile({{"WEBNUM", "10000"}});
    int asked = 0;
    BuildUpdateQuery(m_profile, m_cipher, [&] { return ++asked > 3; });
    EXPECT_EQ(Value("WEB13"), "0:0,-1");
    EXPECT_EQ(Value("WEB14"), kMissing);
}

using MergeTest = UpdateFileTest;

TEST_F(MergeTest, ItemsFillFreeSlotsInOrderAndKeptEntriesStay) {
    WriteFile({{"WEBNUM", "4"},
               {"WEB1", Entry("10.0.0.1:80", "1")},
               {"WEB2", Entry("10.0.0.2:80", "-1")},
               {"WEB3", Entry("10.0.0.3:80", "0")},
               {"WEB4", "broken"},
               {"SIPNUM", "3"},
               {"SIP1", Entry("10.0.0.4:5060", "0")},
               {"SIP3", Entry("10.0.0.6:5060", "x")},
               {"IMNUM", "1"},
               {"IM1", "untouched"}});
    MergeServerLists(
        "<RES>OK</RES><webservernum>3</webservernum><web1>1.1.1.1:443</web1>"
        "<web2>2.2.2.2:443</web2><web3>3.3.3.3:443</web3>"
        "<sipservernum>3</sipservernum><sip1>4.4.4.4:5060</sip1>",
        m_profile, m_cipher);
    EXPECT_EQ(Value("WEB1"), Entry("10.0.0.1:80", "1"));
    EXPECT_EQ(Value("WEB2"), Entry("1.1.1.1:443", "0"));
    EXPECT_EQ(Value("WEB3"), Entry("10.0.0.3:80", "0"));
    EXPECT_EQ(Value("WEB4"), Entry("2.2.2.2:443", "0"));
    EXPECT_EQ(Value("WEBNUM"), "4");
    // SIP2 was missing and is created; the announced third item is empty.
    EXPECT_EQ(Value("SIP2"), Entry("4.4.4.4:5060", "0"));
    EXPECT_EQ(Value("SIP3"), ",0");
    EXPECT_EQ(Value("IM1"), "untouched");
}

// Notes each entry observed as written, as a reader on another thread finds
// it in the file, or "locked;" when the library's lock is held.
class WrittenWatch : public IObserver {
  public:
    explicit WrittenWatch(std::string path) : m_path(std::move(path)) { InstallObserver(this); }
    ~WrittenWatch() override { InstallObserver(nullptr); }
    void Observe(const Observation &seen) override {
        if (seen.step != Step::Written)
            return;
        std::thread([&] {
            std::unique_lock<std::recursive_mutex> free(ProfileFileLock(), std::try_to_lock);
            CProfileFile file;
            file.m_strFileName = m_path;
            m_seen += free ? seen.entry + "=" + file.GetValue(kNetworkSection, seen.entry, kMissing)
                           : "locked";
            m_seen += ";";
        }).join();
    }
    std::string m_seen;

  private:
    const std::string m_path;
};

TEST_F(MergeTest, EachEntryWrittenIsObservedOnceSavedWithTheFileFree) {
    WriteFile({{"WEBNUM", "3"}, {"WEB1", "a,-1"}, {"WEB2", "b,1"}});
    WrittenWatch watch(m_profile.m_strFileName);
    MergeServerLists("<webservernum>2</webservernum><web1>1.1.1.1:1</web1><web2>2.2.2.2:2</web2>",
                     m_profile, m_cipher);
    EXPECT_EQ(watch.m_seen,
              "WEB1=" + Entry("1.1.1.1:1", "0") + ";WEB3=" + Entry("2.2.2.2:2", "0") + ";");
}

TEST_F(MergeTest, UnstorableItemsTakeNoSlotAndCountsAreBounded) {
    WriteFile(
        {{"WEBNUM", "2"}, {"WEB1", "a,-1"}, {"WEB2", "b,-1"}, {"SIPNUM", "-3"}, {"FAXNUM", "-3"}});
    MergeServerLists("<webservernum>2</webservernum><web1>" + std::string(128, 'x') +
                         "</web1><web2>5.5.5.5:80</web2><sipservernum>12</sipservernum>"
                         "<faxservernum>-1</faxservernum><fax1>6.6.6.6:80</fax1>",
                     m_profile, m_cipher);
    EXPECT_EQ(Value("WEB1"), Entry("5.5.5.5:80", "0"));
    EXPECT_EQ(Value("WEB2"), "b,-1");
    // A negative count in the file reads as 10; in the answer it skips the kind.
    EXPECT_EQ(Value("SIP10"), ",0");
    EXPECT_EQ(Value("SIP11"), kMissing);
    EXPECT_EQ(Value("FAX1"), kMissing);
}

TEST_F(MergeTest, AStopBetweenTwoWritesKeepsThemWholeAndWritesNothingAfter) {
    WriteFile({{"WEBNUM", "3"}, {"WEB1", "a,-1"}, {"WEB2", "b,-1"}, {"WEB3", "c,-1"}});
    MergeServerLists(
        "<webservernum>3</webservernum><web1>1.1.1.1:1</web1><web2>2.2.2.2:2</web2>"
        "<web3>3.3.3.3:3</web3>",
        // Asked once by the scan, then before each item and each read and
        // write of a slot: the eighth ask comes before the third item.
        m_profile, m_cipher, [asked = 0]() mutable { return ++asked > 7; });
    EXPECT_EQ(Value("WEB1"), Entry("1.1.1.1:1", "0"));
    EXPECT_EQ(Value("WEB2"), Entry("2.2.2.2:2", "0"));
    EXPECT_EQ(Value("WEB3"), "c,-1");
}

TEST_F(MergeTest, AMergeOrTheQuerysRepairsSaveOnceWhatWasGatheredAStopIncluded) {
    // A write fault fails one save, once: when nothing of a thousand entries
    // lands, there was one save (saving each entry would lose only the first).
    std::string answer = "<webservernum>1000</webservernum>";
    for (int n = 1; n <= 1000; ++n)
        answer += "<web" + std::to_string(n) + ">9.9.9.9:1</web" + std::to_string(n) + ">";
    const struct {
        bool merge;
        int stopAfter;  // asks of the stop before it answers true; -1: never
        bool fault;
    } cases[] = {{true, -1, false}, {true, -1, true},  {true, 30, false},
                 {true, 30, true},  {false, -1, true}, {false, 30, true}};
    for (const auto &c : cases) {
        std::vector<std::pair<std::string, std::string>> keys = {{"WEBNUM", "1000"}};
        for (int n = 1; n <= 1000; ++n)
            keys.push_back({"WEB" + std::to_string(n), c.merge ? "x,-1" : "x"});
        WriteFile(keys);
        const std::string before = zntest::ReadWholeFile(m_profile.m_strFileName);
        TestHooks().fileFault = c.fault ? FileFault::Write : FileFault::None;
        int asked = 0;
        const auto stopping = [&] { return c.stopAfter >= 0 && ++asked > c.stopAfter; };
        if (c.merge)
            MergeServerLists(answer, m_profile, m_cipher, stopping);
        else
            BuildUpdateQuery(m_profile, m_cipher, stopping);
        const std::string file = zntest::ReadWholeFile(m_profile.m_strFileName);
        if (c.fault) {
            EXPECT_EQ(file, before) << c.merge << c.stopAfter;
            continue;
        }
        // The entries before the stop, each whole, and none after it.
        const std::string merged = "=" + Entry("9.9.9.9:1", "0") + "\r\n";
        int written = 0;
        for (size_t at = 0; (at = file.find(merged, at + 1)) != std::string::npos;)
            ++written;
        EXPECT_EQ(Value("WEB" + std::to_string(written)), Entry("9.9.9.9:1", "0"));
        EXPECT_TRUE(c.stopAfter < 0 ? written == 1000 : written > 0 && written < 1000) << written;
    }
}

TEST_F(MergeTest, AHostileAnswerOfFourMegabytesIsReadInLinearTime) {
    WriteFile({{"WEBNUM", "1"}, {"WEB1", "a,-1"}, {"SIPNUM", "0"}});
    // Counts of 10 000 whose items are too long to store (they take no
    // slot), all "<": each item's search used to walk every one of them.
    std::string answer;
    for (const std::string kind : {"web", "sip"}) {
        answer += "<" + kind + "servernum>10000</" + kind + "servernum>";
        for (int n = 1; n < 10000; ++n)
            answer += "<" + kind + std::to_string(n) + ">" + std::string(128, '<') + "</" + kind +
                      std::to_string(n) + ">";
    }
    answer += "<web10000>1.1.1.1:1</web10000>";
    answer.resize(4 << 20, '<');
    const auto begin = std::chrono::steady_clock::now();
    MergeServerLists(answer, m_profile, m_cipher);
    // Generous: well under a second on any machine.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_EQ(Value("WEB1"), Entry("1.1.1.1:1", "0"));
}

TEST(MergeWithoutKeyTest, PlainAddressesWithLineBreaksAreNotWritten) {
    zntest::TempDir dir;
    CProfileFile profile;
    profile.m_strFileName = ServerListPath(dir.Path());
    CAddressCipher noKey(false);
    MergeServerLists(
        "<sipservernum>2</sipservernum><sip1>1.2.3.4:5\r\n[X]</sip1>"
        "<sip2>1.2.3.4:5060</sip2>",
        profile, noKey);
    EXPECT_EQ(profile.GetValue(kNetworkSection, "SIP1", kMissing), "1.2.3.4:5060,0");
    EXPECT_EQ(profile.GetValue("X", "SIP1", kMissing), kMissing);
    EXPECT_EQ(profile.GetValue(kNetworkSection, "SIP2", kMissing), kMissing);
}

}  // namespace
}  // namespace zn
