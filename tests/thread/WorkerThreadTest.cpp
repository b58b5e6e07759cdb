#include "thread/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/TestHooks.h"

namespace zn {
namespace {

using Clock = std::chrono::steady_clock;

// Runs until stopped, polling its stop event as the library's bodies do.
class Cooperative : public CWorkerThread {
  public:
    std::atomic<int> runs{0};
    std::atomic<bool> sawStopAtStart{false};

  protected:
    int Run() override {
        sawStopAtStart = StopRequested();
        ++runs;
        while (!StopRequested())
            SleepMs(1);
        return 42;
    }
};

// Ignores its stop event until released.
class Stubborn : public CWorkerThread {
  public:
    Event release{Event::Manual};
    std::atomic<bool> ended{false};

  protected:
    int Run() override {
        release.Wait(kInfinite);
        ended = true;
        return -7;
    }
};

class Quick : public CWorkerThread {
  public:
    std::atomic<int> runs{0};

  protected:
    int Run() override { return ++runs; }
};

void WaitForRuns(Cooperative &worker, int runs) {
    for (int i = 0; i < 10000 && worker.runs < runs; ++i)
        SleepMs(1);
    ASSERT_EQ(runs, worker.runs.load());
}

TEST(WorkerThread, StopEndsACooperativeThreadAndStartRunsItAgainWithTheEventReset) {
    Cooperative worker;
    ASSERT_EQ(0, worker.Start(0));
    WaitForRuns(worker, 1);
    EXPECT_EQ(0, worker.Stop(kInfinite));

    // The stop event is still set from the first run: Start must reset it.
    ASSERT_EQ(0, worker.Start(0));
    WaitForRuns(worker, 2);
    EXPECT_EQ(0, worker.Stop(kInfinite));
    EXPECT_EQ(2, worker.runs.load());
    EXPECT_FALSE(worker.sawStopAtStart.load());
    worker.Join();
}

TEST(WorkerThread, StopOnAnEndedOrNeverStartedThreadReturnsZero) {
    Quick never;
    EXPECT_EQ(0, never.Stop(0));

    Quick worker;
    ASSERT_EQ(0, worker.Start(0));
    ASSERT_EQ(0, worker.Stop(kInfinite));
    EXPECT_EQ(0, worker.Stop(0));  // already ended: no waiting at all
    EXPECT_EQ(1, worker.runs.load());
    worker.Join();
}

TEST(WorkerThread, StopTimesOutOnAThreadThatIgnoresItAndLeavesItRunning) {
    Stubborn worker;
    ASSERT_EQ(0, worker.Start(0));
    const auto begin = Clock::now();
    EXPECT_EQ(-1, worker.Stop(100));
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(100));
    EXPECT_FALSE(worker.ended.load());
    worker.release.Set();
    EXPECT_EQ(0, worker.Stop(kInfinite));
    EXPECT_TRUE(worker.ended.load());
    worker.Join();
}

TEST(WorkerThread, AFailedStopEventMeansNoThreadEver) {
    TestHooks().failEventCreations = 1;
    Quick worker;
    EXPECT_EQ(-1, worker.Start(0));
    EXPECT_EQ(-1, worker.Start(0));
    EXPECT_EQ(0, worker.Stop(0));
    EXPECT_EQ(0, worker.runs.load());
}

TEST(WorkerThread, TheThreadResultIsZeroWhateverRunReturns) {
    Quick worker;
    EXPECT_EQ(0u, CWorkerThread::ThreadEntry(&worker));
    EXPECT_EQ(1, worker.runs.load());
}

TEST(WorkerThread, StartWhileTheLastRunIsStillLeavingDoesNotWaitForIt) {
    // The body of the first run restarts its own object, as a manager does
    // when a host starts the next job from inside a finish callback.
    struct Restarting : CWorkerThread {
        std::atomic<int> runs{0};
        int Run() override {
            if (++runs == 1)
                Start(0);
            return 0;
        }
    } worker;
    ASSERT_EQ(0, worker.Start(0));
    for (int i = 0; i < 5000 && worker.runs < 2; ++i)
        SleepMs(1);
    worker.Join();
    EXPECT_EQ(2, worker.runs.load());
}

}  // namespace
}  // namespace zn
