#include "platform/Thread.h"

#include <atomic>
#include <chrono>

#include "platform/Module.h"

namespace zn {

namespace {
thread_local bool t_libraryThread = false;
std::atomic<uint32_t> g_nextThreadId{1};
}  // namespace

bool IsLibraryThread() {
    return t_libraryThread;
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

OwnedThread::~OwnedThread() {
    Join();
}

void OwnedThread::JoinEndedFinishing() {
    for (auto it = m_finishing.begin(); it != m_finishing.end();) {
        if (it->thread.get_id() != std::this_thread::get_id() &&
            it->ended->Wait(0) == WaitResult::Signalled) {
            it->thread.join();
            it = m_finishing.erase(it);
        } else {
            ++it;
        }
    }
}

bool OwnedThread::Start(std::function<void()> body) {
    if (m_thread.joinable())
        m_finishing.push_back({std::move(m_thread), std::move(m_ended)});
    m_ended.reset();
    // A thread that restarts its own object stays listed until a later
    // start or Join comes from another thread; the list stays short.
    JoinEndedFinishing();
    auto ended = std::make_shared<Event>(Event::Manual, false);
    if (!ended->IsValid())
        return false;
    HoldLibraryForThread();
    try {
        m_thread = std::thread([body = std::move(body), ended]() mutable {
            t_libraryThread = true;
            try {
                body();
            } catch (...) {
                // A thread body never lets an exception end the process.
            }
            ended->Set();
            // The thread may end inside the release: nothing it owns may be
            // left for a return to free.
            body = nullptr;
            ended.reset();
            ReleaseHoldAndEndThread();
        });
    } catch (...) {
        // No thread (or no memory for its start): nothing will give the
        // hold back but us.
        ReleaseUnstartedThreadHold();
        return false;
    }
    m_ended = std::move(ended);
    m_id = g_nextThreadId.fetch_add(1);
    return true;
}

WaitResult OwnedThread::WaitForEnd(uint32_t timeoutMs) {
    if (!m_thread.joinable() || !m_ended)
        return WaitResult::Signalled;
    return m_ended->Wait(timeoutMs);
}

bool OwnedThread::HasEnded() const {
    if (m_thread.joinable() && m_ended && m_ended->Wait(0) != WaitResult::Signalled)
        return false;
    for (const Finishing &finishing : m_finishing) {
        if (finishing.ended->Wait(0) != WaitResult::Signalled)
            return false;
    }
    return true;
}

bool OwnedThread::IsCurrent() const {
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}

void OwnedThread::Join() {
    if (m_thread.joinable())
        m_finishing.push_back({std::move(m_thread), std::move(m_ended)});
    m_ended.reset();
    for (Finishing &finishing : m_finishing) {
        if (finishing.thread.get_id() == std::this_thread::get_id()) {
            finishing.thread.detach();
        } else {
            finishing.thread.join();
        }
    }
    m_finishing.clear();
}

}  // namespace zn
