// The test programs' main: every test hook goes back to the library's own
// behaviour after each test, passed or failed, so no test sees what another
// set.
#include <gtest/gtest.h>

#include "platform/TestHooks.h"

namespace {

class RestoreHooksAfterEachTest : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &) override { zn::RestoreAllTestHooks(); }
};

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // gtest owns the listener from here on.
    ::testing::UnitTest::GetInstance()->listeners().Append(new RestoreHooksAfterEachTest);
    return RUN_ALL_TESTS();
}
