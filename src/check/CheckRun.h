// The work of a check run, on the manager's thread: the connectivity test,
// then one checker thread per requested kind, and the wait for them all.
// The checkers of a run stay until the next run of their kind replaces them.
#pragma once

#include <atomic>
#include <mutex>

#include "check/Probe.h"
#include "check/ServerChecker.h"
#include "platform/Event.h"
#include "report/JobReporter.h"
#include "report/ServerKinds.h"

namespace zn {

class CCheckRun {
  public:
    // stopEvent is the owner's: Stop sets it, the owner resets it before a
    // run, and the run looks at it between its steps.
    CCheckRun(IJobReporter &reporter, Event &stopEvent);
    // Stops and joins every checker.
    ~CCheckRun();
    CCheckRun(const CCheckRun &) = delete;
    CCheckRun &operator=(const CCheckRun &) = delete;

    // One run for the kinds in checkMask. Without a connection to the
    // internet, the selections of WEB, SIP and IM become "04". Returns when
    // every checker is done, the run's limit has passed, or the run was
    // stopped and its checkers had the cancel limit to end.
    void Run(int checkMask);

    // From any thread: sets the stop event and cuts the connectivity test
    // and every checker short, without waiting. A run stopped before its
    // checkers start leaves the file alone and starts none.
    void Stop();
    // Waits within the cancel limit for the stopped checkers of the run.
    void WaitForStoppedCheckers();
    // Waits without limit for every checker thread; once the run has ended.
    void JoinCheckers();
    // True when no checker thread runs any more.
    bool CheckersEnded();

  private:
    bool StopRequested();
    bool ConnectivityTest();
    void StartCheckers();
    void WaitForCheckers();
    CServerChecker **CheckerSlot(int index);

    IJobReporter &m_reporter;
    Event &m_stopEvent;

    // Checkers of the current or last run, by kind. m_objectsMutex keeps a
    // cancel (host thread) and the run from using a checker the other
    // replaces.
    std::mutex m_objectsMutex;
    CServerChecker *m_pWebChecker = nullptr;
    CServerChecker *m_pSipChecker = nullptr;
    CServerChecker *m_pImChecker = nullptr;
    CServerChecker *m_pFaxChecker = nullptr;
    // Done events and running flags of these checkers, by kind: a run set
    // aside while it ends keeps its own.
    CheckerSignals m_checkerSignals[kKindCount];
    // Set when a checker is done and when the run is stopped.
    Event m_hCheckersWake{Event::Manual, false};

    CServerProbe m_connectivityProbe;
    std::atomic<int> m_nCheckMask{0};
};

}  // namespace zn
