// What the benchmarks share: the refusal to run outside a private network
// namespace, and the time the curl command takes for the same request.
#pragma once

#include <cstdio>
#include <string>

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
