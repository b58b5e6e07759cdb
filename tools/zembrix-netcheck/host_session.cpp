#include "host_session.h"

#include <cstdio>

#include "zembrixnet.h"

HostSession::HostSession(const std::string &directory) {
    m_initResult = InitCheckServer(OnStatus, this, OnCheckFinished, this, OnUpdateFinished, this,
                                   OnError, this, directory.c_str());
    if (m_initResult != 3)
        std::fprintf(stderr, "InitCheckServer returned %d\n", m_initResult);
}

HostSession::~HostSession() {
    if (Ok())
        CloseCheckServer();
}

void HostSession::WaitForCheckFinished() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_checksFinished > 0; });
    --m_checksFinished;
}

void HostSession::WaitForUpdateFinished() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_updatesFinished > 0; });
    --m_updatesFinished;
}

void HostSession::OnStatus(void *, int code, const char *message) {
    std::printf("status %d: %s\n", code, message);
    std::fflush(stdout);
}

void HostSession::OnCheckFinished(void *context, const char *message) {
    auto *self = static_cast<HostSession *>(context);
    std::printf("check finished: %s\n", message);
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    ++self->m_checksFinished;
    self->m_cv.notify_all();
}

void HostSession::OnUpdateFinished(void *context, const char *message) {
    auto *self = static_cast<HostSession *>(context);
    std::printf("update finished: %s\n", message);
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    ++self->m_updatesFinished;
    self->m_cv.notify_all();
}

void HostSession::OnError(void *, int code, const char *message) {
    std::printf("error %d: %s\n", code, message);
    std::fflush(stdout);
}
