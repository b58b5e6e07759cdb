// Exports called from inside callbacks and from many host threads at once.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>

#include "support/HostRecorder.h"
#include "support/TempDir.h"

namespace zntest {
namespace {

TEST(Reentrancy, ExportsWorkFromInsideTheFinishCallback) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    // Written on the library's thread, read here: atomics.
    std::atomic<int> infoResult{-1}, startResult{-1};
    host.OnMessage("Finish all checking!", [&] {
        char h[1024], p[1024], d[32];
        int t;
        infoResult = GetServerInfo(ZN_KIND_IM, h, p, d, &t);  // the run is over: accepted
        startResult = UpdateServerList("3");
    });
    ASSERT_EQ(1, CheckServerStatus("", 0));
    ASSERT_TRUE(host.WaitFor("Finish updating!"));
    // Close waits for both runs, the callback's included.
    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_EQ(1, infoResult);  // accepted, but no IM server was ever selected
    EXPECT_EQ(1, startResult);
    for (const Received &r : host.All())
        EXPECT_NE(CallbackKind::Error, r.kind) << r.message;
}

TEST(Reentrancy, CloseAndInitFromInsideTheFinishCallback) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    std::atomic<int> closeResult{-1}, initResult{-1}, checkResult{-1};
    host.OnMessage("Finish all checking!", [&] {
        closeResult = CloseCheckServer();
        initResult = host.Init(dir.Path());
        checkResult = CheckServerStatus("", 0);
    });
    ASSERT_EQ(1, CheckServerStatus("", 0));
    ASSERT_TRUE(host.WaitFor("Finish all checking!", 2));
    // This close also frees the first manager, once its callback is over.
    EXPECT_EQ(1, CloseCheckServer());
    EXPECT_EQ(1, closeResult);
    EXPECT_EQ(3, initResult);
    EXPECT_EQ(1, checkResult);
    EXPECT_EQ(2, host.Count("Close checking server list successfully"));
}

TEST(Reentrancy, CloseFromInsideACallbackOfARunningJob) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    std::atomic<int> closeResult{-1};
    host.OnMessage("Begin to update server list!", [&] { closeResult = CloseCheckServer(); });
    ASSERT_EQ(1, UpdateServerList(""));
    ASSERT_TRUE(host.WaitFor("Finish updating!"));
    ASSERT_TRUE(host.WaitFor("Close checking server list successfully"));
    EXPECT_EQ(1, closeResult);
    EXPECT_EQ(1, host.Count("Cancel updating server list successfully!"));
    // The library is closed; a new initialisation frees the old manager.
    EXPECT_EQ(0, CancelChecking());
    ASSERT_EQ(3, host.Init(dir.Path()));
    EXPECT_EQ(1, CloseCheckServer());
}

TEST(Reentrancy, CloseFromInsideTheCancelCallbackOfAHostThread) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    ASSERT_TRUE(host.StartHeldUpdate(""));
    std::atomic<int> closeResult{-1};
    host.OnMessage("Cancel updating server list successfully!",
                   [&] { closeResult = CloseCheckServer(); });
    std::thread releaser([&] {
        host.WaitFor("Close checking server list successfully");
        host.Release();
    });
    EXPECT_EQ(1, CancelChecking());  // returns: no deadlock with the run's end
    releaser.join();
    EXPECT_EQ(1, closeResult);
    ASSERT_TRUE(host.WaitFor("Finish updating!"));
    ASSERT_EQ(3, host.Init(dir.Path()));  // frees the manager set aside
    EXPECT_EQ(1, CloseCheckServer());
}

// Address space of this process in kB: an ended thread that nobody joins
// keeps its stack mapped.
long VirtualSizeKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0)
            return std::stol(line.substr(7));
    }
    return -1;
}

TEST(Reentrancy, RunsStartedFromInsideTheFinishCallbackDoNotPileUpThreads) {
    TempDir dir;
    HostRecorder host;
    ASSERT_EQ(3, host.Init(dir.Path()));
    // The first update starts the HTTP and TLS libraries and their threads'
    // memory pools once per process; only what follows must stay flat.
    ASSERT_EQ(1, UpdateServerList(""));
    ASSERT_TRUE(host.WaitFor("Finish updating!", 1));
    const long before = VirtualSizeKb();
    std::atomic<int> runs{0};
    std::function<void()> again = [&] {
        if (++runs < 200) {
            host.OnMessage("Finish updating!", again);
            EXPECT_EQ(1, UpdateServerList(""));
        }
    };
    host.OnMessage("Finish updating!", again);
    ASSERT_EQ(1, UpdateServerList(""));
    ASSERT_TRUE(host.WaitFor("Finish updating!", 201));
    // Each run's thread is joined by a later start: a few stacks (8 MB each)
    // remain or are cached, not two hundred.
    EXPECT_LT(VirtualSizeKb() - before, 32 * 8 * 1024);
    EXPECT_EQ(1, CloseCheckServer());
}

}  // namespace
}  // namespace zntest
