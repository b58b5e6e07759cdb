// The library's test hooks, all in one table: each replaces, fails or watches
// one step of the library while a test sets it, and is empty in production.
// Tests also shorten the time limits (Limits()). RestoreAllTestHooks()
// empties every hook and puts the time limits back, so that a test's
// tear-down needs nothing else. The table sits at the lowest floor so that
// every floor may read its own hooks.
//
// Library threads read hooks while a test may set them: every slot is an
// atomic or guarded by its own lock, and an unset hook costs its reader one
// atomic load. Nothing here is exported from the shared library.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/TimeLimits.h"

namespace zn {

class HttpTransport;

// Kinds of file operations a test may make fail (Create: making a save's
// temporary, as on a full disk).
enum class FileFault { None, Read, Write, Sync, Rename, Create };

// A hook holding a function or a text; empty is the library's own behaviour.
template <typename T>
class TestHookSlot {
  public:
    void Set(T value) {
        const bool set = Holds(value);
        std::lock_guard<std::mutex> guard(m_mutex);
        m_value = std::move(value);
        m_set = set;
    }
    // A copy, so that a hook may run long without holding up the test that
    // sets it; empty when unset.
    T Get() const {
        if (!m_set)
            return T();
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_value;
    }

  private:
    template <typename F>
    static bool Holds(const std::function<F> &function) {
        return function != nullptr;
    }
    template <typename C>
    static bool Holds(const C &container) {
        return !container.empty();
    }

    mutable std::mutex m_mutex;
    std::atomic<bool> m_set{false};
    T m_value;
};

struct TestHookTable {
    // HttpTransport::Create returns what this makes (null: creation fails,
    // as on a system out of resources).
    TestHookSlot<std::function<std::unique_ptr<HttpTransport>()>> httpTransports;
    // While set, HttpStream::Create fails, as on a system out of resources.
    std::atomic<bool> failHttpStreams{false};
    // The next n Event constructions fail, as a kernel out of handles would.
    std::atomic<int> failEventCreations{0};
    // The next file operation of this kind fails, once, as on a failing or
    // full device.
    std::atomic<FileFault> fileFault{FileFault::None};
    // Crypto providers acquired later look for their modules in this
    // directory instead of the crypto library's own (on Windows: acquire the
    // provider of this name), each loading its own set.
    TestHookSlot<std::string> cryptoModules;
    // URL readers opened later also trust the authorities of this
    // directory's *.pem files, besides the system's.
    TestHookSlot<std::string> urlReaderAuthorities;
    // Replaces the checkers' choice of their start entry, 1 to n.
    TestHookSlot<std::function<int(int kindIndex, int n)>> startEntryChooser;
    // Called at the start of every probe with its host and port text, on the
    // asking thread.
    TestHookSlot<std::function<void(const std::string &host, const std::string &port)>>
        probeObserver;
    // The two connectivity-test hosts, in place of the production ones.
    TestHookSlot<std::vector<std::string>> connectivityHosts;
};

TestHookTable &TestHooks();

// Empties every hook above and puts every time limit (Limits()) back to its
// production value.
void RestoreAllTestHooks();

}  // namespace zn
