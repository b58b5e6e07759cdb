#include "host_session.h"

#include <cstdio>

#include "api/ToolAccess.h"
#include "output.h"

namespace {

// How often a wait looks for a Ctrl-C: the signal handler can only set a flag.
constexpr std::chrono::milliseconds kInterruptPoll{50};

}  // namespace

const LibraryCalls &SharedLibrary() {
    static const LibraryCalls calls = {InitCheckServer, CheckServerStatus,   UpdateServerList,
                                       CancelChecking,  EndUpdateServerList, GetServerInfo,
                                       CloseCheckServer};
    return calls;
}

const LibraryCalls &ToolsOwnLibrary() {
    static const LibraryCalls calls = {zn::api::InitCheckServer,     zn::api::CheckServerStatus,
                                       zn::api::UpdateServerList,    zn::api::CancelChecking,
                                       zn::api::EndUpdateServerList, zn::api::GetServerInfo,
                                       zn::api::CloseCheckServer};
    return calls;
}

HostSession::HostSession(const std::string &directory, const LibraryCalls &calls) : m_calls(calls) {
    m_initResult = m_calls.init(OnStatus, this, OnCheckFinished, this, OnUpdateFinished, this,
                                OnError, this, directory.c_str());
    if (m_initResult != 3)
        std::fprintf(stderr,
                     "zembrix-netcheck: the library refused to start (InitCheckServer "
                     "returned %d)\n",
                     m_initResult);
}

HostSession::~HostSession() {
    if (Ok())
        m_calls.close();
}

bool HostSession::WaitForCheckFinished() {
    return WaitForFinish(&m_checksFinished, m_calls.cancelChecking, "check");
}

bool HostSession::WaitForUpdateFinished() {
    return WaitForFinish(&m_updatesFinished, m_calls.endUpdateServerList, "update");
}

bool HostSession::WaitForFinish(int *finished, int(ZN_CALL *cancel)(void), const char *job) {
    bool cancelled = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_cv.wait_for(lock, kInterruptPoll, [finished] { return *finished > 0; })) {
        if (cancelled || !Interrupted())
            continue;
        cancelled = true;
        lock.unlock();
        Progress(kRed, (std::string("Ctrl-C: cancelling the ") + job +
                        " and waiting for it to finish (Ctrl-C again quits at once)")
                           .c_str());
        cancel();
        lock.lock();
    }
    --*finished;
    return cancelled;
}

void HostSession::Progress(const char *colour, const char *text) noexcept {
    // Runs on the library's threads too: printing is best effort and never
    // throws back into them.
    try {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%6.2fs] ", seconds);
        std::fprintf(stderr, "%s%s\n", Paint(stderr, kDim, stamp).c_str(),
                     Paint(stderr, colour, Printable(text, Shown::kLine)).c_str());
    } catch (...) {
    }
}

void HostSession::Progress(const char *colour, const char *prefix, int code,
                           const char *message) noexcept {
    try {
        Progress(colour, (prefix + std::to_string(code) + " " + message).c_str());
    } catch (...) {
    }
}

void ZN_CALLBACK HostSession::OnStatus(void *context, int code, const char *message) {
    static_cast<HostSession *>(context)->Progress(kDim, "", code, message);
}

void ZN_CALLBACK HostSession::OnCheckFinished(void *context, const char *message) {
    auto *self = static_cast<HostSession *>(context);
    self->Progress(kDim, message);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    ++self->m_checksFinished;
    self->m_cv.notify_all();
}

void ZN_CALLBACK HostSession::OnUpdateFinished(void *context, const char *message) {
    auto *self = static_cast<HostSession *>(context);
    self->Progress(kDim, message);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    ++self->m_updatesFinished;
    self->m_cv.notify_all();
}

void ZN_CALLBACK HostSession::OnError(void *context, int code, const char *message) {
    static_cast<HostSession *>(context)->Progress(kRed, "refused: ", code, message);
}
