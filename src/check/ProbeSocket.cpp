#include "check/ProbeSocket.h"

namespace zn {

int CProbeSocket::TestConnect(const std::string &host, unsigned port, uint32_t timeoutMs) {
    if (!m_socket.Create())
        return 0;
    const bool connected = m_socket.Connect(host, port, timeoutMs);
    m_socket.Close();
    return connected ? 1 : 0;
}

}  // namespace zn
