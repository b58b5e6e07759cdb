// Probes on a system that fails them, each in a forked child whose exit status
// names the step that went wrong (-1: it hung, and its alarm ended it).
#include "check/Probe.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/TimeLimits.h"
#include "support/ChildProcess.h"
#include "support/Network.h"
#include "support/TempDir.h"

namespace {

size_t EntryCount(const char *directory) {
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(directory))
        ++count;
    return count;
}

class ProbeFaults : public zntest::NetworkTest {};

TEST_F(ProbeFaults, WithoutAThreadToSpareTheProbeConnectsOnTheAskingThread) {
    if (!zntest::IsRoot())
        GTEST_SKIP() << "changing to another user needs root";
    zntest::TcpListener listener;
    const std::string port = std::to_string(listener.Port());
    zntest::ChildProcess child([&] {
        alarm(20);
        const rlimit one{1, 1};  // root is exempt from it: become nobody
        zn::OwnedThread spare;
        if (setrlimit(RLIMIT_NPROC, &one) != 0 || setresuid(65534, 65534, 65534) != 0 ||
            spare.Start([] {}))
            return 10;
        zn::Limits().probeCancelWaitMs = 100;
        zn::CServerProbe probe;
        if (probe.ProbeServer(zntest::kLoopback, port, 2000, nullptr) != 1)
            return 1;  // a live server counted as failed
        return probe.ProbeServer(zntest::kSilentDropHost, "80", 200, nullptr) == 0 ? 0 : 2;
    });
    EXPECT_EQ(0, child.Wait());
}

TEST_F(ProbeFaults, AHungNameLookupEndsWithItsProbeAndLeavesNothingBehind) {
    if (!zntest::IsRoot())
        GTEST_SKIP() << "a private /etc/resolv.conf needs root";
    zntest::TempDir dir;
    const std::string resolvConf = dir.File("resolv.conf");
    std::ofstream(resolvConf) << "nameserver " << zntest::kSilentDropHost
                              << "\noptions timeout:30 attempts:5\n";
    zntest::TcpListener named(zntest::kConnectivityAddress1);
    const std::string port = std::to_string(named.Port());
    const std::string knownName = zntest::ConnectivityHostName1();
    zntest::ChildProcess child([&] {
        alarm(20);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            return 10;
        zn::Limits().probeCancelWaitMs = 5000;  // far more than a cancelled lookup takes
        zn::CServerProbe probe;
        if (probe.ProbeServer(knownName, port, 10000, nullptr) != 1)
            return 1;  // the hosts file must still answer first
        // Counted after one probe: a sanitizer's runtime may start a thread then.
        const size_t threads = EntryCount("/proc/self/task"), fds = EntryCount("/proc/self/fd");
        if (probe.ProbeServer("hung.example", "80", 200, nullptr) != 0)
            return 2;
        // An ended thread may stay listed a moment after its join.
        for (int i = 0; i < 2000 && EntryCount("/proc/self/task") != threads; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (EntryCount("/proc/self/task") != threads || EntryCount("/proc/self/fd") != fds)
            return 3;
        // Both probes ran on one thread, which ends once let go.
        probe.ReleaseThread();
        for (int i = 0; i < 2000 && EntryCount("/proc/self/task") != threads - 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return EntryCount("/proc/self/task") == threads - 1 ? 0 : 4;
    });
    EXPECT_EQ(0, child.Wait());
}

}  // namespace
