// Saving the profile file: failures leave the old file whole, permissions
// stay, neither a killed writer nor a full disk leaves a partial file, no
// change is lost to another process or to a directory the user cannot write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "platform/TestHooks.h"
#include "store/ProfileFile.h"
#include "support/ChildProcess.h"
#include "support/Seed.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

namespace zn {
namespace {

namespace fs = std::filesystem;
using zntest::Crlf;
using zntest::ReadWholeFile;
using zntest::WriteWholeFile;

std::vector<std::string> NamesIn(const std::string &directory) {
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

fs::perms PermissionsOf(const std::string &path) {
    return fs::status(path).permissions();
}

class ProfileFileSaveTest : public ::testing::Test {
  protected:
    ProfileFileSaveTest() : m_path(m_dir.File("test.ini")) { m_file.m_strFileName = m_path; }

    zntest::TempDir m_dir;
    std::string m_path;
    CProfileFile m_file;
};

TEST_F(ProfileFileSaveTest, FailedWriteSyncOrRenameLeavesTheOldFileAndNoTemporary) {
    const std::string old = Crlf({"[S]", "k=old"});
    for (FileFault fault :
         {FileFault::Write, FileFault::Sync, FileFault::Rename, FileFault::Create}) {
        SCOPED_TRACE(static_cast<int>(fault));
        WriteWholeFile(m_path, old);
        TestHooks().fileFault = fault;
        m_file.SetValue("S", "k", "new");
        EXPECT_EQ(ReadWholeFile(m_path), old);
        EXPECT_EQ(NamesIn(m_dir.Path()), std::vector<std::string>{"test.ini"});
        EXPECT_EQ(m_file.GetValue("S", "k", "#"), "old");
    }
    m_file.SetValue("S", "k", "new");
    EXPECT_EQ(ReadWholeFile(m_path), Crlf({"[S]", "k=new"}));
}

TEST_F(ProfileFileSaveTest, AFileWhoseTemporaryNameWouldBeTooLongIsRewrittenInPlace) {
    m_file.m_strFileName = m_dir.File(std::string(250, 'n'));  // the temporary's passes 255
    WriteWholeFile(m_file.m_strFileName, Crlf({"[S]", "k=" + std::string(100, 'o')}));
    m_file.SetValue("S", "k", "new");  // shorter: the old tail goes
    EXPECT_EQ(ReadWholeFile(m_file.m_strFileName), Crlf({"[S]", "k=new"}));
}

TEST_F(ProfileFileSaveTest, FailedReadCountsAsFailedLoadAndReleasesTheLock) {
    WriteWholeFile(m_path, Crlf({"[S]", "k=v"}));
    TestHooks().fileFault = FileFault::Read;
    EXPECT_EQ(m_file.GetValue("S", "k", "#"), "#");

    auto other = std::async(std::launch::async, [this] {
        CProfileFile file;
        file.m_strFileName = m_path;
        file.SetValue("S", "k", "w");
    });
    // Generous: a lock left held would block the other writer for ever.
    ASSERT_EQ(other.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(m_file.GetValue("S", "k", "#"), "w");
}

TEST_F(ProfileFileSaveTest, AnExistingFileThatCannotBeReadIsNotRewrittenFromNothing) {
    const std::string old = Crlf({"[NETWORK]", "SIPNUM=3", "SIP1=AB,0"});
    WriteWholeFile(m_path, old);
    TestHooks().fileFault = FileFault::Read;
    m_file.SetValue("NETWORK", "SIP", "04");
    EXPECT_EQ(ReadWholeFile(m_path), old);
    m_file.SetValue("NETWORK", "SIP", "04");  // readable again: the change lands
    EXPECT_EQ(ReadWholeFile(m_path), Crlf({"[NETWORK]", "SIPNUM=3", "SIP1=AB,0", "SIP=04"}));
}

TEST_F(ProfileFileSaveTest, AFifoInTheFilesPlaceNeitherBlocksNorIsReplaced) {
    ASSERT_EQ(0, mkfifo(m_path.c_str(), 0644));
    auto reader = std::async(std::launch::async, [this] {
        CProfileFile file;
        file.m_strFileName = m_path;
        const std::string value = file.GetValue("S", "k", "#");
        file.SetValue("S", "k", "v");
        return value;
    });
    // Generous: a blocking open would wait for a writer for ever.
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ("#", reader.get());
    EXPECT_TRUE(fs::is_fifo(m_path));
}

TEST_F(ProfileFileSaveTest, ReadOnlyFileIsNotReplacedWhoeverRunsTheProcess) {
    const std::string old = Crlf({"[S]", "k=old"});
    WriteWholeFile(m_path, old);
    fs::permissions(m_path, fs::perms::owner_read | fs::perms::group_read);
    m_file.SetValue("S", "k", "new");
    EXPECT_EQ(ReadWholeFile(m_path), old);
    EXPECT_EQ(PermissionsOf(m_path), fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(m_file.GetValue("S", "k", "#"), "old");
    EXPECT_EQ(NamesIn(m_dir.Path()), std::vector<std::string>{"test.ini"});
}

TEST_F(ProfileFileSaveTest, SaveKeepsPermissionBitsAndGivesNewFilesTheUsualMode) {
    WriteWholeFile(m_path, Crlf({"[S]"}));
    const fs::perms unusual = fs::perms::owner_read | fs::perms::owner_write |
                              fs::perms::group_read | fs::perms::others_write;
    fs::permissions(m_path, unusual);
    m_file.SetValue("S", "k", "v");
    EXPECT_EQ(PermissionsOf(m_path), unusual);

    // A new file gets what any newly created file of this process gets.
    const std::string reference = m_dir.File("reference");
    std::ofstream(reference) << "x";
    m_file.m_strFileName = m_dir.File("new.ini");
    m_file.SetValue("S", "k", "v");
    EXPECT_EQ(PermissionsOf(m_file.m_strFileName), PermissionsOf(reference));
}

TEST_F(ProfileFileSaveTest, SymbolicLinkStaysALinkToTheRewrittenFile) {
    WriteWholeFile(m_path, Crlf({"[S]", "k=old"}));
    const std::string link = m_dir.File("link.ini");
    fs::create_symlink(m_path, link);
    m_file.m_strFileName = link;
    m_file.SetValue("S", "k", "new");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadWholeFile(m_path), Crlf({"[S]", "k=new"}));
}

// Waits until the file holds a save whose counter starts with prefix; false
// when none comes within a minute (generous: one save takes milliseconds).
bool WaitForSave(const std::string &path, const std::string &prefix) {
    for (int i = 0; i < 60000; ++i) {
        if (ReadWholeFile(path).find("counter=" + prefix) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The content a writer of "counter=<value>" leaves when its save is whole.
std::string WithCounter(std::vector<std::string> lines, size_t index, const std::string &value) {
    lines[index] = "counter=" + value;
    return Crlf(lines);
}

TEST(ProfileFileCrashTest, KilledWriterLeavesTheOldOrTheNewWholeFileAndNoLitter) {
    zntest::TempDir dir;
    const std::string path = dir.File("ZembrixNetWork.ini");
    // Large enough that a kill often lands in the middle of a save.
    std::vector<std::string> lines = {"[NETWORK]"};
    for (int i = 0; i < 400; ++i)
        lines.push_back("KEY" + std::to_string(i) + "=" + std::string(150, 'A'));
    const size_t counterLine = 200;
    lines.insert(lines.begin() + counterLine, "counter=start");
    WriteWholeFile(path, Crlf(lines));

    const unsigned seed = zntest::TestSeed(std::random_device{}());
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    int roundsThatWrote = 0;
    int roundsThatLeftATemporary = 0;
    std::string previous = "start";
    for (int round = 0; round < 150; ++round) {
        zntest::ChildProcess writer([&path, round]() -> int {
            CProfileFile file;
            file.m_strFileName = path;
            for (long n = 1;; ++n) {
                file.SetValue("NETWORK", "counter",
                              std::to_string(round) + "-" + std::to_string(n));
            }
        });
        ASSERT_TRUE(writer.Running());
        // Once this writer has saved, it saves on and on: the kill lands
        // inside one of its saves or between two, however slow a save is.
        ASSERT_TRUE(WaitForSave(path, std::to_string(round) + "-")) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        writer.Kill();

        const std::string content = ReadWholeFile(path);
        const size_t start = content.find("counter=");
        ASSERT_NE(start, std::string::npos) << "round " << round << ": counter line lost";
        const size_t end = content.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "round " << round << ": counter line cut";
        const std::string value = content.substr(start + 8, end - start - 8);
        ASSERT_EQ(content, WithCounter(lines, counterLine, value))
            << "round " << round << ": not a whole file";
        if (value != previous)
            ++roundsThatWrote;
        previous = value;
        if (NamesIn(dir.Path()).size() > 1)
            ++roundsThatLeftATemporary;
    }
    EXPECT_GT(roundsThatWrote, 0) << "no writer ever completed a save";

    // What the killed writers left does not pile up: the next save clears it.
    EXPECT_GT(roundsThatLeftATemporary, 0) << "no kill landed inside a save";
    CProfileFile file;
    file.m_strFileName = path;
    file.SetValue("NETWORK", "counter", "end");
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"ZembrixNetWork.ini"});
}

// Runs in a child with a 16 KiB tmpfs on directory; returns what went wrong.
std::string FullDiskScenario(const std::string &directory) {
    std::string failures;
    const std::string path = directory + "/ZembrixNetWork.ini";
    CProfileFile file;
    file.m_strFileName = path;
    file.SetValue("NETWORK", "TYPE", "ENC");
    file.SetValue("NETWORK", "SIPNUM", "3");
    const std::string old = ReadWholeFile(path);
    if (old != Crlf({"[NETWORK]", "TYPE=ENC", "SIPNUM=3"}))
        failures += "setup failed; ";

    const std::string filler = directory + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 64 && out; ++i)
            out << block << std::flush;
        if (out)
            failures += "the tmpfs never filled up; ";
    }

    file.SetValue("NETWORK", "SIPNUM", "7");
    if (ReadWholeFile(path) != old)
        failures += "the old file changed; ";
    if (file.GetValue("NETWORK", "SIPNUM", "#") != "3")
        failures += "the old value is gone; ";
    if (NamesIn(directory) != std::vector<std::string>{"ZembrixNetWork.ini", "filler"}) {
        failures += "a temporary file was left; ";
    }

    fs::remove(filler);
    file.SetValue("NETWORK", "SIPNUM", "7");
    if (file.GetValue("NETWORK", "SIPNUM", "#") != "7")
        failures += "no save after space came back; ";
    return failures;
}

TEST(ProfileFileFullDiskTest, FullDiskFailsTheSaveAndKeepsTheOldFile) {
    zntest::TempDir dir;
    const std::string mountPoint = dir.File("tiny");
    zntest::RunOnTinyDisk(mountPoint, [&] { return FullDiskScenario(mountPoint); });
}

TEST(ProfileFileProcessTest, TwoProcessesMarkingEntriesLoseNoMark) {
    zntest::TempDir dir;
    CProfileFile file;
    file.m_strFileName = dir.File("ZembrixNetWork.ini");
    auto marker = [&file](const std::string &kind) {
        return [&file, kind] {
            for (int i = 1; i <= 60; ++i)
                file.SetValue("NETWORK", kind + std::to_string(i), "AB,-1");
            return 0;
        };
    };
    zntest::ChildProcess sip(marker("SIP")), web(marker("WEB"));
    ASSERT_EQ(0, sip.Wait());
    ASSERT_EQ(0, web.Wait());
    int lost = 0;
    for (int i = 1; i <= 60; ++i) {
        lost += file.GetValue("NETWORK", "SIP" + std::to_string(i), "#") != "AB,-1";
        lost += file.GetValue("NETWORK", "WEB" + std::to_string(i), "#") != "AB,-1";
    }
    EXPECT_EQ(0, lost);
}

TEST(ProfileFileProcessTest, WritableFileInADirectoryTheUserCannotWriteIsRewrittenInPlace) {
    if (!zntest::IsRoot())
        GTEST_SKIP() << "changing the user needs root";
    zntest::TempDir dir;
    const std::string path = dir.File("writable.ini"), readOnly = dir.File("readonly.ini");
    WriteWholeFile(path, Crlf({"[NETWORK]", "SIP1=" + std::string(200, 'A') + ",0"}));
    WriteWholeFile(readOnly, Crlf({"[NETWORK]", "SIP=04"}));
    fs::permissions(path, fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                              ~fs::perms::others_exec);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::others_read);
    // Others may read and search it, not add or remove names.
    fs::permissions(dir.Path(),
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
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
    EXPECT_EQ(ReadWholeFile(path), Crlf({"[NETWORK]", "SIP1=CD,1", "SIP=CD"}));
    EXPECT_EQ(ReadWholeFile(readOnly), Crlf({"[NETWORK]", "SIP=04"})) << "read-only stays";
}

TEST(ProfileFileProcessTest, APeerHoldingTheLockForEverDelaysASaveButLosesNothing) {
    zntest::TempDir dir;
    const std::string path = dir.File("ZembrixNetWork.ini"), holding = dir.File("holding");
    zntest::ChildProcess peer([&]() -> int {
        FileUpdateLock lock(path, FileUpdateLock::Mode::Exclusive, 0);
        WriteWholeFile(holding, lock.Held() ? "" : "not held");
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    });
    for (int i = 0; i < 3000 && !fs::exists(holding); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ("", ReadWholeFile(holding));
    EXPECT_FALSE(FileUpdateLock(path, FileUpdateLock::Mode::Shared, 0).Held());

    Limits().fileLockWaitMs = 50;
    CProfileFile file;
    file.m_strFileName = path;
    file.SetValue("NETWORK", "SIP", "04");
    EXPECT_EQ(file.GetValue("NETWORK", "SIP", "#"), "04");
}

}  // namespace
}  // namespace zn
