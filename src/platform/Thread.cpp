#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <system_error>

namespace zn {

namespace {
thread_local bool t_libraryThread = false;
std::atomic<uint32_t> g_nextThreadId{1};
}  // namespace

bool IsLibraryThread() { return t_libraryThread; }

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

OwnedThread::~OwnedThread() { Join(); }

bool OwnedThread::Start(std::function<void()> body) {
    if (m_thread.joinable()) {
        if (m_ended && m_ended->Wait(0) == WaitResult::Signalled && !IsCurrent()) {
            m_thread.join();
        } else {
            m_finishing.push_back(std::move(m_thread));
        }
        m_ended.reset();
    }
    auto ended = std::make_shared<Event>(Event::Manual, false);
    if (!ended->IsValid()) return false;
    try {
        m_thread = std::thread([body = std::move(body), ended] {
            t_libraryThread = true;
            try {
                body();
            } catch (...) {
                // A thread body never lets an exception end the process.
            }
            ended->Set();
        });
    } catch (const std::system_error &) {
        return false;
    }
    m_ended = std::move(ended);
    m_id = g_nextThreadId.fetch_add(1);
    return true;
}

WaitResult OwnedThread::WaitForEnd(uint32_t timeoutMs) {
    if (!m_thread.joinable() || !m_ended) return WaitResult::Signalled;
    return m_ended->Wait(timeoutMs);
}

bool OwnedThread::IsCurrent() const {
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}

void OwnedThread::Join() {
    if (m_thread.joinable()) m_finishing.push_back(std::move(m_thread));
    m_ended.reset();
    for (std::thread &thread : m_finishing) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    m_finishing.clear();
}

}  // namespace zn
