// The update job's order of sources, its stop and its failures, with
// scripted fetchers in place of the network.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/TestHooks.h"
#include "report/Observer.h"
#include "update/ServerListUpdater.h"
#include "update/UpdateFileFixture.h"

namespace zn {
namespace {

// What one scripted source does: succeed or fail at once, or hold its
// fetch until aborted (and then claim success, as a late answer would).
enum class Script { Succeed, Fail, HoldUntilAborted, CannotStart, ThreadFails };

class ScriptedFetcher : public CUpdateFetcher {
  public:
    ScriptedFetcher(Script script, std::string answer, Event *started)
        : m_script(script), m_answer(std::move(answer)), m_started(started) {}
    ~ScriptedFetcher() override { Join(); }

  protected:
    void Fetch() override {
        m_started->Set();
        if (m_script == Script::HoldUntilAborted)
            m_aborted.Wait(kInfinite);
        m_bSucceeded = m_script != Script::Fail;
        m_strResponse = m_answer;
    }
    void AbortTransfer() override { m_aborted.Set(); }

  private:
    Script m_script;
    std::string m_answer;
    Event *m_started;
    Event m_aborted{Event::Manual, false};
};

class ScriptedUpdater : public CServerListUpdater {
  public:
    explicit ScriptedUpdater(std::vector<Script> scripts) : m_scripts(std::move(scripts)) {}
    struct Made {
        Source source;
        ScriptedFetcher *fetcher;
    };
    std::vector<Made> m_made;  // read after the done event
    Event m_fetchStarted{Event::Manual, false};
    std::string m_answer = "<RES>OK</RES><webservernum>1</webservernum><web1>9.9.9.9:443</web1>";

  protected:
    std::unique_ptr<CUpdateFetcher> NewFetcher(Source source) override {
        const Script script = m_scripts.at(m_made.size());
        if (script == Script::CannotStart)
            TestHooks().failEventCreations = 1;
        auto fetcher = std::make_unique<ScriptedFetcher>(script, m_answer, &m_fetchStarted);
        if (script == Script::ThreadFails)
            TestHooks().failEventCreations = 1;  // the thread's end event
        m_made.push_back({source, fetcher.get()});
        return fetcher;
    }

