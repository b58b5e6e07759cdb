// The tool as a host of the library: registers callbacks that print what
// they receive as progress lines on standard error, initialises on a
// directory, and closes again when it goes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "zembrixnet.h"

// The library functions a session drives: the shared library's exports, or
// for a diagnosis the same functions in the tool's own copy of the library
// (src/api/ToolAccess.h), where its observer is installed.
struct LibraryCalls {
    int(ZN_CALL *init)(StatusCallback, void *, CheckFinishedCallback, void *,
                       UpdateFinishedCallback, void *, ErrorCallback, void *, const char *);
    int(ZN_CALL *checkServerStatus)(const char *, int);
    int(ZN_CALL *updateServerList)(const char *);
    int(ZN_CALL *cancelChecking)(void);
    int(ZN_CALL *endUpdateServerList)(void);
    int(ZN_CALL *getServerInfo)(int, char *, char *, char *, int *);
    int(ZN_CALL *close)(void);
};
const LibraryCalls &SharedLibrary();
const LibraryCalls &ToolsOwnLibrary();

class HostSession {
  public:
    explicit HostSession(const std::string &directory, const LibraryCalls &calls = SharedLibrary());
    ~HostSession();
    HostSession(const HostSession &) = delete;
    HostSession &operator=(const HostSession &) = delete;

    bool Ok() const { return m_initResult == 3; }
    const LibraryCalls &Calls() const { return m_calls; }

    // Block until the current run has sent its finish message. A Ctrl-C
    // meanwhile cancels the run and the wait goes on for its finish message.
    // True when the run was cancelled that way.
    bool WaitForCheckFinished();
    bool WaitForUpdateFinished();

  private:
    bool WaitForFinish(int *finished, int(ZN_CALL *cancel)(void), const char *job);
    // One progress line on standard error; never throws.
    void Progress(const char *colour, const char *text) noexcept;
    void Progress(const char *colour, const char *prefix, int code, const char *message) noexcept;

    static void ZN_CALLBACK OnStatus(void *context, int code, const char *message);
    static void ZN_CALLBACK OnCheckFinished(void *context, const char *message);
    static void ZN_CALLBACK OnUpdateFinished(void *context, const char *message);
    static void ZN_CALLBACK OnError(void *context, int code, const char *message);

    const LibraryCalls &m_calls;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    int m_initResult = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_checksFinished = 0;
    int m_updatesFinished = 0;
};
