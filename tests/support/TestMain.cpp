// Every test program's main: each test ends with every test hook restored.
#include <gtest/gtest.h>

#include "platform/TestHooks.h"

struct RestoreHooksAfterEachTest : ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &) override { zn::RestoreAllTestHooks(); }
};

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new RestoreHooksAfterEachTest);
    return RUN_ALL_TESTS();
}
