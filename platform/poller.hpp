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

// Takes a connection already waiting on a non-blocking listener, without waiting. The
// connection is non-blocking. kInvalidSocket when none is waiting, with failed set when the
// listener itself reported an error (out of handles, for instance).
socket_t AcceptNow(socket_t listener, bool& failed);

// How many connections the loop keeps open at once; one beyond is closed at once.
#ifdef _WIN32
constexpr std::size_t kMaxPolledConnections = 1024;
#else
constexpr std::size_t kMaxPolledConnections = 1024;
#endif
