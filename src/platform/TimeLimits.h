// The time limits of jobs and probes. Production values are fixed here;
// tests shorten them (RestoreAllTestHooks puts them back), never through the
// public interface or the environment. Every floor above reads them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/HttpTransport.h"

namespace zn {

struct TimeLimits {
    std::atomic<uint32_t> probeWaitMs{10000};        // first wait for a probe
    std::atomic<uint32_t> probeCancelWaitMs{30000};  // wait after cancelling its connect
    std::atomic<uint32_t> connectivityWaitMs{5000};  // first wait for the connectivity probe
    std::atomic<uint32_t> checkersWaitMs{400000};    // manager's wait for all checkers
    std::atomic<uint32_t> updateWaitMs{60000};       // manager's wait for the update job
    std::atomic<uint32_t> cancelWaitMs{1000};        // Cancel's wait for stopped threads
    std::atomic<uint32_t> entryPauseMs{10};          // checkers' pause before each entry
    std::atomic<uint32_t> httpConnectMs{kHttpConnectTimeoutMs};          // an HTTP connection
    std::atomic<uint32_t> httpSendReceiveMs{kHttpSendReceiveTimeoutMs};  // silent connected peer
    std::atomic<uint32_t> sendWaitMs{10000};          // a send with a time limit, direct
    std::atomic<uint32_t> sendWaitViaProxyMs{30000};  // the same through an explicit proxy
    std::atomic<uint32_t> directFetchMs{20000};       // the direct web API fetch's part of a run
    std::atomic<uint32_t> urlReaderWaitMs{50000};     // the exported URL reader's every wait
    std::atomic<uint32_t> fileLockWaitMs{2000};       // wait for another process's file lock
};

TimeLimits &Limits();

}  // namespace zn
