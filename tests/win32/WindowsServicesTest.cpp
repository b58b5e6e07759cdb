// What only the Windows build has: the read-only attribute, the backslash,
// the file lock across processes, a live writer's temporary, and CryptoAPI's
// key lengths.
#include <gtest/gtest.h>
#include <windows.h>

#include <future>
#include <string>

#include "platform/Crypto.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
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
    const std::string stale = path + ".tmp-77-0", live = path + ".tmp-78-3",
                      foreign = path + ".tmp-x";
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

TEST(WindowsCryptoTest, Rc4KeysReachTheProvidersLimitOf128Bits) {
    std::unique_ptr<CryptoProvider> provider = CryptoProvider::Acquire();
    ASSERT_TRUE(provider);
    const uint8_t key[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_NE(Rc4Key::Create(*provider, key, 16), nullptr);
    EXPECT_EQ(Rc4Key::Create(*provider, key, 17), nullptr);
}

}  // namespace
