#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

namespace zn {

namespace {
ThreadValue g_libraryThread;
std::atomic<uint32_t> g_nextThreadId{1};

// What a started thread runs, handed over to it whole.
struct ThreadRun {
    std::function<void()> body;
    std::shared_ptr<Event> ended;
};

void RunOwnedThread(void *argument) {
    ThreadRun *run = static_cast<ThreadRun *>(argument);
    g_libraryThread.Set(1);
    try {
        run->body();
    } catch (...) {
        // A thread body never lets an exception end the process.
    }
    run->ended->Set();
    delete run;
}
}  // namespace

bool IsLibraryThread() {
    return g_libraryThread.Get() != 0;
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SystemThread::~SystemThread() {
    Detach();
}

SystemThread::SystemThread(SystemThread &&other) noexcept
    : m_handle(other.m_handle), m_attached(other.m_attached) {
    other.m_attached = false;
}

SystemThread &SystemThread::operator=(SystemThread &&other) noexcept {
    if (this != &other) {
        Detach();
        m_handle = other.m_handle;
        m_attached = other.m_attached;
        other.m_attached = false;
    }
    return *this;
}

OwnedThread::~OwnedThread() {
    Join();
}

void OwnedThread::JoinEndedFinishing() {
    for (auto it = m_finishing.begin(); it != m_finishing.end();) {
        if (!it->thread.IsCurrent() && it->ended->Wait(0) == WaitResult::Signalled) {
            it->thread.Join();
            it = m_finishing.erase(it);
        } else {
            ++it;
        }
    }
}

bool OwnedThread::Start(std::function<void()> body) {
    if (m_thread.Joinable())
        m_finishing.push_back({std::move(m_thread), std::move(m_ended)});
    m_ended.reset();
    // A thread that restarts its own object stays listed until a later
    // start or Join comes from another thread; the list stays short.
    JoinEndedFinishing();
    auto ended = std::make_shared<Event>(Event::Manual, false);
    if (!ended->IsValid())
        return false;
    ThreadRun *run = new (std::nothrow) ThreadRun{std::move(body), ended};
    if (!run)
        return false;
    if (!m_thread.Start(RunOwnedThread, run)) {
        delete run;
        return false;
    }
    m_ended = std::move(ended);
    m_id = g_nextThreadId.fetch_add(1);
    return true;
}

WaitResult OwnedThread::WaitForEnd(uint32_t timeoutMs) {
    if (!m_thread.Joinable() || !m_ended)
        return WaitResult::Signalled;
    return m_ended->Wait(timeoutMs);
}

bool OwnedThread::HasEnded() const {
    if (m_thread.Joinable() && m_ended && m_ended->Wait(0) != WaitResult::Signalled)
        return false;
    for (const Finishing &finishing : m_finishing) {
        if (finishing.ended->Wait(0) != WaitResult::Signalled)
            return false;
    }
    return true;
}

bool OwnedThread::IsCurrent() const {
    return m_thread.IsCurrent();
}

void OwnedThread::Join() {
    if (m_thread.Joinable())
        m_finishing.push_back({std::move(m_thread), std::move(m_ended)});
    m_ended.reset();
    for (Finishing &finishing : m_finishing) {
        if (finishing.thread.IsCurrent()) {
            finishing.thread.Detach();
        } else {
            finishing.thread.Join();
        }
    }
    m_finishing.clear();
}

}  // namespace zn
