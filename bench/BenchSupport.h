// What the benchmarks share: the refusal to run outside a private network
// namespace, the count of finished jobs, medians, and the time the curl
// command takes for the same request.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "support/Network.h"
#include "support/TempDir.h"

namespace znbench {

// False (after saying so) when a default route exists: benchmarks run only
// inside scripts/netns-run.
inline bool InsidePrivateNamespace() {
    if (zntest::FindDefaultRoute(zntest::ReadWholeFile("/proc/net/route"),
                                 zntest::ReadWholeFile("/proc/net/ipv6_route"))
            .empty())
        return true;
    std::fprintf(stderr, "default route found: run the benchmark through scripts/netns-run\n");
    return false;
}

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Prints one figure as "label: value unit (detail; target op limit) PASS|FAIL",
// op being "<" or "<=".
inline void PrintFigure(const char *label, double value, const char *unit,
                        const std::string &detail, const char *op, double limit) {
    const bool pass = std::string(op) == "<" ? value < limit : value <= limit;
    std::printf("%s: %.2f%s%s (%s; target %s %g%s%s) %s\n", label, value, *unit ? " " : "", unit,
                detail.c_str(), op, limit, *unit ? " " : "", unit, pass ? "PASS" : "FAIL");
}

// Prints "label: ours/theirs (ours ms / theirs ms, medians of N; target <= T) PASS|FAIL".
inline void PrintRatio(const char *label, const std::vector<double> &ours,
                       const std::vector<double> &theirs, double target) {
    char detail[128];
    std::snprintf(detail, sizeof detail, "%.2f ms / %.2f ms, medians of %zu", Median(ours),
                  Median(theirs), ours.size());
    PrintFigure(label, Median(ours) / Median(theirs), "", detail, "<=", target);
}

// The jobs' "finished" callbacks count here; a benchmark waits for the count
// it expects. The mutex and condition also serve a benchmark's own counts.
inline std::mutex g_mutex;
inline std::condition_variable g_changed;
inline int g_finished = 0;

inline void OnFinished(void *, const char *) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_finished;
    g_changed.notify_all();
}

inline void WaitFinished(int count) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait(lock, [count] { return g_finished >= count; });
}

// Milliseconds the curl command takes for url (its own time_total), with
// the given further arguments; negative when it could not be run.
inline double CurlCommandMs(const std::string &arguments, const std::string &url) {
    const std::string command =
        "curl -s -o /dev/null -w '%{time_total}' --noproxy '*' " + arguments + " '" + url + "'";
    FILE *pipe = popen(command.c_str(), "r");
    double seconds = -1;
    if (!pipe || std::fscanf(pipe, "%lf", &seconds) != 1)
        seconds = -1;
    if (pipe)
        pclose(pipe);
    return seconds * 1000;
}

}  // namespace znbench
