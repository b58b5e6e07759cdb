// The platform's event: manual and automatic reset, failed creation, waits
// on several events at once.
#include "platform/Event.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/TestHooks.h"
#include "platform/Thread.h"

namespace zn {
namespace {

TEST(Event, ManualStaysSetAutoIsConsumedAndTimeoutsAreTold) {
    Event manual(Event::Manual);
    EXPECT_EQ(WaitResult::TimedOut, manual.Wait(0));
    manual.Set();
    EXPECT_EQ(WaitResult::Signalled, manual.Wait(0));
    EXPECT_EQ(WaitResult::Signalled, manual.Wait(0));
    manual.ResetEvent();
    EXPECT_EQ(WaitResult::TimedOut, manual.Wait(10));

    Event automatic(Event::Auto, true);
    EXPECT_EQ(WaitResult::Signalled, automatic.Wait(0));
    EXPECT_EQ(WaitResult::TimedOut, automatic.Wait(0));
}

TEST(Event, AFailedEventFailsEveryWait) {
    TestHooks().failEventCreations = 1;
    Event broken;
    EXPECT_FALSE(broken.IsValid());
    broken.Set();
    EXPECT_EQ(WaitResult::Failed, broken.Wait(0));
    Event fine;
    EXPECT_TRUE(fine.IsValid());
}

TEST(Event, WaitAllNeedsEveryEventWithinOneLimit) {
    Event a, b;
    std::vector<Event *> both{&a, &b};
    a.Set();
    EXPECT_EQ(WaitResult::TimedOut, Event::WaitAll(both, 20));
    std::thread setter([&] {
        SleepMs(20);
        b.Set();
    });
    EXPECT_EQ(WaitResult::Signalled, Event::WaitAll(both, kInfinite));
    setter.join();
}

}  // namespace
}  // namespace zn
