#include "platform/Event.h"
#include "platform/EventShared.h"

#include <windows.h>

#include <new>

namespace zn {

struct Event::State {
    HANDLE event = nullptr;
    ~State() {
        if (event)
            CloseHandle(event);
    }
};

Event::Event(Reset reset, bool initiallySignalled) : m_autoReset(reset == Auto) {
    if (ShouldFailEventCreation())
        return;
    std::unique_ptr<State> state(new (std::nothrow) State);
    if (!state)
        return;
    state->event = CreateEventA(nullptr, reset == Manual, initiallySignalled, nullptr);
    if (state->event)
        m_state = std::move(state);
}

Event::~Event() = default;

void Event::Set() {
    if (m_state)
        SetEvent(m_state->event);
}

void Event::ResetEvent() {
    if (m_state)
        ::ResetEvent(m_state->event);
}

bool Event::IsSet() {
    if (!m_state || WaitForSingleObject(m_state->event, 0) != WAIT_OBJECT_0)
        return false;
    // Looking consumed an automatic event: it stays signalled for its waiter.
    if (m_autoReset)
        SetEvent(m_state->event);
    return true;
}

WaitResult Event::Wait(uint32_t timeoutMs) {
    if (!m_state)
        return WaitResult::Failed;
    switch (WaitForSingleObject(m_state->event, timeoutMs == kInfinite ? INFINITE : timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

}  // namespace zn
