// Event with manual or automatic reset, and waits with a time limit that tell
// signalled, timed out and failed apart. Stands in for the kernel events the
// design waits on.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zn {

enum class WaitResult { Signalled, TimedOut, Failed };

// Wait without a limit.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
  public:
    enum Reset { Manual, Auto };

    explicit Event(Reset reset = Manual, bool initiallySignalled = false);
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    // False when the event could not be created; every wait on it then fails.
    bool IsValid() const { return m_state != nullptr; }

    void Set();
    void ResetEvent();
    // An auto-reset event is consumed by the wait that sees it signalled.
    WaitResult Wait(uint32_t timeoutMs);
    bool IsSet();

    // Waits until every event is signalled at once, within one time limit.
    // Auto-reset events are not supported here (no caller needs them).
    static WaitResult WaitAll(const std::vector<Event *> &events, uint32_t timeoutMs);

  private:
    // The platform's own: a kernel event on Windows, so that no thread ever
    // waits inside the thread library linked into the DLL.
    struct State;
    const bool m_autoReset;
    std::unique_ptr<State> m_state;
};

}  // namespace zn
