// SetHTTPProxy: what the host hands over never changes the file's structure.
#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "zembrixnet.h"

TEST(ProxySetting, TextWithALineBreakIsRefusedAndTheFileKept) {
    zntest::TempDir dir;
    ASSERT_EQ(3, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, dir.Path().c_str()));
    const std::string path = dir.File("ZembrixNetWork.ini");
    const std::string before = zntest::ReadWholeFile(path);
    EXPECT_EQ(1, SetHTTPProxy("x\n[OTHER]"));
    EXPECT_EQ(1, SetHTTPProxy("10.0.0.1:8080\r"));
    EXPECT_EQ(before, zntest::ReadWholeFile(path));
    EXPECT_EQ(1, SetHTTPProxy("10.0.0.1:8080"));
    EXPECT_NE(std::string::npos, zntest::ReadWholeFile(path).find("\nHTTPPROXY=10.0.0.1:8080\r\n"));
    ASSERT_EQ(1, CloseCheckServer());
}
