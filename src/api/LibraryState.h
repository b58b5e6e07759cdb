// The one process-wide record: host callbacks, state flags, the directory,
// the manager and the per-kind arrays shared by the manager and checkers.
// Flags are atomics and strings sit behind a mutex, because host threads,
// the manager's thread and the checkers all touch them.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "report/JobReporter.h"
#include "report/Messages.h"
#include "report/ServerKinds.h"
#include "zembrixnet.h"

namespace zn {

class CCheckManager;

struct HostCallbacks {
    StatusCallback status = nullptr;
    void *statusContext = nullptr;
    CheckFinishedCallback checkFinished = nullptr;
    void *checkFinishedContext = nullptr;
    UpdateFinishedCallback updateFinished = nullptr;
    void *updateFinishedContext = nullptr;
    ErrorCallback error = nullptr;
    void *errorContext = nullptr;
};

// Each report copies its callback under the state lock and calls it with no
// lock held, so a host may call any export from inside a callback.
void ReportStatus(const Message &message);
void ReportError(const Message &message);
// "Finish all checking!" and "Finish updating!".
void ReportCheckFinished();
void ReportUpdateFinished();

// False on a library thread and on any thread inside one of our callbacks:
// such a thread may be one that a run waits for, so it must not wait for a
// run in turn. False under the loader's lock too, where no thread can end.
bool MayWaitForRuns();

extern std::atomic<int> g_bInitialised;
extern std::atomic<int> g_bJobRunning;
extern std::atomic<int> g_bCancelLatch;
extern std::atomic<int> g_nCheckMask;

std::string GetDirectory();
// The server list file in the directory given to InitCheckServer.
std::string ServerListFilePath();

std::string GetLastSelected(int kindIndex);
void SetLastSelected(int kindIndex, const std::string &value);

// The lock behind the callbacks, the directory, the manager pointer and the
// selections. Never held while calling the host or waiting for a thread.
std::mutex &StateMutex();

// Set under StateMutex by InitCheckServer and CloseCheckServer.
void SetCallbacks(const HostCallbacks &callbacks);
void SetDirectory(const std::string &directory);
// The one manager (g_pManager), or null; read and written under StateMutex.
std::shared_ptr<CCheckManager> &ManagerSlot();

// Managers are shared by the exports that use them at the moment; the last
// one out frees the manager, at once when none of its threads runs any more,
// otherwise on the library's reaper thread once they have ended.
std::shared_ptr<CCheckManager> MakeManager();

}  // namespace zn
