// The few socket calls the tests' local servers make, once per platform
// (tests/support/PeerSocket.cpp on POSIX, tests/win32/support/PeerSocket.cpp
// on Winsock), so that each server is written once. Every wait also watches
// a stop signal, so a server thread ends promptly when told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zntest {
namespace peersocket {

// A socket handle (an fd or a SOCKET); kNone: none.
using Handle = intptr_t;
constexpr Handle kNone = -1;

// A non-blocking TCP listener on host:port (port 0: an ephemeral one);
// kNone on failure, with why in *error. *boundPort: the port it got.
Handle Listen(const std::string &host, unsigned port, unsigned *boundPort, std::string *error);

// A waiting connection, non-blocking; kNone when there is none or it went
// away meanwhile. *failed: the listener itself is broken (retrying would
// spin).
Handle Accept(Handle listener, bool *failed);

// Bytes read into buffer; 0 at the peer's end, -1 on error.
long Receive(Handle connection, char *buffer, size_t size);

// Bytes sent; 0 when the buffer is full, -1 on error (never a signal when
// the reader hung up).
long Send(Handle connection, const char *data, size_t size);

// Closes; abortive: with a reset instead of an orderly end.
void Close(Handle socket, bool abortive = false);

// What a wait ended with.
enum class Wait { Ready, Stopped, TimedOut, Failed };

// A stop signal, closed with Close: raised once from any thread, every
// Await on it returns Stopped from then on. kNone on failure.
Handle OpenStopSignal();
// False when the signal could not be given.
bool RaiseStopSignal(Handle stop);

// Waits until socket is readable (writable: writable), stop is raised, or
// timeoutMs passed (-1: no limit). socket kNone: waits for stop or time only.
Wait Await(Handle socket, bool writable, Handle stop, int timeoutMs = -1);

}  // namespace peersocket
}  // namespace zntest
