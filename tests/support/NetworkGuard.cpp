// The parts of the network helpers that every platform shares: the guard
// against a default route and the host names of the namespace.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "support/Network.h"

namespace zntest {

namespace {

// The kernel's routing tables; Wine shows the Linux root as drive Z:.
#ifdef _WIN32
const char *const kRoutes = "Z:/proc/net/route";
const char *const kIPv6Routes = "Z:/proc/net/ipv6_route";
#else
const char *const kRoutes = "/proc/net/route";
const char *const kIPv6Routes = "/proc/net/ipv6_route";
#endif

std::vector<std::string> Fields(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    std::string field;
    while (in >> field)
        fields.push_back(field);
    return fields;
}

bool ReadFile(const char *path, std::string *text) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    *text = out.str();
    return true;
}

std::string EnvironmentValue(const char *name) {
    const char *value = std::getenv(name);
    if (!value || !*value) {
        ADD_FAILURE() << name << " is not set: run the tests through scripts/netns-run";
        return std::string();
    }
    return value;
}

class IsolatedNetworkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { RequireIsolatedNetwork(); }
};

}  // namespace

std::string ConnectivityHostName1() {
    return EnvironmentValue("ZEMBRIXNET_CONNECTIVITY_HOST1");
}
std::string ConnectivityHostName2() {
    return EnvironmentValue("ZEMBRIXNET_CONNECTIVITY_HOST2");
}

std::string FindDefaultRoute(const std::string &ipv4Routes, const std::string &ipv6Routes) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the header
    // starts with "Iface". Any route to destination 0 counts, whatever its
    // mask: better a false alarm than a packet out.
    std::istringstream ipv4(ipv4Routes);
    for (std::string line; std::getline(ipv4, line);) {
        std::vector<std::string> f = Fields(line);
        if (f.size() >= 2 && f[0] != "Iface" && f[1] == "00000000") {
            return "IPv4 default route on " + f[0];
        }
    }
    // Destination, prefix length, source, source prefix length, next hop,
    // metric, reference count, use count, flags, interface.
    const std::string anyAddress(32, '0');
    const unsigned long rejectFlag = 0x0200;
    std::istringstream ipv6(ipv6Routes);
    for (std::string line; std::getline(ipv6, line);) {
        std::vector<std::string> f = Fields(line);
        if (f.size() < 10 || f[0] != anyAddress || f[1] != "00")
            continue;
        const bool reject = (std::strtoul(f[8].c_str(), nullptr, 16) & rejectFlag) != 0;
        if (f[9] != "lo" && !reject)
            return "IPv6 default route on " + f[9];
    }
    return std::string();
}

void RequireIsolatedNetwork() {
    std::string ipv4;
    std::string ipv6;
    if (!ReadFile(kRoutes, &ipv4)) {
        FAIL() << "cannot read /proc/net/route to check for a default route";
    }
    // A kernel without IPv6 has no such file, and no IPv6 route either.
    ReadFile(kIPv6Routes, &ipv6);
    const std::string found = FindDefaultRoute(ipv4, ipv6);
    if (!found.empty()) {
        FAIL() << "default route found (" << found << "): run the tests through scripts/netns-run";
    }
}

bool RegisterIsolatedNetworkCheck() {
    // gtest owns the environment from here on.
    static const bool registered =
        (::testing::AddGlobalTestEnvironment(new IsolatedNetworkEnvironment), true);
    return registered;
}

}  // namespace zntest
