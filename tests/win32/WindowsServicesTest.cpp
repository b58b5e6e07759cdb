// What only the Windows build has: the read-only attribute, the backslash
// (in double-byte code pages too), the file lock across processes, a live
// writer's temporary, saves past another program's handle and near the path
// limit, a WinInet record's last closing, and CryptoAPI's key lengths.
#include <gtest/gtest.h>
#include <windows.h>

#include <future>
#include <string>

#include "platform/Crypto.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/TestHooks.h"
#include "platform/win32/DoubleByte.h"
#include "platform/win32/WinInetRequest.h"
#include "support/TempDir.h"
#include "zembrixnet.h"

using namespace zn;
using zntest::TempDir;

namespace {

TEST(WindowsFileTest, ReadOnlyIsTheAttributeAndClearingKeepsTheOthers) {
    TempDir dir;
    const std::string path = dir.Path() + "\\list.ini";
    ASSERT_TRUE(SaveTextLines(path, {"[NETWORK]"}));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    bool readOnly = false;
    ASSERT_TRUE(QueryReadOnly(path, &readOnly));
    EXPECT_TRUE(readOnly);
    // A read-only file is never replaced behind its owner's back.
    EXPECT_FALSE(SaveTextLines(path, {"changed"}));
    ASSERT_TRUE(ClearReadOnly(path));
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              DWORD{FILE_ATTRIBUTE_HIDDEN});
    // Replaced whole, the file keeps its attributes.
    ASSERT_TRUE(SaveTextLines(path, {"a", "b"}));
    EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(zntest::ReadWholeFile(path), "a\r\nb\r\n");
    EXPECT_FALSE(QueryReadOnly(dir.Path() + "\\missing", &readOnly));
}

TEST(WindowsFileTest, InitialisationUsesTheBackslashAndClearsReadOnly) {
    EXPECT_EQ(kPathSeparator, '\\');
    TempDir dir;
    const std::string file = dir.Path() + "\\ZembrixNetWork.ini";
    for (int round = 0; round < 2; ++round) {
        // One trailing backslash goes; the file is the one in the directory.
        ASSERT_EQ(InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, (dir.Path() + "\\").c_str()),
                  3);
        EXPECT_EQ(CloseCheckServer(), 1);
        EXPECT_NE(zntest::ReadWholeFile(file).find("SIP1="), std::string::npos);
        EXPECT_FALSE(GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    }
}

TEST(WindowsFileTest, TheFileLockKeepsOutOthersUntilReleasedAndIgnoresCase) {
    TempDir dir;
    const std::string path = dir.Path() + "\\list.ini";
    std::string upper = path;
    CharUpperBuffA(&upper[0], static_cast<DWORD>(upper.size()));
    // The lock belongs to its thread, as each holder in another process.
    auto tryFrom = [](std::string file, unsigned waitMs) {
        return std::async(
                   std::launch::async,
                   [=] {
                       return FileUpdateLock(file, FileUpdateLock::Mode::Shared, waitMs).Held();
                   })
            .get();
    };
    {
        FileUpdateLock held(path, FileUpdateLock::Mode::Exclusive, 1000);
        ASSERT_TRUE(held.Held());
        EXPECT_FALSE(tryFrom(upper, 50));
        EXPECT_TRUE(tryFrom(dir.Path() + "\\other.ini", 50));
    }
    EXPECT_TRUE(tryFrom(upper, 50));
}