  private:
    std::vector<Script> m_scripts;
};

class UpdaterTest : public UpdateFileTest {
  protected:
    void SetUp() override {
        WriteFile({{"WEBNUM", "1"},
                   {"WEB1", "nocomma"},
                   {"SIPNUM", "0"},
                   {"IMNUM", "0"},
                   {"FAXNUM", "0"}});
    }
    // Runs a job to its end and returns it.
    std::unique_ptr<ScriptedUpdater> RunJob(std::vector<Script> scripts, bool stopFirst = false) {
        auto job = std::make_unique<ScriptedUpdater>(std::move(scripts));
        job->m_strDirectory = m_dir.Path();
        job->SetVersion("2.0");
        if (stopFirst)
            job->RequestStop();
        EXPECT_EQ(job->Start(0), 0);
        EXPECT_EQ(job->m_hDoneEvent.Wait(60000), WaitResult::Signalled);  // generous
        return job;
    }
    std::string Merged() { return Entry("9.9.9.9:443", "0"); }
};

TEST_F(UpdaterTest, TheFirstSourceThatSucceedsIsMergedAndNoLaterOneIsAsked) {
    Limits().directFetchMs = Limits().sendWaitViaProxyMs = 1000;  // ample; held fetches run out
    const struct {
        std::vector<Script> scripts;
        size_t made;
        bool merged;
    } cases[] = {
        {{Script::Succeed}, 1, true},
        {{Script::Fail, Script::Succeed}, 2, true},
        {{Script::Fail, Script::Fail, Script::Succeed}, 3, true},
        {{Script::Fail, Script::Fail, Script::Fail}, 3, false},
        // A fetcher that cannot start counts as finished and failed.
        {{Script::CannotStart, Script::CannotStart, Script::Succeed}, 3, true},
        {{Script::CannotStart, Script::ThreadFails, Script::CannotStart}, 3, false},
        // Web API sources past their budgets are aborted and count as failed.
        {{Script::HoldUntilAborted, Script::HoldUntilAborted, Script::Succeed}, 3, true},
    };
    for (const auto &c : cases) {
        SetUp();
        auto job = RunJob(c.scripts);
        ASSERT_EQ(job->m_made.size(), c.made);
        EXPECT_EQ(job->State(), kUpdateEnded);
        EXPECT_EQ(Value("WEB1"), c.merged ? Merged() : "0:0,-1");
        for (size_t i = 0; i < c.made; ++i) {
            // The web API sources get query and version, the page only the directory.
            const CUpdateFetcher &made = *job->m_made[i].fetcher;
            EXPECT_EQ(job->m_made[i].source, static_cast<int>(i));
            EXPECT_EQ(made.m_strDirectory, m_dir.Path());
            EXPECT_EQ(made.m_strQuery + made.m_strVersion, i < 2 ? "&web1=0:0,-1,W2.0" : "");
        }
        // Set once per run.
        EXPECT_EQ(job->m_hDoneEvent.Wait(0), WaitResult::TimedOut);
    }
}

TEST_F(UpdaterTest, StopAbortsTheFetchAndDiscardsItsLateAnswer) {
    auto job = std::make_unique<ScriptedUpdater>(std::vector<Script>{Script::HoldUntilAborted});
    job->m_strDirectory = m_dir.Path();
    ASSERT_EQ(job->Start(0), 0);
    ASSERT_EQ(job->m_fetchStarted.Wait(kInfinite), WaitResult::Signalled);
    job->RequestStop();
    ASSERT_EQ(job->m_hDoneEvent.Wait(kInfinite), WaitResult::Signalled);
    EXPECT_EQ(job->m_made.size(), 1u);
    EXPECT_EQ(job->State(), kUpdateEnded);
    EXPECT_EQ(Value("WEB1"), "0:0,-1");
}

TEST_F(UpdaterTest, StopBeforeStartStillBuildsTheQueryButAsksNoSecondSource) {
    auto job = RunJob({Script::HoldUntilAborted}, true);
    EXPECT_EQ(job->m_made.size(), 1u);
    EXPECT_EQ(Value("WEB1"), "0:0,-1");
}

// Asks the job to stop as the merge, its answer read, tells the first count.
class StopAtFirstCount : public IObserver {
  public:
    explicit StopAtFirstCount(CServerListUpdater *job) : m_job(job) { InstallObserver(this); }
    ~StopAtFirstCount() override { InstallObserver(nullptr); }
    void Observe(const Observation &seen) override {
        if (seen.step == Step::Announced && !m_stopped.exchange(true)) {
            m_at = std::chrono::steady_clock::now();
            m_job->RequestStop();
        }
    }
    std::chrono::steady_clock::time_point m_at;  // read after the job's end
    std::atomic<bool> m_stopped{false};

  private:
    CServerListUpdater *m_job;
};

TEST_F(UpdaterTest, AStopDuringTheMergeOfAHostileAnswerEndsItPromptlyBeforeItsFirstEntry) {
    // A thousand failed entries and an answer filled up to 4 MiB with "<".
    std::vector<std::pair<std::string, std::string>> keys = {{"WEBNUM", "1000"}};
    auto job = std::make_unique<ScriptedUpdater>(std::vector<Script>{Script::Succeed});
    job->m_answer = "<RES>OK</RES><webservernum>1000</webservernum>";
    for (int n = 1; n <= 1000; ++n) {
        keys.push_back({"WEB" + std::to_string(n), "x,-1"});
        job->m_answer += "<web" + std::to_string(n) + ">9.9.9.9:1</web" + std::to_string(n) + ">";
    }
    WriteFile(keys);
    job->m_answer.resize(4 << 20, '<');
    job->m_strDirectory = m_dir.Path();
    StopAtFirstCount stop(job.get());
    ASSERT_EQ(job->Start(0), 0);
    ASSERT_EQ(job->m_hDoneEvent.Wait(kInfinite), WaitResult::Signalled);
    ASSERT_TRUE(stop.m_stopped);
    // Generous: the stop is meant to take milliseconds.
    EXPECT_LT(std::chrono::steady_clock::now() - stop.m_at, std::chrono::seconds(2));
    // A stop between two entries is met by the merge itself (its own tests
    // show the entries before it saved whole); here none is written.
    const std::string file = zntest::ReadWholeFile(m_profile.m_strFileName);
    EXPECT_EQ(file.find(Entry("9.9.9.9:1", "0")), std::string::npos);
    EXPECT_EQ(Value("WEB1") + Value("WEB1000"), "x,-1x,-1");
}

}  // namespace
}  // namespace zn
