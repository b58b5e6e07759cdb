// One reachability probe's socket: connect, and close again at once.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace zn {

class CProbeSocket {
  public:
    virtual ~CProbeSocket() = default;

    // 1 when the server accepted a TCP connection within timeoutMs (name
    // lookup included), 0 otherwise. Nothing is sent or received.
    int TestConnect(const std::string &host, unsigned port, uint32_t timeoutMs = kInfinite);

    // Why the last TestConnect failed; None after a success.
    ConnectFailure LastFailure() const { return m_socket.LastFailure(); }

    // From any thread: a connect in progress (or about to start) fails.
    void CancelBlockingCall() { m_socket.CancelBlockingCall(); }

  private:
    StreamSocket m_socket;
};

}  // namespace zn
