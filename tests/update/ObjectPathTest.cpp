// The web API's object path: version part, escaping and the length limit.
#include <gtest/gtest.h>

#include <string>

#include "update/UpdateFetcher.h"

namespace zn {
namespace {

TEST(ObjectPathTest, VersionIsOptionalAndEscapedQueryAsItIsLengthBounded) {
    const std::string api = "/webapi/zembrix.php?op=getlist";
    const struct {
        std::string version, query, path;
    } cases[] = {
        {"", "&web1=1.2.3.4:443,1,W", api + "&web1=1.2.3.4:443,1,W"},
        {"2.0", "&sip2=0:0,-1,S", api + "&ver=2.0&sip2=0:0,-1,S"},
        {"a b#c%d\x01\x7f\xe9:,&+=", "", api + "&ver=a%20b%23c%25d%01%7F%E9:,%26%2B="},
    };
    for (const auto &c : cases) {
        std::string path;
        ASSERT_TRUE(BuildObjectPath(c.version, c.query, &path)) << c.version;
        EXPECT_EQ(path, c.path);
    }
    // Paths longer than 1023 characters are refused.
    std::string path;
    EXPECT_TRUE(BuildObjectPath("", std::string(1023 - api.size(), 'q'), &path));
    EXPECT_EQ(path.size(), 1023u);
    path = "unchanged";
    EXPECT_FALSE(BuildObjectPath("", std::string(1024 - api.size(), 'q'), &path));
    // Escaping counts: three characters per escaped byte.
    EXPECT_FALSE(BuildObjectPath(std::string(340, ' '), "", &path));
    EXPECT_EQ(path, "unchanged");
}

}  // namespace
}  // namespace zn
