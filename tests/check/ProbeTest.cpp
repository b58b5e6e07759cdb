// Probes on a system that fails them: no thread to spare for the probe, a
// name server that never answers. Each runs in a forked child, which reports
// the first step that went wrong by its exit status.
#include "check/Probe.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Network.h"
#include "support/TempDir.h"
#include "thread/TimeLimits.h"

namespace {

// A child still running after this has hung; the alarm ends it, and the
// exit status then tells the test so.
constexpr unsigned kChildAlarmSeconds = 20;

size_t ThreadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// An ended thread may stay listed a moment after its join: allow for that,
// generously.
bool ThreadsSettleTo(size_t expected) {
    for (int i = 0; i < 2000 && ThreadCount() != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ThreadCount() == expected;
}

class ProbeFaults : public zntest::NetworkTest {};

TEST_F(ProbeFaults, WithoutAThreadToSpareTheProbeConnectsOnTheAskingThread) {
    if (!zntest::IsRoot())
        GTEST_SKIP() << "changing to another user needs root";
    zntest::TcpListener listener;
    ASSERT_TRUE(listener.IsOpen());
    const std::string port = std::to_string(listener.Port());
    zntest::ChildProcess child([&] {
        alarm(kChildAlarmSeconds);
        // Root is exempt from the process limit: the child becomes nobody.
        const rlimit one{1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0 || setresuid(65534, 65534, 65534) != 0)
            return 10;
        zn::OwnedThread spare;
        if (spare.Start([] {}))
            return 11;  // threads can still be made: nothing would be shown
        zn::Limits().probeCancelWaitMs = 100;
        zn::CServerProbe probe;
        if (probe.ProbeServer(zntest::kLoopback, port, 2000, nullptr) != 1)
            return 1;  // a live server counted as failed
        if (probe.ProbeServer(zntest::kSilentDropHost, "80", 200, nullptr) != 0)
            return 2;
        zn::Event stop;
        stop.Set();
        if (probe.ProbeServer(zntest::kLoopback, port, 2000, &stop) != 0)
            return 3;  // the stop was not honoured
        return 0;
    });
    ASSERT_TRUE(child.Running());
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(ProbeFaults, AHungNameLookupEndsWithItsProbeAndLeavesNoThread) {
    if (!zntest::IsRoot())
        GTEST_SKIP() << "a private /etc/resolv.conf needs root";
    zntest::TempDir dir;
    zntest::TcpListener named(zntest::kConnectivityAddress1);
    ASSERT_TRUE(named.IsOpen());
    const std::string port = std::to_string(named.Port());
    const std::string knownName = zntest::ConnectivityHostName1();
    constexpr const char *kHungName = "hung-lookup.example";
    zntest::ChildProcess child([&] {
        alarm(kChildAlarmSeconds);
        if (!zntest::UseSilentNameServer(dir.File("resolv.conf")).empty())
            return 10;
        // Far more than a cancelled lookup takes to end.
        zn::Limits().probeCancelWaitMs = 5000;
        zn::CServerProbe probe;
        // The hosts file still answers first.
        if (probe.ProbeServer(knownName, port, 10000, nullptr) != 1)
            return 1;
        // Counted after a first thread has come and gone: a sanitizer's
        // runtime may start one of its own then.
        const size_t threads = ThreadCount();
        // Given up on after the first wait.
        if (probe.ProbeServer(kHungName, "80", 200, nullptr) != 0 || !ThreadsSettleTo(threads))
            return 2;
        // Cancelled from another thread (as a stop does), long before any
        // time limit.
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done) {
                probe.CancelBlockingCall();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const int result = probe.ProbeServer(kHungName, "80", 60000, nullptr);
        done = true;
        canceller.join();
        if (result != 0 || !ThreadsSettleTo(threads))
            return 3;
        return 0;
    });
    ASSERT_TRUE(child.Running());
    EXPECT_EQ(child.Wait(), 0) << "1: a hosts-file name failed; 2: a timed-out lookup left its "
                                  "thread; 3: a cancelled lookup did not end; -1: hung";
}

}  // namespace
