// The reaper runs queued work on a thread of its own that ends once the
// queue is empty, and comes back for later work.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <thread>

#include "thread/Reaper.h"

namespace {

size_t ThreadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

TEST(ReaperTest, RunsWorkElsewhereThenLeavesNoThreadAndStartsAgain) {
    // Counted after a first thread: a sanitizer's runtime may start one then.
    std::thread([] {}).join();
    const size_t before = ThreadCount();
    for (int round = 0; round < 2; ++round) {
        std::promise<std::thread::id> ran;
        zn::FinishInBackground([&ran] { ran.set_value(std::this_thread::get_id()); });
        EXPECT_NE(ran.get_future().get(), std::this_thread::get_id());
        // An ended thread may stay listed a moment.
        for (int i = 0; i < 2000 && ThreadCount() != before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(ThreadCount(), before) << "round " << round;
    }
}

}  // namespace
