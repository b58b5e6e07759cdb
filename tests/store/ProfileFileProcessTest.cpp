// The profile file shared between processes and with users of fewer rights:
// no change lost to another process, no save lost to an unwritable directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "store/ProfileFile.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "thread/TimeLimits.h"

namespace zn {
namespace {

namespace fs = std::filesystem;
using zntest::Crlf;
using zntest::ReadWholeFile;
using zntest::WriteWholeFile;

TEST(ProfileFileProcessTest, TwoProcessesMarkingEntriesLoseNoMark) {
    zntest::TempDir dir;
    const std::string path = dir.File("ZembrixNetWork.ini");
    WriteWholeFile(path, Crlf({"[NETWORK]", "TYPE=ENC"}));
    constexpr int kMarks = 60;
    auto marker = [&path](const std::string &kind) {
        return [&path, kind] {
            CProfileFile file;
            file.m_strFileName = path;
            for (int i = 1; i <= kMarks; ++i)
                file.SetValue("NETWORK", kind + std::to_string(i), "AB,-1");
            return 0;
        };
    };
    zntest::ChildProcess sip(marker("SIP"));
    zntest::ChildProcess web(marker("WEB"));
    ASSERT_EQ(0, sip.Wait());
    ASSERT_EQ(0, web.Wait());

    CProfileFile file;
    file.m_strFileName = path;
    std::vector<std::string> lost;
    for (const char *kind : {"SIP", "WEB"}) {
        for (int i = 1; i <= kMarks; ++i) {
            const std::string key = kind + std::to_string(i);
            if (file.GetValue("NETWORK", key, "#") != "AB,-1")
                lost.push_back(key);
        }
    }
    EXPECT_TRUE(lost.empty()) << lost.size() << " marks lost, first " << lost.front();
}

TEST(ProfileFileProcessTest, WritableFileInADirectoryTheUserCannotWriteIsRewrittenInPlace) {
    if (!zntest::IsRoot())
        GTEST_SKIP() << "changing the user needs root";
    zntest::TempDir dir;
    const std::string path = dir.File("ZembrixNetWork.ini");
    const std::string readOnly = dir.File("readonly.ini");
    WriteWholeFile(path, Crlf({"[NETWORK]", "SIPNUM=3", "SIP1=" + std::string(200, 'A') + ",0"}));
    WriteWholeFile(readOnly, Crlf({"[NETWORK]", "SIP=04"}));
    ASSERT_EQ("", zntest::GiveToUnprivilegedUser(path));
    ASSERT_EQ("", zntest::GiveToUnprivilegedUser(readOnly));
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read);
    // Readable and searchable, but only root may add or remove names.
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);

    zntest::ChildProcess child([&] {
        if (!zntest::BecomeUnprivilegedUser().empty())
            return 2;
        CProfileFile file;
        file.m_strFileName = path;
        file.SetValue("NETWORK", "SIP1", "CD,1");  // shorter: the old tail must go
        file.SetValue("NETWORK", "SIP", "CD");
        file.m_strFileName = readOnly;
        file.SetValue("NETWORK", "SIP", "CD");
        return 0;
    });
    ASSERT_EQ(0, child.Wait());
    EXPECT_EQ(ReadWholeFile(path), Crlf({"[NETWORK]", "SIPNUM=3", "SIP1=CD,1", "SIP=CD"}));
    EXPECT_EQ(ReadWholeFile(readOnly), Crlf({"[NETWORK]", "SIP=04"})) << "read-only stays";
}

TEST(ProfileFileProcessTest, APeerHoldingTheLockForEverDelaysASaveButLosesNothing) {
    zntest::TempDir dir;
    const std::string path = dir.File("ZembrixNetWork.ini");
    const std::string holding = dir.File("holding");
    zntest::ChildProcess peer([&] {
        FileUpdateLock lock(path, FileUpdateLock::Mode::Exclusive, 0);
        if (!lock.Held())
            return 1;
        WriteWholeFile(holding, "");
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    });
    for (int i = 0; i < 3000 && !fs::exists(holding); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(holding));
    EXPECT_FALSE(FileUpdateLock(path, FileUpdateLock::Mode::Shared, 0).Held());

    Limits().fileLockWaitMs = 50;
    CProfileFile file;
    file.m_strFileName = path;
    file.SetValue("NETWORK", "SIP", "04");
    EXPECT_EQ(file.GetValue("NETWORK", "SIP", "#"), "04");
    testhooks::RestoreTimeLimits();
}

}  // namespace
}  // namespace zn