TEST(WindowsFileTest, StaleTemporariesGoALiveWritersStays) {
    TempDir dir;
    const std::string path = dir.Path() + "\\list.ini";
    const std::string stale = dir.Path() + "\\~zn77-0", live = dir.Path() + "\\~zn78-3",
                      foreign = dir.Path() + "\\~znx";
    for (const std::string &file : {stale, live, foreign})
        zntest::WriteWholeFile(file, "x");
    HANDLE writer = CreateFileA(live.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    RemoveStaleSaveFiles(path);
    EXPECT_FALSE(PathExists(stale));
    EXPECT_TRUE(PathExists(live));
    EXPECT_TRUE(PathExists(foreign));
    CloseHandle(writer);
}

// Under code page 932, 0x5C is also the second byte of characters such as
// \x95\x5C; the trim must not take it for a separator.
TEST(WindowsFileTest, TheTrailingBackslashIsACharacterNotAByte) {
    const struct {
        const char *text;
        unsigned codePage;
        bool endsWithBackslash;
    } cases[] = {
        {"C:\\dir\\", 1252, true},
        {"", 932, false},
        {"C:\\\x97\x5C\x92\xE8\x95\x5C", 932, false},
        {"C:\\\x97\x5C\x92\xE8\x95\x5C\\", 932, true},
        {"C:\\\x95\x5C\x5C", 932, true},
        {"C:\\\x95\x5C", 1252, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(EndsWithBackslash(c.text, c.codePage), c.endsWithBackslash) << c.text;
}

// Another program reads the file with read and write sharing but not delete
// sharing: the file cannot be replaced, so it is rewritten in place.
TEST(WindowsFileTest, ASaveGoesThroughAHandleThatRefusesDeletion) {
    TempDir dir;
    const std::string file = dir.Path() + "\\ZembrixNetWork.ini";
    ASSERT_EQ(InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, dir.Path().c_str()),
              3);
    HANDLE reader = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetHTTPProxy("10.0.0.9:8080"), 1);
    CloseHandle(reader);
    EXPECT_EQ(CloseCheckServer(), 1);
    EXPECT_NE(zntest::ReadWholeFile(file).find("HTTPPROXY=10.0.0.9:8080\r\n"), std::string::npos);
    WIN32_FIND_DATAA found;  // no temporary left behind
    EXPECT_EQ(FindFirstFileA((dir.Path() + "\\~zn*").c_str(), &found), INVALID_HANDLE_VALUE);
}

// Only a refusal leads to an in-place rewrite: a temporary that cannot be
// made for another reason (a full disk) fails the save, the file unchanged.
TEST(WindowsFileTest, AFullDiskFailsTheSaveWithoutARewriteInPlace) {
    TempDir dir;
    const std::string path = dir.Path() + "\\list.ini";
    ASSERT_TRUE(SaveTextLines(path, {"[NETWORK]", "SIP=04"}));
    TestHooks().fileFault = FileFault::Create;
    EXPECT_FALSE(SaveTextLines(path, {"[NETWORK]", "SIP=05"}));
    EXPECT_EQ(zntest::ReadWholeFile(path), "[NETWORK]\r\nSIP=04\r\n");
}

TEST(WindowsFileTest, ASaveFitsWhereverTheFilesPathDoes) {
    TempDir dir;
    // The file's path just under the limit of 260 characters, in steps of
    // at most 61 (a separator and a name).
    const std::string name = "\\ZembrixNetWork.ini";
    std::string deep = dir.Path();
    for (size_t left; (left = MAX_PATH - 2 - name.size() - deep.size()) > 0;) {
        deep += "\\" + std::string(left > 62 ? 60 : left - 1, 'd');
        ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep.size();
    }
    const std::string path = deep + name;
    ASSERT_EQ(path.size(), size_t{MAX_PATH - 2});
    for (const char *line : {"[NETWORK]", "SIP=04"}) {
        ASSERT_TRUE(SaveTextLines(path, {line}));
        EXPECT_EQ(zntest::ReadWholeFile(path), std::string(line) + "\r\n");
    }
}

// The last closing callback hands the record's closed event to SetEvent
// after counting its handle down: a close in between must neither free the
// record nor close that event before it was set.
TEST(WindowsInternetTest, ARecordOutlivesItsLastClosingUntilItsEventIsSet) {
    Completion *completion = new Completion;
    completion->completed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    completion->closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    completion->HandleMade();
    // The callback's work is done; its jump into SetEvent is still to come.
    const HANDLE closed = ZnOnStatusWork(nullptr, reinterpret_cast<DWORD_PTR>(completion),
                                         INTERNET_STATUS_HANDLE_CLOSING, nullptr, 0);
    ASSERT_EQ(closed, completion->closed);
    FreeWhenClosed(completion, true);
    EXPECT_TRUE(SetEvent(closed)) << GetLastError();
}

TEST(WindowsCryptoTest, Rc4KeysReachTheProvidersLimitOf128Bits) {
    std::unique_ptr<CryptoProvider> provider = CryptoProvider::Acquire();
    ASSERT_TRUE(provider);
    const uint8_t key[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_NE(Rc4Key::Create(*provider, key, 16), nullptr);
    EXPECT_EQ(Rc4Key::Create(*provider, key, 17), nullptr);
}

}  // namespace
