#include "api/LibraryState.h"

#include <condition_variable>
#include <cstdio>
#include <vector>

#include "api/CheckManager.h"
#include "api/StatusCodes.h"
#include "check/Probe.h"
#include "platform/Crypto.h"
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

// Frees managers whose threads have not all ended when their last user lets
// go of them, on a thread of its own: no host thread ever waits for a run
// that way (only CloseCheckServer does, on purpose). Never destroyed; its
// thread is stopped and joined at unload.
class ManagerReaper {
  public:
    void Retire(CCheckManager *manager) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(manager);
        if (!m_started && !m_stopping)
            m_started = m_thread.Start([this] { Loop(); });
        m_wake.notify_all();
    }

    // At unload, from a thread that may wait: frees everything still queued.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_wake.notify_all();
        }
        m_thread.Join();
        for (CCheckManager *manager : m_queue)
            ShutDownAndFree(manager);
        m_queue.clear();
    }

  private:
    static void ShutDownAndFree(CCheckManager *manager) {
        manager->Shutdown();
        delete manager;
    }

    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            CCheckManager *manager = m_queue.front();
            m_queue.erase(m_queue.begin());
            lock.unlock();
            ShutDownAndFree(manager);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<CCheckManager *> m_queue;
    bool m_started = false;
    bool m_stopping = false;
    OwnedThread m_thread;
};

ManagerReaper &Reaper() {
    static ManagerReaper *reaper = new ManagerReaper;
    return *reaper;
}

// The last user of a manager frees it at once when nothing of it runs any
// more; otherwise the reaper waits for it.
void ReleaseManager(CCheckManager *manager) noexcept {
    try {
        if (manager->AllThreadsEnded()) {
            delete manager;
        } else {
            Reaper().Retire(manager);
        }
    } catch (...) {
        // Out of memory for the queue: the manager is left, never freed
        // under a running thread.
    }
}

// Library load and unload: start the socket layer and the crypto library
// (first, so that the crypto library's own exit handler runs after ours);
// at unload, end whatever the host left running so no library thread
// outlives the code it runs.
struct LibraryLifetime {
    LibraryLifetime() {
        InitCryptoLibrary();
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
        if (manager)
            manager->Shutdown();
        manager.reset();
        Reaper().Stop();
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

}  // namespace zn
