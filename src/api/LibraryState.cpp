#include "api/LibraryState.h"

#include "api/CheckManager.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Module.h"
#include "platform/Thread.h"
#include "store/ProfileFile.h"
#include "store/ServerList.h"
#include "thread/Reaper.h"

namespace zn {

std::atomic<int> g_bInitialised{0};
std::atomic<int> g_bJobRunning{0};
std::atomic<int> g_bCancelLatch{0};
std::atomic<int> g_nCheckMask{0};

namespace {

// What library threads read stays alive to the very end of the process: a
// host may exit while a job runs, and static destruction must not free
// anything under it.
struct ProcessState {
    std::shared_ptr<CCheckManager> manager;
    std::string directory;
    std::string lastSelected[kKindCount];
};
ProcessState &State() {
    static ProcessState *state = new ProcessState;
    return *state;
}

HostCallbacks g_callbacks;

// Callbacks in progress on this thread. A thread inside one of our callbacks
// may be one that a run is waiting for (the manager's or a checker's, or a
// host thread inside a cancel): it must never wait for a run itself.
ThreadValue g_callbackDepth;

struct CallbackScope {
    CallbackScope() { g_callbackDepth.Set(g_callbackDepth.Get() + 1); }
    ~CallbackScope() { g_callbackDepth.Set(g_callbackDepth.Get() - 1); }
};

// The last user of a manager frees it at once when nothing of it runs any
// more; otherwise it is shut down and freed in the background, so that no
// host thread waits for a run that way (only CloseCheckServer does, on
// purpose).
void ReleaseManager(CCheckManager *manager) noexcept {
    try {
        if (manager->AllThreadsEnded()) {
            delete manager;
        } else if (!UnloadedByHost()) {
            FinishInBackground([manager] {
                manager->Shutdown();
                delete manager;
            });
        }
        // While the host unloads us no thread may start: a manager whose
        // threads seem to run is left as it is.
    } catch (...) {
        // Out of memory for the queue: the manager is left, never freed
        // under a running thread.
    }
}

// The jobs' way to the host: the exports' own reporting and state.
class HostJobReporter : public IJobReporter {
  public:
    void Status(const Message &message) override { ReportStatus(message); }
    void SetLastSelected(int kindIndex, const std::string &value) override {
        zn::SetLastSelected(kindIndex, value);
    }
    std::string ServerListFile() override { return ServerListFilePath(); }
};

// Library load and exit (the library stays loaded while any of its threads
// may run). Only what the loader's lock allows happens here: the socket
// layer starts on first use. Nothing here waits for a thread of
// ours: the host may exit at any moment, even from one of our callbacks.
struct LibraryLifetime {
    LibraryLifetime() {
        InstallHostReporter(new HostJobReporter);
        InitCryptoLibrary();
    }
    ~LibraryLifetime() {
        // The host is being torn down: a job still running tells it nothing
        // more. The manager and its threads are left to the process's end.
        // The lock is only tried for a while: at a Windows process's exit the
        // system has already ended our threads, one of which may have held
        // it, and then no thread of ours is left to call back anyway.
        std::unique_lock<std::mutex> lock(StateMutex(), std::defer_lock);
        for (int tries = 0; tries < 100 && !lock.try_lock(); ++tries)
            SleepMs(1);
        if (!lock.owns_lock())
            return;
        g_callbacks = HostCallbacks();
        // Unloaded by the host, not at exit: no thread of ours runs, so a
        // manager left open goes now, with the events and threads it keeps,
        // instead of staying with every load.
        if (UnloadedByHost()) {
            std::shared_ptr<CCheckManager> manager = std::move(State().manager);
            lock.unlock();
            manager.reset();
            ReleaseLockAtUnload(StateMutex());
            ReleaseLockAtUnload(ProfileFileLock());
        }
    }
};
LibraryLifetime g_lifetime;

}  // namespace

std::mutex &StateMutex() {
    // Never destroyed: the exit handler and late threads still take it.
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
    return !IsLibraryThread() && g_callbackDepth.Get() == 0 && !UnderLoaderLock();
}

void ReportStatus(const Message &message) {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.status)
        cb.status(cb.statusContext, message.Code(), message.text);
}

void ReportError(const Message &message) {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.error)
        cb.error(cb.errorContext, message.Code(), message.text);
}

void ReportCheckFinished() {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.checkFinished)
        cb.checkFinished(cb.checkFinishedContext, msg::kCheckFinished.text);
}

void ReportUpdateFinished() {
    HostCallbacks cb = Callbacks();
    CallbackScope scope;
    if (cb.updateFinished)
        cb.updateFinished(cb.updateFinishedContext, msg::kUpdateFinished.text);
}

void SetCallbacks(const HostCallbacks &callbacks) {
    g_callbacks = callbacks;
}

void SetDirectory(const std::string &directory) {
    State().directory = directory;
}

std::string GetDirectory() {
    std::lock_guard<std::mutex> lock(StateMutex());
    return State().directory;
}

std::string ServerListFilePath() {
    return ServerListPath(GetDirectory());
}

std::string GetLastSelected(int kindIndex) {
    std::lock_guard<std::mutex> lock(StateMutex());
    return State().lastSelected[kindIndex];
}

void SetLastSelected(int kindIndex, const std::string &value) {
    std::lock_guard<std::mutex> lock(StateMutex());
    State().lastSelected[kindIndex] = value;
}

std::shared_ptr<CCheckManager> &ManagerSlot() {
    return State().manager;
}

std::shared_ptr<CCheckManager> MakeManager() {
    return std::shared_ptr<CCheckManager>(new CCheckManager, ReleaseManager);
}

}  // namespace zn
