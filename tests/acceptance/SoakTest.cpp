// A thousand cycles of a host's whole life in one process: initialise,
// check (live and dead servers), update, cancel at random moments, close.
// Descriptors, threads and heap must end where they began: whatever a cycle
// leaks, a thousand of them make plain.

#include <dirent.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "support/HostRecorder.h"
#include "support/Network.h"
#include "support/Seed.h"
#include "support/TempDir.h"

namespace zntest {
namespace {

// The sanitizers' own bookkeeping makes each cycle several times slower, and
// their allocators keep freed memory aside: fewer cycles there, and the heap
// is left to their leak checker.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kCycles = 200;
constexpr bool kMeasureHeap = false;
#else
constexpr int kCycles = 1000;
constexpr bool kMeasureHeap = true;
#endif
// Cycles before the baseline: the first ones start what a process keeps for
// good (the reaper's thread, the TLS libraries' tables, the resolver's).
constexpr int kWarmUpCycles = 20;
// Heap that may differ between two quiet moments: caches of the libraries
// below that fill over the first few hundred cycles (about 65 KiB here) and
// then stay. A leak of 300 bytes a cycle would exceed it.
constexpr size_t kHeapSlack = 256 * 1024;

size_t CountEntries(const char *directory) {
    size_t count = 0;
    if (DIR *dir = opendir(directory)) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

struct Usage {
    size_t descriptors, threads, heap;
};

Usage Measure() {
    return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"),
            kMeasureHeap ? mallinfo2().uordblks : 0};
}

// Abandoned probes end on their own once their connect returns, and the
// reaper joins them a moment later: wait (bounded) until the counts come
// back, then report what is left.
Usage SettleTo(const Usage &baseline) {
    Usage now = Measure();
    for (int i = 0;
         i < 200 && (now.descriptors > baseline.descriptors || now.threads > baseline.threads ||
                     now.heap > baseline.heap + kHeapSlack);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = Measure();
    }
    return now;
}

TEST(Soak, AThousandCyclesLeaveNoDescriptorThreadOrHeapBehind) {
    RequireIsolatedNetwork();
    // The internet answers, and so does one built-in entry of each checked
    // kind (their addresses stand in src/store/ProviderConfig.cpp); every
    // other entry is a closed port that refuses at once.
    TcpListener internet(kConnectivityAddress1, 80);
    TcpListener web("198.51.100.8", 443), sip("192.0.2.21", 5060), im("203.0.113.15", 5222);
    for (TcpListener *live : {&internet, &web, &sip, &im})
        ASSERT_TRUE(live->StartAccepting());

    HostRecorder host;
    std::mt19937 random(TestSeed(20261208));
    int selections = 0;
    Usage baseline{};
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        if (cycle == kWarmUpCycles)
            baseline = SettleTo(Measure());
        TempDir dir;
        ASSERT_EQ(3, host.Init(dir.Path()));

        // Each cycle's record is taken at its end, so a count of one is
        // this cycle's.
        const unsigned plan = random();
        const bool checked = CheckServerStatus(nullptr, 1 + plan % 15) == 1;
        // Half the runs are cancelled at a random moment, the rest end.
        if (plan & 0x100) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            CancelChecking();
        }
        ASSERT_TRUE(checked && host.WaitFor("Finish all checking!", 1, std::chrono::minutes(2)));
        char h[1024], p[1024], d[32];
        int transport = 0;
        selections += GetServerInfo(ZN_KIND_SIP, h, p, d, &transport) == 0;

        const bool updated = UpdateServerList("1.0") == 1;
        if (plan & 0x200) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
            EndUpdateServerList();
        }
        // Some closes come while the update still runs.
        if (plan & 0x400) {
            ASSERT_TRUE(host.WaitFor("Finish updating!", 1, std::chrono::minutes(2)));
        }
        ASSERT_EQ(1, CloseCheckServer());
        ASSERT_TRUE(updated && host.WaitFor("Finish updating!", 1, std::chrono::minutes(2)));
        // Exactly one finish per run; the record must not grow with the cycles.
        ASSERT_EQ(1, host.Count("Finish all checking!"));
        ASSERT_EQ(1, host.Count("Finish updating!"));
        host.Take();
    }
    const Usage end = SettleTo(baseline);
    std::printf(
        "Soak: %d cycles, %d checks selected a SIP server; descriptors %zu -> %zu, "
        "threads %zu -> %zu, heap %zu -> %zu bytes\n",
        kCycles, selections, baseline.descriptors, end.descriptors, baseline.threads, end.threads,
        baseline.heap, end.heap);
    // Live servers were found: the soak ran checks that end in a selection.
    EXPECT_GT(selections, 0);
    EXPECT_LE(end.descriptors, baseline.descriptors);
    EXPECT_LE(end.threads, baseline.threads);
    EXPECT_LE(end.heap, baseline.heap + kHeapSlack);
}

}  // namespace
}  // namespace zntest
