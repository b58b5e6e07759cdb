// Forked copies of the test process, for tests that kill a writer at random
// points or change their mount namespace without touching the test runner.
#pragma once

#include <functional>
#include <string>

namespace zntest {

class ChildProcess {
  public:
    // Runs body in a forked child, which ends with body's result as its exit
    // status (and 125 when body throws). Running() tells whether it started.
    explicit ChildProcess(const std::function<int()> &body);
    // A child that still runs is killed and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool Running() const { return m_pid > 0; }
    // Kills with SIGKILL, at once, and reaps.
    void Kill();
    // Waits for the end; the exit status, or -1 when the child did not exit
    // normally or never started.
    int Wait();

  private:
    int m_pid;
};

// Whether the process runs with root's rights (mounting needs them).
bool IsRoot();

// In the calling process (meant for a child): runs on as "nobody", with no
// supplementary groups. Empty on success, otherwise why not.
std::string BecomeUnprivilegedUser();

// In the calling process (meant for a child): a mount namespace of its own,
// with every mount private, and a tmpfs of the given size on directory.
// Empty on success, otherwise why it could not be done.
std::string MountPrivateTmpfs(const std::string &directory, const std::string &size);

// Runs scenario in a child on a private 16 KiB tmpfs that it mounts on
// mountPoint (made here); the test fails with what scenario returns unless
// that is empty. Skips the test where mounting is not possible.
void RunOnTinyDisk(const std::string &mountPoint, const std::function<std::string()> &scenario);

}  // namespace zntest
