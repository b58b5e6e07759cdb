// The host of the library for the tests: records every callback
// with its context, can hold the library's thread inside a callback (to keep
// a job running while the test calls the exports), and waits for messages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "zembrixnet.h"

namespace zntest {

enum class CallbackKind { Status, CheckFinished, UpdateFinished, Error };

struct Received {
    CallbackKind kind;
    void *context;
    int code;  // 0 for the two finish callbacks
    std::string message;
    std::thread::id thread;

    bool operator==(const Received &other) const {
        return kind == other.kind && context == other.context && code == other.code &&
               message == other.message;
    }
};

class HostRecorder {
  public:
    HostRecorder() = default;
    // The library keeps its callbacks after CloseCheckServer: leave it with
    // none of ours, so that a later test in this process cannot reach us.
    ~HostRecorder() {
        CloseCheckServer();
        TempDir dir;
        if (InitCheckServer(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            dir.Path().c_str()) == 3) {
            CloseCheckServer();
        }
    }
    HostRecorder(const HostRecorder &) = delete;
    HostRecorder &operator=(const HostRecorder &) = delete;

    // Distinct contexts, so each callback can be checked to get its own.
    void *StatusContext() { return &m_contexts[0]; }
    void *CheckContext() { return &m_contexts[1]; }
    void *UpdateContext() { return &m_contexts[2]; }
    void *ErrorContext() { return &m_contexts[3]; }

    int Init(const std::string &directory) {
        return InitCheckServer(OnStatus, StatusContext(), OnCheck, CheckContext(), OnUpdate,
                               UpdateContext(), OnError, ErrorContext(), directory.c_str());
    }

    Received Status(int code, const std::string &message) {
        return {CallbackKind::Status, StatusContext(), code, message, {}};
    }
    Received Error(int code, const std::string &message) {
        return {CallbackKind::Error, ErrorContext(), code, message, {}};
    }
    Received CheckFinished() {
        return {CallbackKind::CheckFinished, CheckContext(), 0, "Finish all checking!", {}};
    }
    Received UpdateFinished() {
        return {CallbackKind::UpdateFinished, UpdateContext(), 0, "Finish updating!", {}};
    }

    // The next time a callback receives this message, its thread waits
    // there until Release is called.
    void HoldAt(const std::string &message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt = message;
        m_held = false;
        m_released = false;
    }
    // Starts an update run and keeps it running, held in its first
    // callback, until Release. False when it did not start or get there.
    bool StartHeldUpdate(const char *version) {
        HoldAt("Begin to update server list!");
        return UpdateServerList(version) == 1 && WaitUntilHeld();
    }

    // Waits until the library's thread is held; false after timeout.
    bool WaitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_held; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_holdAt.clear();
        m_cv.notify_all();
    }

    // Runs inside the callback that receives this message (once).
    void OnMessage(const std::string &message, std::function<void()> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_actionAt = message;
        m_action = std::move(action);
    }

    // Runs after every callback has been recorded, on the callback's thread
    // and with no lock of ours held, until replaced (null withdraws it).
    void OnEveryCallback(std::function<void(const Received &)> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_everyAction = std::move(action);
    }

    // Waits until the message has been received count times in all.
    bool WaitFor(const std::string &message, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return CountLocked(message) >= count; });
    }

    int Count(const std::string &message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountLocked(message);
    }

    std::vector<Received> All() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    std::vector<Received> Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Received> all;
        all.swap(m_received);
        return all;
    }

  private:
    int CountLocked(const std::string &message) {
        int n = 0;
        for (const Received &r : m_received)
            n += r.message == message;
        return n;
    }

    void Record(CallbackKind kind, void *context, int code, const char *message) {
        std::function<void()> action;
        std::function<void(const Received &)> everyAction;
        const Received received{kind, context, code, message ? message : "",
                                std::this_thread::get_id()};
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_received.push_back(received);
            everyAction = m_everyAction;
            m_cv.notify_all();
            if (!m_actionAt.empty() && m_actionAt == received.message) {
                action.swap(m_action);
                m_actionAt.clear();
            }
            if (!m_holdAt.empty() && m_holdAt == received.message) {
                m_held = true;
                m_cv.notify_all();
                m_cv.wait(lock, [this] { return m_released; });
            }
        }
        if (action)
            action();
        if (everyAction)
            everyAction(received);
    }

    struct Context {
        HostRecorder *self;
    };
    static HostRecorder *Self(void *context, int) { return static_cast<Context *>(context)->self; }
    static void ZN_CALLBACK OnStatus(void *context, int code, const char *message) {
        Self(context, 0)->Record(CallbackKind::Status, context, code, message);
    }
    static void ZN_CALLBACK OnCheck(void *context, const char *message) {
        Self(context, 1)->Record(CallbackKind::CheckFinished, context, 0, message);
    }
    static void ZN_CALLBACK OnUpdate(void *context, const char *message) {
        Self(context, 2)->Record(CallbackKind::UpdateFinished, context, 0, message);
    }
    static void ZN_CALLBACK OnError(void *context, int code, const char *message) {
        Self(context, 3)->Record(CallbackKind::Error, context, code, message);
    }

    Context m_contexts[4] = {{this}, {this}, {this}, {this}};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Received> m_received;
    std::string m_holdAt;
    bool m_held = false;
    bool m_released = false;
    std::string m_actionAt;
    std::function<void()> m_action;
    std::function<void(const Received &)> m_everyAction;
};

}  // namespace zntest
