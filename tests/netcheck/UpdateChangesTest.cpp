// What the update command reports as changed between two snapshots.
#include <gtest/gtest.h>

#include <string>

#include "store/ProviderConfig.h"
#include "update/UpdateFileFixture.h"
#include "update_changes.h"

namespace zn {
namespace {

using UpdateChangesTest = UpdateFileTest;

TEST_F(UpdateChangesTest, WrittenEntriesPerKindAndTheFreePageUsed) {
    const std::string page1 = Entry("http://10.0.0.5/one", "0");
    WriteFile({{"WEBNUM", "2"},
               {"WEB1", Entry("10.0.0.1:443", "1")},
               {"WEB2", Entry("10.0.0.2:443", "-1")},
               {"SIPNUM", "0"},
               {"IMNUM", "0"},
               {"FAXNUM", "0"},
               {"FREENUM", "2"},
               {"FREE1", page1},
               {"FREE2", Entry("http://10.0.0.5/two", "0")}});
    const ListSnapshot before = TakeListSnapshot(m_profile.m_strFileName);
    m_profile.SetValue(kNetworkSection, "WEB2", Entry("10.0.0.9:443\x1b", "0"));
    m_profile.SetValue(kNetworkSection, "FREE1", Entry("http://10.0.0.5/one", "-1"));
    EXPECT_EQ(DescribeUpdateChanges(before, TakeListSnapshot(m_profile.m_strFileName), m_cipher),
              "WEB: 1 written\n  WEB2 10.0.0.9:443\\x1B status 0\nSIP: 0 written\nIM: 0 written\n"
              "FAX: 0 written\nFREE page used: http://10.0.0.5/one\n");
}

TEST_F(UpdateChangesTest, RestartedCycleNamesTheLastOrTheBuiltInPage) {
    const struct {
        const char *lastBefore;
        std::string used;
    } cases[] = {{"0", "http://10.0.0.5/two"}, {"-1", kBuiltInFallbackPage}};
    for (const auto &c : cases) {
        WriteFile({{"FREENUM", "2"},
                   {"FREE1", Entry("http://10.0.0.5/one", "-1")},
                   {"FREE2", Entry("http://10.0.0.5/two", c.lastBefore)}});
        const ListSnapshot before = TakeListSnapshot(m_profile.m_strFileName);
        m_profile.SetValue(kNetworkSection, "FREE1", Entry("http://10.0.0.5/one", "0"));
        m_profile.SetValue(kNetworkSection, "FREE2", Entry("http://10.0.0.5/two", "0"));
        const std::string text =
            DescribeUpdateChanges(before, TakeListSnapshot(m_profile.m_strFileName), m_cipher);
        EXPECT_NE(text.find("FREE page used: " + c.used + "\n"), std::string::npos) << text;
    }
    // No trace of the rotation: nothing said about a page.
    const ListSnapshot same = TakeListSnapshot(m_profile.m_strFileName);
    EXPECT_EQ(DescribeUpdateChanges(same, same, m_cipher).find("FREE"), std::string::npos);
}

}  // namespace
}  // namespace zn
