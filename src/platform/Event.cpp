#include "platform/Event.h"
#include "platform/EventShared.h"
#include "platform/TestHooks.h"

#include <atomic>
#include <chrono>

namespace zn {

bool ShouldFailEventCreation() {
    std::atomic<int> &pending = TestHooks().failEventCreations;
    int n = pending.load();
    while (n > 0) {
        if (pending.compare_exchange_weak(n, n - 1))
            return true;
    }
    return false;
}

WaitResult Event::WaitAll(const std::vector<Event *> &events, uint32_t timeoutMs) {
    // Manual-reset events stay signalled once set, so waiting for each in
    // turn against one deadline equals waiting for all together.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (Event *event : events) {
        if (!event || !event->m_state || event->m_autoReset)
            return WaitResult::Failed;
        uint32_t left = kInfinite;
        if (timeoutMs != kInfinite) {
            auto now = std::chrono::steady_clock::now();
            left = now >= deadline
                       ? 0
                       : static_cast<uint32_t>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                                 .count());
        }
        WaitResult r = event->Wait(left);
        if (r != WaitResult::Signalled)
            return r;
    }
    return WaitResult::Signalled;
}

}  // namespace zn
