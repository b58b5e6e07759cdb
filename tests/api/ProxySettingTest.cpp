// SetHTTPProxy: what the host hands over never changes the file's structure.

#include <gtest/gtest.h>

#include <string>

#include "support/TempDir.h"
#include "zembrixnet.h"

namespace {

TEST(ProxySetting, TextWithALineBreakIsRefusedAndTheFileKept) {
    zntest::TempDir dir;
    ASSERT_EQ(3, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, dir.Path().c_str()));
    const std::string path = dir.File("ZembrixNetWork.ini");
    const std::string before = zntest::ReadWholeFile(path);
    for (const char *proxy : {"x\n[OTHER]", "10.0.0.1:8080\r\nFREENUM=0", "x\r"}) {
        EXPECT_EQ(1, SetHTTPProxy(proxy));
        EXPECT_EQ(before, zntest::ReadWholeFile(path)) << proxy;
    }
    EXPECT_EQ(1, SetHTTPProxy("10.0.0.1:8080"));
    EXPECT_NE(std::string::npos,
              zntest::ReadWholeFile(path).find("\r\nHTTPPROXY=10.0.0.1:8080\r\n"));
    ASSERT_EQ(1, CloseCheckServer());
}

}  // namespace
