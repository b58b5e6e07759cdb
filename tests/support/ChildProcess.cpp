#include "support/ChildProcess.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace zntest {

ChildProcess::ChildProcess(const std::function<int()> &body) : m_pid(fork()) {
    if (m_pid != 0)
        return;
    int status = 125;
    try {
        status = body();
    } catch (...) {
        status = 125;
    }
    // No atexit handlers or static destructors of the test runner in the copy.
    _exit(status);
}

ChildProcess::~ChildProcess() {
    Kill();
}

void ChildProcess::Kill() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGKILL);
    Wait();
}

int ChildProcess::Wait() {
    if (m_pid <= 0)
        return -1;
    int status = 0;
    pid_t done;
    do {
        done = waitpid(m_pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    m_pid = -1;
    if (done < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool IsRoot() {
    return geteuid() == 0;
}

std::string BecomeUnprivilegedUser() {
    const struct passwd *nobody = getpwnam("nobody");
    if (!nobody)
        return "no user \"nobody\"";
    // Groups first: once the user id is dropped they can no longer change.
    if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
        return std::string("dropping privileges failed: ") + strerror(errno);
    return std::string();
}

std::string MountPrivateTmpfs(const std::string &directory, const std::string &size) {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS) failed: ") + strerror(errno);
    }
    // Without this the tmpfs would propagate into the namespace we came from.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making mounts private failed: ") + strerror(errno);
    }
    const std::string options = "size=" + size;
    if (mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        return std::string("mounting a tmpfs failed: ") + strerror(errno);
    }
    return std::string();
}

void RunOnTinyDisk(const std::string &mountPoint, const std::function<std::string()> &scenario) {
    if (!IsRoot())
        GTEST_SKIP() << "mounting a private tmpfs needs root";
    const std::string report = mountPoint + "-report.txt";
    mkdir(mountPoint.c_str(), 0700);
    constexpr int kCannotMount = 77;
    ChildProcess child([&] {
        const std::string why = MountPrivateTmpfs(mountPoint, "16k");
        if (!why.empty()) {
            WriteWholeFile(report, why);
            return kCannotMount;
        }
        const std::string failures = scenario();
        WriteWholeFile(report, failures);
        return failures.empty() ? 0 : 1;
    });
    ASSERT_TRUE(child.Running());
    const int status = child.Wait();
    if (status == kCannotMount)
        GTEST_SKIP() << "no private mount namespace: " << ReadWholeFile(report);
    EXPECT_EQ(status, 0) << ReadWholeFile(report);
}

}  // namespace zntest
