// Hosts that exit, unload the library or run out of threads just after a
// check starts. Each is a fresh process (host/LifetimeHost.c), so the crypto
// library starts there as it would in a real host.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/Network.h"
#include "support/TempDir.h"

extern char **environ;

namespace zntest {
namespace {

[[maybe_unused]] const bool kIsolated = RegisterIsolatedNetworkCheck();

// The host's exit status; -1 when it died of a signal, -2 when it was still
// running after 30 s. Its standard error stays empty: the exit is quiet.
int RunHost(const std::string &dir, const std::string &mode, int delayUs = 0) {
    const std::string err = dir + "/stderr", delay = std::to_string(delayUs);
    const char *argv[] = {ZN_LIFETIME_HOST, ZN_LIBRARY,    dir.c_str(),
                          mode.c_str(),     delay.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0644);
    // A host that exits mid-run leaves our threads running on purpose: the
    // sanitizers must neither call them leaks nor stop them for a leak scan.
    for (const auto &option : {std::make_pair("TSAN_OPTIONS", ":report_thread_leaks=0"),
                               std::make_pair("ASAN_OPTIONS", ":detect_leaks=0")}) {
        const char *options = getenv(option.first);
        setenv(option.first, (std::string(options ? options : "") + option.second).c_str(), 1);
    }
    pid_t pid = -1;
    int status = 0;
    EXPECT_EQ(0, posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ));
    posix_spawn_file_actions_destroy(&actions);
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0 && waited <= 30000; waited += 10)
        usleep(10000);
    if (kill(pid, SIGKILL) == 0 && waitpid(pid, &status, 0) == pid)
        return -2;
    EXPECT_EQ("", ReadWholeFile(err)) << mode << " " << delayUs;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostLifetime, ExitOrUnloadAtAnyMomentOfACheckEndsTheProcessCleanly) {
    TcpListener internet(kConnectivityAddress1, 80);
    for (const char *mode : {"exit", "dlclose"}) {
        for (int delayUs : {0, 200, 500, 800, 1000, 1500, 2000, 2500, 3000, 5000}) {
            TempDir dir;
            EXPECT_EQ(0, RunHost(dir.Path(), mode, delayUs)) << mode << " " << delayUs;
        }
    }
}

TEST(HostLifetime, CheckersWithoutAThreadCountAsFinished) {
    TcpListener internet(kConnectivityAddress1, 80);
    TempDir dir;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0777));  // the host runs as an ordinary user
    WriteWholeFile(dir.File("ZembrixNetWork.ini"),
                   "[NETWORK]\r\nWEBNUM=0\r\nSIPNUM=0\r\nIMNUM=0\r\nFAXNUM=0\r\n");
    EXPECT_EQ(0, RunHost(dir.Path(), "nproc"));
}

}  // namespace
}  // namespace zntest
