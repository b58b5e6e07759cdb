#include "support/ScriptedPeer.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace zntest {

namespace ps = peersocket;

std::string HttpReply(const std::string &body, int status) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Whatever\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

ScriptedPeer::ScriptedPeer(PeerAction action, std::string reply, const std::string &host,
                           int delayMs)
    : m_action(action), m_reply(std::move(reply)), m_host(host), m_delayMs(delayMs) {
    std::string error;
    m_listener = ps::Listen(host, 0, &m_port, &error);
    if (m_listener == ps::kNone) {
        ADD_FAILURE() << "ScriptedPeer: cannot listen on " << host << ": " << error;
        return;
    }
    Start();
}

ScriptedPeer::ScriptedPeer(ps::Handle listener, const std::string &host, unsigned port)
    : m_action(PeerAction::AcceptAndClose), m_host(host), m_port(port), m_listener(listener) {
    Start();
}

void ScriptedPeer::Start() {
    if (m_stop == ps::kNone) {
        ADD_FAILURE() << "ScriptedPeer: no stop signal";
        return;
    }
    m_thread = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    if (m_thread.joinable()) {
        if (!ps::RaiseStopSignal(m_stop))
            ADD_FAILURE() << "ScriptedPeer: cannot stop";
        m_thread.join();
    }
    for (ps::Handle connection : m_silent)
        ps::Close(connection);
    if (m_listener != ps::kNone)
        ps::Close(m_listener);
    if (m_stop != ps::kNone)
        ps::Close(m_stop);
}

bool ScriptedPeer::WaitForConnections(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_connected.wait_for(lock, timeout, [&] { return m_connections.load() >= count; });
}

void ScriptedPeer::AnswerTarget(const std::string &target, std::string reply) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_targetReplies[target] = std::move(reply);
}

std::string ScriptedPeer::LastRequest() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastRequest;
}

void ScriptedPeer::Serve() {
    while (ps::Await(m_listener, false, m_stop) == ps::Wait::Ready) {
        bool failed = false;
        const ps::Handle connection = ps::Accept(m_listener, &failed);
        if (failed) {
            ADD_FAILURE() << "ScriptedPeer: accept failed";
            return;
        }
        if (connection == ps::kNone)
            continue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_connections;
        }
        m_connected.notify_all();
        Treat(connection);
    }
}

// The request first, up to a blank line. A fault's wait ends at a pause too
// (a TLS client's hello is fine: whatever comes first). False on stop.
bool ScriptedPeer::ReadRequest(ps::Handle connection) {
    std::string request;
    char buffer[4096];
    const int pauseMs = m_action == PeerAction::Answer ? -1 : 500;
    ps::Wait wait = ps::Wait::Ready;
    while (request.find("\r\n\r\n") == std::string::npos &&
           (wait = ps::Await(connection, false, m_stop, pauseMs)) == ps::Wait::Ready) {
        const long n = ps::Receive(connection, buffer, sizeof buffer);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lastRequest = request;
    }
    ++m_requests;
    return wait != ps::Wait::Stopped;
}

bool ScriptedPeer::SendAll(ps::Handle connection, const char *data, size_t size) {
    for (size_t at = 0; at < size;) {
        if (ps::Await(connection, true, m_stop) != ps::Wait::Ready)
            return false;
        const long n = ps::Send(connection, data + at, size - at);
        if (n < 0)
            return false;
        at += static_cast<size_t>(n);
        m_sent += static_cast<size_t>(n);
    }
    return true;
}

void ScriptedPeer::Treat(ps::Handle connection) {
    if (m_action == PeerAction::AcceptAndClose || !ReadRequest(connection)) {
        ps::Close(connection);
        return;
    }
    switch (m_action) {
        case PeerAction::Answer: {
            std::string reply = m_reply;
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                const size_t start = m_lastRequest.find(' ') + 1;
                const auto found = m_targetReplies.find(
                    m_lastRequest.substr(start, m_lastRequest.find(' ', start) - start));
                if (found != m_targetReplies.end())
                    reply = found->second;
            }
            if (m_delayMs <= 0 ||
                ps::Await(ps::kNone, false, m_stop, m_delayMs) == ps::Wait::TimedOut)
                SendAll(connection, reply.data(), reply.size());
            break;
        }
        case PeerAction::Reset:
            ps::Close(connection, true);
            return;
        case PeerAction::NeverAnswer:
            m_silent.push_back(connection);
            return;
        case PeerAction::ByteByByte:
            for (size_t at = 0; at < m_reply.size(); ++at) {
                if (ps::Await(ps::kNone, false, m_stop, 2) != ps::Wait::TimedOut ||
                    !SendAll(connection, &m_reply[at], 1))
                    break;
            }
            break;
        case PeerAction::Flood: {
            const std::string head =
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kFloodBytes) +
                "\r\nConnection: close\r\n\r\n" + m_reply;
            if (!SendAll(connection, head.data(), head.size()))
                break;
            const std::string filler(1 << 16, 'x');
            for (size_t left = kFloodBytes - m_reply.size(); left > 0;) {
                const size_t size = std::min(left, filler.size());
                if (!SendAll(connection, filler.data(), size))
                    break;
                left -= size;
            }
            break;
        }
        case PeerAction::AcceptAndClose:
            break;
    }
    ps::Close(connection);
}

}  // namespace zntest
