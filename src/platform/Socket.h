// A TCP stream socket whose blocking connect can be cut short from another
// thread. Stands in for the class library's blocking socket with its
// CancelBlockingCall.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Event.h"

namespace zn {

// Starts the platform's socket layer, once per process; later calls return
// the first answer. Nothing to start on POSIX (always true); Winsock is
// started here. Called on first use (initialisation), never at load: the
// start may load system modules, which the loader's lock forbids.
bool InitSocketLayer();

// Why a connect failed, for whoever diagnoses a check. A name not found:
// NameNotFound when the name servers said there is no such name,
// NameServersSilent when they gave no usable answer in time (or refused).
enum class ConnectFailure {
    None,
    Refused,
    TimedOut,
    Unreachable,
    NameNotFound,
    NameServersSilent,
    Cancelled,
    Other
};

// One TCP stream connection, used only to find out whether a server accepts
// one; over IPv4 or IPv6, as the address reached needs.
//
// Threads: Create, Connect and Close belong to one thread at a time (the
// probe's). CancelBlockingCall may be called from any thread at any time
// while the object exists; the object must not be destroyed while a
// CancelBlockingCall on it is still running.
class StreamSocket {
  public:
    StreamSocket();
    // Closes whatever is open.
    ~StreamSocket();
    StreamSocket(const StreamSocket &) = delete;
    StreamSocket &operator=(const StreamSocket &) = delete;

    // Opens an IPv4 TCP socket (any local port), which a connect to an IPv4
    // address uses; other connects open sockets of their own. A socket still
    // open is closed first. False on failure.
    bool Create();

    // Connects to a dotted IPv4 address, an IPv6 address (without brackets or
    // zone id) or a host name, and a port, blocking until the connection is
    // made, refused or failed, cancelled, or timeoutMs has passed (kInfinite:
    // no limit). True only when connected. Ports 0 and above 65535 fail. A
    // host name is looked up for its IPv6 and IPv4 addresses at once, in the
    // system's hosts file and through its name servers; a cancel or the time
    // limit ends that lookup too, leaving nothing behind. Its addresses are
    // tried IPv6 first, the next one started when the last has failed or has
    // not connected within 250 ms; the first connection wins, the others are
    // closed. A dotted address the host has no route to (an IPv6-only
    // network) is reached through the network's NAT64 where it has one: the
    // system's lookup gives its address on Windows; elsewhere it is made
    // from the prefix that the addresses of "ipv4only.arpa" show, looked up
    // within the same limits and kept for 30 s.
    bool Connect(const std::string &host, unsigned port, uint32_t timeoutMs = kInfinite);

    // Why the last Connect failed (None after a success); read by the
    // thread that connected.
    ConnectFailure LastFailure() const { return m_lastFailure; }

    // Closes the socket; Create may be called again.
    void Close();

    // Makes a Connect in progress return false at once. The cancel sticks to
    // the object: every later Connect on it fails at once too, so a cancel
    // that arrives just before the Connect starts is not lost.
    void CancelBlockingCall();

  private:
    // Records how a connect ended; true when it connected.
    bool Ended(ConnectFailure failure) {
        m_lastFailure = failure;
        return failure == ConnectFailure::None;
    }

    // The platform's socket and cancel handles, pointer-sized; -1: none.
    intptr_t m_socket = -1;
    // Signalled once cancelled; lives as long as the object, so a cancel
    // never touches a handle that Close may have freed (and the system
    // reused).
    intptr_t m_cancelHandle = -1;
    std::atomic<bool> m_cancelled{false};
    ConnectFailure m_lastFailure = ConnectFailure::None;
};

}  // namespace zn
