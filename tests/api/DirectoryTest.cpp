// How InitCheckServer turns its directory argument into the server list
// file's path.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "api/LibraryState.h"
#include "platform/Thread.h"
#include "store/ProfileFile.h"
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

TEST(Directory, AnEmptyPathNamesTheFileAtTheRoot) {
    EXPECT_EQ("/ZembrixNetWork.ini", zn::ServerListPath(""));  // the directory "/", trimmed
    EXPECT_EQ("d/ZembrixNetWork.ini", zn::ServerListPath("d"));
}

TEST(Directory, NullAndEmptyNameTheCurrentDirectory) {
    zntest::TempDir dir;
    const int previous = open(".", O_RDONLY);
    ASSERT_EQ(0, chdir(dir.Path().c_str()));
    for (const char *directory : {static_cast<const char *>(nullptr), ""}) {
        ASSERT_EQ(3, InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, directory));
        EXPECT_EQ("./ZembrixNetWork.ini", zn::ServerListFilePath());
        EXPECT_EQ(1, CloseCheckServer());
        EXPECT_EQ(0, std::remove(dir.File("ZembrixNetWork.ini").c_str()));  // written here
    }
    EXPECT_EQ(0, fchdir(previous));
    close(previous);
}

// Init waits for the profile lock inside its file work, which the test
// holds: another export must still answer meanwhile.
TEST(InitLock, OtherExportsAnswerWhileInitDoesItsFileWork) {
    zntest::TempDir dir;
    std::unique_lock<std::recursive_mutex> profile(zn::ProfileFileLock());
    std::thread init([&] {
        InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        dir.Path().c_str());
    });
    zn::SleepMs(100);  // lets Init reach the profile lock
    zn::Event answered{zn::Event::Manual};
    std::thread cancel([&] {
        CancelChecking();
        answered.Set();
    });
    EXPECT_EQ(zn::WaitResult::Signalled, answered.Wait(30000));
    profile.unlock();
    init.join();
    cancel.join();
    EXPECT_EQ(1, CloseCheckServer());
}

}  // namespace
