#include "platform/Event.h"

#include <atomic>
#include <chrono>
#include <new>

namespace zn {

namespace {
std::atomic<int> g_failEventCreations{0};

bool ShouldFailCreation() {
    int n = g_failEventCreations.load();
    while (n > 0) {
        if (g_failEventCreations.compare_exchange_weak(n, n - 1))
            return true;
    }
    return false;
}
}  // namespace

namespace testhooks {
void FailNextEventCreations(int n) {
    g_failEventCreations.store(n);
}
}  // namespace testhooks

Event::Event(Reset reset, bool initiallySignalled) : m_autoReset(reset == Auto) {
    if (ShouldFailCreation())
        return;
    m_state.reset(new (std::nothrow) State);
    if (m_state)
        m_state->signalled = initiallySignalled;
}

void Event::Set() {
    if (!m_state)
        return;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->signalled = true;
    }
    m_state->cv.notify_all();
}

void Event::ResetEvent() {
    if (!m_state)
        return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->signalled = false;
}

bool Event::IsSet() {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->signalled;
}

WaitResult Event::Wait(uint32_t timeoutMs) {
    if (!m_state)
        return WaitResult::Failed;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    auto ready = [this] { return m_state->signalled; };
    if (timeoutMs == kInfinite) {
        m_state->cv.wait(lock, ready);
    } else if (!m_state->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return WaitResult::TimedOut;
    }
    if (m_autoReset)
        m_state->signalled = false;
    return WaitResult::Signalled;
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
