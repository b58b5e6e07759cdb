// The FREE rotation and the rewriting of a fallback page into an answer.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/TestHooks.h"
#include "store/ProviderConfig.h"
#include "update/FallbackPage.h"
#include "update/UpdateFileFixture.h"

namespace zn {
namespace {

class RotationTest : public UpdateFileTest {
  protected:
    void WriteFree(const std::vector<std::string> &statuses) {
        std::vector<std::pair<std::string, std::string>> keys = {
            {"FREENUM", std::to_string(statuses.size())}};
        for (size_t i = 0; i < statuses.size(); ++i) {
            const std::string key = "FREE" + std::to_string(i + 1);
            keys.push_back({key, statuses[i].empty() ? "nocomma" : Entry(Url(i + 1), statuses[i])});
        }
        WriteFile(keys);
    }
    static std::string Url(size_t n) { return "http://10.0.0.5/page" + std::to_string(n); }
    std::string Status(int n) {
        const std::string entry = Value("FREE" + std::to_string(n));
        return entry.substr(entry.rfind(',') + 1);
    }
    int Choose(std::string *address) { return ChooseFallbackPage(m_profile, m_cipher, address); }
};

TEST_F(RotationTest, FiveRunsWalkTheEntriesAndTheLastStartsANewCycle) {
    WriteFree({"0", "0", "0", "0", "0"});
    const int expectedIndex[] = {1, 2, 3, 4, 6};
    for (int run = 1; run <= 5; ++run) {
        std::string address;
        EXPECT_EQ(Choose(&address), expectedIndex[run - 1]);
        EXPECT_EQ(address, Url(run));
        EXPECT_EQ(Status(1), run < 5 ? "-1" : "0");
        EXPECT_EQ(Status(run), run < 5 ? "-1" : "0");
    }
    std::string address;
    EXPECT_EQ(Choose(&address), 1);
    // Used entries and unknown statuses are passed over and left alone.
    WriteFree({"-1", "0", "x"});
    EXPECT_EQ(Choose(&address), 2);
    EXPECT_EQ(Status(1) + Status(2) + Status(3), "-1-1x");
}

TEST_F(RotationTest, NoUsableEntryReadsTheBuiltInPage) {
    const struct {
        std::vector<std::string> statuses;
        int index;
        std::vector<std::string> after;
        bool fault = false;  // the first save fails
    } cases[] = {
        // Without a comma in the last entry nothing is written.
        {{"", "", ""}, 4, {"nocomma", "nocomma", "nocomma"}},
        {{"-1", "", ""}, 4, {"-1", "nocomma", "nocomma"}},
        // A used-up cycle with a proper last entry starts again, in one save.
        {{"-1", "", "-1"}, 5, {"0", "nocomma", "0"}},
        {{"-1", "", "-1"}, 5, {"-1", "nocomma", "-1"}, true},
    };
    for (const auto &c : cases) {
        WriteFree(c.statuses);
        TestHooks().fileFault = c.fault ? FileFault::Write : FileFault::None;
        std::string address;
        EXPECT_EQ(Choose(&address), c.index);
        EXPECT_EQ(address, kBuiltInFallbackPage);
        for (int n = 1; n <= 3; ++n) {
            const std::string entry = Value("FREE" + std::to_string(n));
            EXPECT_EQ(entry == "nocomma" ? entry : Status(n), c.after[n - 1]) << n;
        }
    }
    WriteFile({{"FREENUM", "0"}});
    std::string address = "old";
    EXPECT_EQ(Choose(&address), 1);
    EXPECT_EQ(address, "");
}

using RewriteTest = UpdateFileTest;

TEST_F(RewriteTest, PageBecomesAnAnswerWithPlainAddresses) {
    const std::string page = "&lt;webnum&gt;3&lt;/webnum&gt;&lt;web1&gt;" +
                             m_cipher.Encipher("1.1.1.1:443") + "&lt;/web1&gt;<web2>" +
                             m_cipher.Encipher("2.2.2.2:443") + "</web2><imnum>x</imnum>&amp;";
    const std::string answer =
        "\r\n<webservernum>3</webservernum>"
        "<web1>1.1.1.1:443</web1>\r\n<web2>2.2.2.2:443</web2>\r\n"
        "<web3></web3>\r\n<sipservernum></sipservernum>"
        "<imservernum>x</imservernum>";
    EXPECT_EQ(RewriteFallbackPage(page, 2, m_cipher), answer);
    // From index 3 on, escaped tags are not read.
    EXPECT_EQ(RewriteFallbackPage(page, 3, m_cipher),
              "\r\n<webservernum></webservernum><sipservernum></sipservernum>"
              "<imservernum>x</imservernum>");
    EXPECT_EQ(UnescapeTags("a&lt;&gt;&amp;&lt;b"), "a<>&amp;<b");
}

TEST_F(RewriteTest, NegativeCountGivesNoItemsAndHugeCountsAreCut) {
    // The count text goes on unchanged; the parser skips the kind too.
    EXPECT_EQ(RewriteFallbackPage("<sipnum>-4</sipnum><sip1>AB</sip1>", 1, m_cipher),
              "\r\n<webservernum></webservernum><sipservernum>-4</sipservernum>"
              "<imservernum></imservernum>");
    const std::string cut = RewriteFallbackPage("<imnum>4000000000</imnum>", 4, m_cipher);
    EXPECT_NE(cut.find("<im10000></im10000>"), std::string::npos);
    EXPECT_EQ(cut.find("<im10001>"), std::string::npos);
}

TEST_F(RewriteTest, HostilePagesOfFourMegabytesAreReadInLinearTimeAndStop) {
    // Huge counts, an item too long to decipher (it goes out cut, still too
    // long to store) and "<" filler; and a page of "&lt;".
    std::string escaped = "&lt;webnum&gt;2&lt;/webnum&gt;";
    while (escaped.size() < (4u << 20))
        escaped += "&lt;";
    const std::string pages[] = {"<webnum>10000</webnum><sipnum>10000</sipnum><web1>" +
                                     std::string(3 << 20, 'A') + "</web1>" +
                                     std::string(1 << 20, '<'),
                                 escaped};
    for (const std::string &page : pages) {
        const auto begin = std::chrono::steady_clock::now();
        const std::string answer = RewriteFallbackPage(page, 1, m_cipher);
        // Generous: well under a second on any machine.
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
        EXPECT_LT(answer.size(), 1u << 20);
        EXPECT_NE(answer.find("<web2></web2>"), std::string::npos);
        EXPECT_EQ(answer.find("<web1>" + std::string(1024, 'A') + "</web1>") != std::string::npos,
                  &page == &pages[0]);
    }
    // A stop cuts the answer short.
    EXPECT_EQ(RewriteFallbackPage(pages[0], 1, m_cipher, [] { return true; }),
              "\r\n<webservernum></webservernum><sipservernum></sipservernum>"
              "<imservernum></imservernum>");
}

}  // namespace
}  // namespace zn
