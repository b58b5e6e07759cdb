#include "api/LibraryState.h"

#include <cstdio>
#include <vector>

#include "api/CheckManager.h"
#include "api/StatusCodes.h"
#include "check/Probe.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "store/ServerList.h"

namespace zn {

std::atomic<int> g_bInitialised{0};
std::atomic<int> g_bJobRunning{0};
std::atomic<int> g_bCancelLatch{0};
std::atomic<int> g_nCheckMask{0};
std::shared_ptr<CCheckManager> g_pManager;

namespace {

HostCallbacks g_callbacks;
std::string g_strDirectory;
std::string g_strLastSelected[kKindCount];

// Callbacks in progress on this thread. A thread inside one of our callbacks
// may be one that a run is waiting for (the manager's or a checker's, or a
// host thread inside a cancel): it must never wait for a run itself.
thread_local int t_callbackDepth = 0;

struct CallbackScope {
    CallbackScope() { ++t_callbackDepth; }
    ~CallbackScope() { --t_callbackDepth; }
};

std::mutex g_retiredMutex;
std::vector<CCheckManager *> g_retired;

// Cancels what still runs, waits for its end, and frees the manager.
void ShutDownAndFree(CCheckManager *manager) {
    manager->Shutdown();
    delete manager;
}

void ReleaseManager(CCheckManager *manager) {
    if (!MayWaitForRuns()) {
        std::lock_guard<std::mutex> lock(g_retiredMutex);
        g_retired.push_back(manager);
        return;
    }
    ShutDownAndFree(manager);
}

// Library load and unload: start the socket layer; at unload, end whatever
// the host left running so no library thread outlives the code it runs.
struct LibraryLifetime {
    LibraryLifetime() {
        if (!InitSocketLayer())
            std::fprintf(stderr, "%s\n", msg::kSocketLayerFailed);
    }
    ~LibraryLifetime() {
        if (!MayWaitForRuns())
            return;
        std::shared_ptr<CCheckManager> manager;
        {
            // The host may be half torn down by now: tell it nothing more.
            std::lock_guard<std::mutex> lock(StateMutex());
            g_callbacks = HostCallbacks();
            manager.swap(g_pManager);
            g_bInitialised = 0;
        }
        manager.reset();
        ReapRetiredManagers();
        CServerProbe::JoinAbandonedProbes();
    }
};
LibraryLifetime g_lifetime;

}  // namespace

std::mutex &StateMutex() {
    // Never destroyed: the unload handler and late threads still take it.
    static std::mutex *mutex = new std::mutex;
    return *mutex;
}

namespace {
HostCallbacks Callbacks() {
    std::lock_guard<std::mutex> lock(StateMutex());
    return g_callbacks;
}
}  // namespace

bool MayWaitForRuns() {
    return !IsLibraryThread() && t_callbackDepth == 0;
}

void ReportStatus(int code, const char *message) {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.status)
        cb.status(cb.statusContext, code, message);
}

void ReportError(int code, const char *message) {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.error)
        cb.error(cb.errorContext, code, message);
}

void ReportCheckFinished(const char *message) {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.checkFinished)
        cb.checkFinished(cb.checkFinishedContext, message);
}

void ReportUpdateFinished(const char *message) {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.updateFinished)
        cb.updateFinished(cb.updateFinishedContext, message);
}

void SetCallbacks(const HostCallbacks &callbacks) {
    g_callbacks = callbacks;
}

void SetDirectory(const std::string &directory) {
    g_strDirectory = directory;
}

std::string GetDirectory() {
    std::lock_guard<std::mutex> lock(StateMutex());
    return g_strDirectory;
}

std::string ServerListFilePath() {
    return ServerListPath(GetDirectory());
}

std::string GetLastSelected(int kindIndex) {
    std::lock_guard<std::mutex> lock(StateMutex());
    return g_strLastSelected[kindIndex];
}

void SetLastSelected(int kindIndex, const std::string &value) {
    std::lock_guard<std::mutex> lock(StateMutex());
    g_strLastSelected[kindIndex] = value;
}

std::shared_ptr<CCheckManager> MakeManager() {
    return std::shared_ptr<CCheckManager>(new CCheckManager, ReleaseManager);
}

std::shared_ptr<CCheckManager> CurrentManager() {
    std::lock_guard<std::mutex> lock(StateMutex());
    return g_pManager;
}

void ReapRetiredManagers() {
    if (!MayWaitForRuns())
        return;
    std::vector<CCheckManager *> retired;
    {
        std::lock_guard<std::mutex> lock(g_retiredMutex);
        retired.swap(g_retired);
    }
    for (CCheckManager *manager : retired)
        ShutDownAndFree(manager);
}

}  // namespace zn
