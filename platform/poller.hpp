// Readiness of many sockets at once, for the server's single-threaded loop: poll on Linux,
// WSAPoll on Windows. Nothing here waits longer than asked.
#pragma once

#include "platform/sockets.hpp"

#include <cstddef>

// What a loop waits for on one socket, and what was seen.
enum : unsigned {
    kPollRead = 1,   // bytes (or a connection, on a listener) are waiting, or the peer closed
    kPollWrite = 2,  // the socket takes more data
    kPollError = 4,  // the connection failed or hung up: the next call on it reports what
};
struct PollItem {
    socket_t socket = kInvalidSocket;
    unsigned want = 0;
    unsigned seen = 0;  // filled by PollSockets
};

// Waits at most timeoutMs for any item to become ready; fills every item's seen. Returns the
// number of ready items, 0 on time-out or interruption, -1 on error.
int PollSockets(PollItem* items, std::size_t count, int timeoutMs);

// Makes a socket non-blocking (a listener polled by the loop must never block in accept).
bool MakeNonBlocking(socket_t socket);

// A descriptor held in reserve for AcceptNow (Linux; nothing on Windows, where kInvalidSocket
// stands for it). Closed with CloseSocket.
socket_t OpenSpareDescriptor();

// What AcceptNow did.
struct Accepted {
    socket_t socket = kInvalidSocket;  // the connection taken, non-blocking; or kInvalidSocket
    bool failed = false;  // none taken: the listener itself reported an error (out of handles...)
    bool shed = false;    // none taken: one was accepted and closed at once for want of a descriptor
};
// Takes a connection already waiting on a non-blocking listener, without waiting. When the
// process has no descriptor left for it, a waiting connection would stay queued, its client
// hanging, for as long as the shortage lasts: the spare is then closed for a moment to take the
// connection and close it at once, and opened again (spare is kInvalidSocket when that failed;
// the next shortage tries to open it first).
Accepted AcceptNow(socket_t listener, socket_t& spare);

// The most connections the loop keeps open at once; one beyond is closed at once. The same on
// both builds: WSAPoll takes an array of any length, and under Wine serves 1,024 sockets with a
// pass of a few milliseconds. On Linux fewer where the descriptor limit leaves fewer (see
// WebSlotsFor).
constexpr std::size_t kMaxPolledConnections = 1024;
