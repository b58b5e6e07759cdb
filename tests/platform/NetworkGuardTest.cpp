// The guard that keeps socket tests inside the private namespace: it must
// see every way out, and must not mistake the namespace's own routes for one.
#include <gtest/gtest.h>

#include "support/Network.h"

namespace {

const char kIPv4Header[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
const char kIPv6LoopbackRoutes[] =
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n"
    "00000000000000000000000000000001 80 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000000 00000002 00000000 80200001       lo\n";

TEST(NetworkGuardTest, AcceptsTheNamespaceRoutes) {
    const std::string ipv4 = std::string(kIPv4Header) +
                             "zn-drop0\t0000630A\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    const std::string ipv6 = std::string(kIPv6LoopbackRoutes) +
                             "fe800000000000000000000000000000 40 "
                             "00000000000000000000000000000000 00 "
                             "00000000000000000000000000000000 00000100 00000001 00000000 "
                             "00000001 zn-drop0\n";
    EXPECT_EQ(zntest::FindDefaultRoute(ipv4, ipv6), "");
    EXPECT_EQ(zntest::FindDefaultRoute("", ""), "");
}

TEST(NetworkGuardTest, FindsEveryDefaultRoute) {
    const std::string viaGateway = std::string(kIPv4Header) +
                                   "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                                   "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(zntest::FindDefaultRoute(viaGateway, kIPv6LoopbackRoutes),
              "IPv4 default route on eth0");

    // Without a header line, and through a device without a gateway.
    EXPECT_EQ(zntest::FindDefaultRoute("tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\n", ""),
              "IPv4 default route on tun0");

    const std::string ipv6Default =
        std::string(kIPv6LoopbackRoutes) +
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n";
    EXPECT_EQ(zntest::FindDefaultRoute(kIPv4Header, ipv6Default), "IPv6 default route on eth0");

    // A reject route elsewhere than on lo is no way out either.
    const std::string ipv6Reject =
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200     eth0\n";
    EXPECT_EQ(zntest::FindDefaultRoute(kIPv4Header, ipv6Reject), "");
}

}  // namespace
