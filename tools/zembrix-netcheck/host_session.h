// The tool as a host of the library: registers callbacks that print what
// they receive, initialises on a directory, and closes again when it goes.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

class HostSession {
  public:
    explicit HostSession(const std::string &directory);
    ~HostSession();
    HostSession(const HostSession &) = delete;
    HostSession &operator=(const HostSession &) = delete;

    bool Ok() const { return m_initResult == 3; }

    // Blocks until the current run has sent its finish message.
    void WaitForCheckFinished();
    void WaitForUpdateFinished();

  private:
    static void OnStatus(void *context, int code, const char *message);
    static void OnCheckFinished(void *context, const char *message);
    static void OnUpdateFinished(void *context, const char *message);
    static void OnError(void *context, int code, const char *message);

    int m_initResult = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_checksFinished = 0;
    int m_updatesFinished = 0;
};
