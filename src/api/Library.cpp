// The work of the eight exported functions (Exports.cpp forwards to it).
// Each checks the state in a fixed order (initialised first, then a running
// job), reports the first refusal that applies, and hands the work to the
// manager. No exception leaves them.

#include <exception>
#include <mutex>
#include <string>

#include "api/CheckManager.h"
#include "api/LibraryState.h"
#include "api/ToolAccess.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Module.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "store/ServerList.h"
#include "zembrixnet.h"

using namespace zn;

namespace {

// The manager to act on, or null (reported) when not initialised.
std::shared_ptr<CCheckManager> InitialisedManager() {
    std::shared_ptr<CCheckManager> manager;
    bool initialised;
    {
        std::lock_guard<std::mutex> lock(StateMutex());
        initialised = g_bInitialised != 0;
        manager = ManagerSlot();
    }
    if (!initialised)
        ReportError(msg::kNotInitialised);
    return initialised ? manager : nullptr;
}

// Null and "" name the current directory (not the root, which is what the
// path would become); otherwise one trailing separator goes.
std::string TrimmedDirectory(const char *directory) {
    std::string dir = directory && *directory ? directory : ".";
    if (EndsWithSeparator(dir))
        dir.pop_back();
    return dir;
}

// Serialises InitCheckServer calls, which do their file work without the
// state lock so that other exports answer meanwhile.
std::mutex &InitMutex() {
    static std::mutex *mutex = new std::mutex;
    return *mutex;
}

// Two hosts initialising at once made the lock hold a system event.
struct InitMutexRelease {
    ~InitMutexRelease() {
        if (UnloadedByHost())
            ReleaseLockAtUnload(InitMutex());
    }
} g_initMutexRelease;

// The socket layer starts on first use, never at load (starting it may load
// system modules, which the loader's lock forbids); the user hears once when
// it cannot, and the checkers then fail their probes. A static's one-time
// initialisation, not std::call_once: on Windows the thread library would
// keep a record, with two handles, of the host thread that made the call,
// and the host may unload and load us again and again.
void StartSocketLayer() {
    static const bool started = [] {
        const bool ok = InitSocketLayer();
        if (!ok)
            ShowSocketLayerFailure(msg::kSocketLayerFailed.text);
        return ok;
    }();
    (void)started;
}

int StartJob(int jobKind, const char *request, int mask) {
    std::shared_ptr<CCheckManager> manager = InitialisedManager();
    if (!manager)
        return 0;
    switch (manager->StartJob(jobKind, request ? request : "", mask)) {
        case CCheckManager::StartResult::Started:
            return 1;
        case CCheckManager::StartResult::Busy:
            ReportError(msg::kJobRunning);
            return 0;
        case CCheckManager::StartResult::Closed:
            // Closed between our look and the start: as if it came after.
            ReportError(msg::kNotInitialised);
            return 0;
        case CCheckManager::StartResult::NoThread:
            // Refused, but no code in the table says why; the library is
            // still initialised and idle, so a later start may work.
            return 0;
    }
    return 0;
}

int CancelJob(int refusedResult) {
    std::shared_ptr<CCheckManager> manager = InitialisedManager();
    if (!manager)
        return refusedResult;
    if (!g_bJobRunning) {
        ReportError(msg::kNotRunning);
        return refusedResult;
    }
    return manager->Cancel();
}

}  // namespace

namespace zn {
namespace api {

int ZN_CALL InitCheckServer(StatusCallback status, void *statusContext,
                            CheckFinishedCallback checkFinished, void *checkFinishedContext,
                            UpdateFinishedCallback updateFinished, void *updateFinishedContext,
                            ErrorCallback error, void *errorContext, const char *directory) {
    try {
        StartSocketLayer();
        std::unique_lock<std::mutex> initLock(InitMutex());
        if (g_bInitialised) {
            initLock.unlock();
            ReportError(msg::kAlreadyInitialised);
            return 0;
        }
        const std::string dir = TrimmedDirectory(directory);
        const std::string path = ServerListPath(dir);
        WriteServerListDefaults(path);
        bool readOnly = false;
        if (QueryReadOnly(path, &readOnly) && readOnly)
            ClearReadOnly(path);
        StartCryptoProviders();
        std::shared_ptr<CCheckManager> manager = MakeManager();
        {
            std::lock_guard<std::mutex> lock(StateMutex());
            SetCallbacks({status, statusContext, checkFinished, checkFinishedContext,
                          updateFinished, updateFinishedContext, error, errorContext});
            SetDirectory(dir);
            // A manager left from before is freed once this lock is let go.
            manager.swap(ManagerSlot());
            g_bInitialised = 1;
        }
        manager.reset();
        initLock.unlock();
        ReportStatus(msg::kInitialised);
        return 3;
    } catch (...) {
        return 0;
    }
}

int ZN_CALL CheckServerStatus(const char *request, int mask) {
    try {
        return StartJob(kCheckJob, request, mask);
    } catch (...) {
        return 0;
    }
}

int ZN_CALL UpdateServerList(const char *version) {
    try {
        return StartJob(kUpdateJob, version, 0);
    } catch (...) {
        return 0;
    }
}

int ZN_CALL CancelChecking(void) {
    try {
        return CancelJob(0);
    } catch (...) {
        return 0;
    }
}

int ZN_CALL EndUpdateServerList(void) {
    try {
        return CancelJob(1);
    } catch (...) {
        return 1;
    }
}

int ZN_CALL GetServerInfo(int kind, char *host, char *port, char *description, int *transport) {
    try {
        std::shared_ptr<CCheckManager> manager = InitialisedManager();
        if (!manager)
            return 1;
        if (g_bJobRunning) {
            ReportError(msg::kJobRunning);
            return 1;
        }
        return manager->GetServerAddress(kind, host, port, description, transport) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

int ZN_CALL CloseCheckServer(void) {
    try {
        std::shared_ptr<CCheckManager> manager;
        {
            std::unique_lock<std::mutex> lock(StateMutex());
            if (!g_bInitialised) {
                lock.unlock();
                ReportError(msg::kNotInitialised);
                return 0;
            }
            manager.swap(ManagerSlot());
            g_bInitialised = 0;
        }
        if (manager) {
            manager->Close();
            // Nothing of the job reaches the host after Close has returned.
            // A host calling from one of our callbacks may be on a thread
            // that the run waits for, and one calling under the loader's
            // lock holds what the run's threads need to end (the job is
            // muted then): the manager ends on its own and is freed by the
            // library once it has.
            if (MayWaitForRuns())
                manager->WaitForAllThreads();
            manager.reset();
        }
        ReportStatus(msg::kClosed);
        return 1;
    } catch (...) {
        return 0;
    }
}

int ZN_CALL SetHTTPProxy(const char *proxy) {
    try {
        std::shared_ptr<CCheckManager> manager = InitialisedManager();
        if (!manager)
            return 0;
        return manager->WriteProxySetting(proxy);
    } catch (...) {
        return 0;
    }
}

}  // namespace api
}  // namespace zn
