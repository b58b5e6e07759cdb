// How InitCheckServer turns its directory argument into the server list
// file's path.

#include <gtest/gtest.h>

#include "api/LibraryState.h"
#include "store/ServerList.h"
#include "support/TempDir.h"
#include "zembrixnet.h"

namespace {

TEST(Directory, OnlyOneTrailingSeparatorIsTrimmed) {
    zntest::TempDir dir;
    ASSERT_EQ(3, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, (dir.Path() + "//").c_str()));
    EXPECT_EQ(dir.Path() + "/", zn::GetDirectory());
    EXPECT_EQ(dir.Path() + "//ZembrixNetWork.ini", zn::ServerListFilePath());
    ASSERT_EQ(1, CloseCheckServer());

    ASSERT_EQ(3, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, (dir.Path() + "/").c_str()));
    EXPECT_EQ(dir.Path(), zn::GetDirectory());
    ASSERT_EQ(1, CloseCheckServer());
}

TEST(Directory, AnEmptyDirectoryNamesTheFileAtTheRoot) {
    // Not initialised on "": that would write to the root directory.
    EXPECT_EQ("/ZembrixNetWork.ini", zn::ServerListPath(""));
    EXPECT_EQ("d/ZembrixNetWork.ini", zn::ServerListPath("d"));
}

}  // namespace
