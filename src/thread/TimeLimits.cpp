#include "thread/TimeLimits.h"

namespace zn {

TimeLimits &Limits() {
    // Never destroyed: threads that outlive static destruction may read it.
    static TimeLimits *limits = new TimeLimits;
    return *limits;
}

namespace testhooks {
void RestoreTimeLimits() {
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
}  // namespace testhooks

}  // namespace zn
