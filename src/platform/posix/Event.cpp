#include "platform/Event.h"
#include "platform/EventShared.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace zn {

struct Event::State {
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;
};

Event::Event(Reset reset, bool initiallySignalled) : m_autoReset(reset == Auto) {
    if (ShouldFailEventCreation())
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

Event::~Event() = default;

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

}  // namespace zn
