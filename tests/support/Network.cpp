#include "support/Network.h"

#include "support/ScriptedPeer.h"

namespace zntest {

namespace ps = peersocket;

TcpListener::TcpListener(const std::string &host, unsigned port) : m_host(host) {
    std::string error;
    m_listener = ps::Listen(host, port, &m_port, &error);
    if (m_listener == ps::kNone)
        ADD_FAILURE() << "TcpListener: cannot listen on " << host << ":" << port << ": " << error;
}

TcpListener::~TcpListener() {
    Close();
}

bool TcpListener::StartAccepting() {
    if (!IsOpen() || m_accepting)
        return false;
    m_accepting = std::make_unique<ScriptedPeer>(m_listener, m_host, m_port);
    return true;
}

int TcpListener::AcceptWaiting() {
    if (!IsOpen() || m_accepting) {
        ADD_FAILURE() << "TcpListener: AcceptWaiting needs an open listener without accept loop";
        return -1;
    }
    int count = 0;
    bool failed = false;
    for (ps::Handle connection; (connection = ps::Accept(m_listener, &failed)) != ps::kNone;
         ++count)
        ps::Close(connection);
    return count;
}

bool TcpListener::WaitForAccepted(int count, std::chrono::milliseconds timeout) {
    return m_accepting && m_accepting->WaitForConnections(count, timeout);
}

void TcpListener::Close() {
    if (m_accepting)
        m_accepting.reset();
    else if (m_listener != ps::kNone)
        ps::Close(m_listener);
    m_listener = ps::kNone;
}

}  // namespace zntest
