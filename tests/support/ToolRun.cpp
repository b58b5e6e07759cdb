#include "support/ToolRun.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace zntest {

namespace {

void ClosePipe(int pipe[2]) {
    for (int i = 0; i < 2; ++i) {
        if (pipe[i] >= 0)
            close(pipe[i]);
        pipe[i] = -1;
    }
}

}  // namespace

ToolResult RunTool(const std::vector<std::string> &argv, const ToolRunOptions &options) {
    ToolResult result;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        ClosePipe(in);
        ClosePipe(out);
        ClosePipe(err);
        return result;
    }
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        // Its own copy of the input's write end would keep the input from ending.
        ClosePipe(in);
        ClosePipe(out);
        ClosePipe(err);
        // A test runner may ignore SIGINT; the program gets the default.
        signal(SIGINT, SIG_DFL);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid > 0) {
        // Small inputs only: they fit the pipe, so this cannot block.
        if (write(in[1], options.input.data(), options.input.size()) < 0)
            result.err = "input not written\n";
    }
    close(in[1]);

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = pid > 0 ? 2 : 0;
    while (open > 0) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > static_cast<time_t>(options.timeoutSeconds)) {
            kill(pid, SIGKILL);
            result.err += "\n[killed: no end within the time limit]\n";
            break;
        }
        if (poll(fds, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
        if (!options.interruptWhen.empty() && !result.interrupted &&
            result.err.find(options.interruptWhen) != std::string::npos) {
            kill(pid, SIGINT);
            result.interrupted = true;
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

}  // namespace zntest
