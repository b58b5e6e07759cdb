#include "check/ProbeSocket.h"

namespace zn {

int CProbeSocket::TestConnect(const std::string &host, unsigned port) {
    if (!m_socket.Create())
        return 0;
    const bool connected = m_socket.Connect(host, port);
    m_socket.Close();
    return connected ? 1 : 0;
}

}  // namespace zn
