#include "thread/Reaper.h"

#include <deque>
#include <mutex>

#include "platform/Thread.h"

namespace zn {

namespace {

// Never destroyed: work may be queued, and its thread running, while the
// process exits.
class Reaper {
  public:
    void Queue(std::function<void()> finish) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(finish));
        // A thread that cannot be created now is tried again with the next
        // piece of work; until then the queue waits, and nothing is freed
        // under a thread that may still use it.
        if (!m_started)
            m_started = m_thread.Start([this] { Loop(); });
    }

  private:
    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Ends when the queue is empty, so that a library thread runs only
        // while there is work: the library may then be unloaded.
        while (!m_queue.empty()) {
            std::function<void()> finish = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            try {
                finish();
            } catch (...) {
                // One failed piece of work does not stop the rest.
            }
            lock.lock();
        }
        m_started = false;
        // Nobody waits for the reaper: from its own thread, Join detaches it.
        m_thread.Join();
    }

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    bool m_started = false;
    OwnedThread m_thread;
};

}  // namespace

void FinishInBackground(std::function<void()> finish) {
    static Reaper *reaper = new Reaper;
    reaper->Queue(std::move(finish));
}

}  // namespace zn
