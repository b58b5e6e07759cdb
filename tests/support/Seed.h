// The seed of a test's random choices, printed so that a failure can be
// repeated: ZN_SEED from the environment when set (as tests/win32/host_test.sh
// takes it), otherwise the test's own choice.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace zntest {

inline unsigned TestSeed(unsigned ownChoice) {
    const char *given = std::getenv("ZN_SEED");
    const unsigned seed =
        given && *given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : ownChoice;
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::printf("%s: seed %u (ZN_SEED=%u repeats it)\n", test ? test->name() : "", seed, seed);
    std::fflush(stdout);
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    return seed;
}

}  // namespace zntest
