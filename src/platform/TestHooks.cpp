#include "platform/TestHooks.h"

namespace zn {

TestHookTable &TestHooks() {
    // Never destroyed: library threads may read a hook while the process
    // exits.
    static TestHookTable *hooks = new TestHookTable;
    return *hooks;
}

void RestoreAllTestHooks() {
    TestHookTable &h = TestHooks();
    h.httpTransports.Set(nullptr);
    h.failHttpStreams = false;
    h.failEventCreations = 0;
    h.fileFault = FileFault::None;
    h.cryptoModules.Set("");
    h.urlReaderAuthorities.Set("");
    h.startEntryChooser.Set(nullptr);
    h.probeObserver.Set(nullptr);
    h.connectivityHosts.Set({});

    // A limit added to TimeLimits must be restored below too.
    static_assert(sizeof(TimeLimits) == 14 * sizeof(std::atomic<uint32_t>),
                  "RestoreAllTestHooks restores every time limit");
    const TimeLimits defaults;
    TimeLimits &l = Limits();
    l.probeWaitMs = defaults.probeWaitMs.load();
    l.probeCancelWaitMs = defaults.probeCancelWaitMs.load();
    l.connectivityWaitMs = defaults.connectivityWaitMs.load();
    l.checkersWaitMs = defaults.checkersWaitMs.load();
    l.updateWaitMs = defaults.updateWaitMs.load();
    l.cancelWaitMs = defaults.cancelWaitMs.load();
    l.entryPauseMs = defaults.entryPauseMs.load();
    l.httpConnectMs = defaults.httpConnectMs.load();
    l.httpSendReceiveMs = defaults.httpSendReceiveMs.load();
    l.sendWaitMs = defaults.sendWaitMs.load();
    l.sendWaitViaProxyMs = defaults.sendWaitViaProxyMs.load();
    l.directFetchMs = defaults.directFetchMs.load();
    l.urlReaderWaitMs = defaults.urlReaderWaitMs.load();
    l.fileLockWaitMs = defaults.fileLockWaitMs.load();
}

}  // namespace zn
