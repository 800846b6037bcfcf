// A small TCP socket layer for the embedded server: Winsock on Windows, BSD sockets elsewhere.
// Portable code sees one handle type and a handful of operations (the server's loop waits on
// many sockets at once through platform/poller.hpp); nothing here raises a signal or throws.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket handle: a Winsock SOCKET, or a file descriptor widened to the same type.
using socket_t = std::uintptr_t;
constexpr socket_t kInvalidSocket = ~static_cast<socket_t>(0);

// Starts the socket library (WSAStartup 2.2 on Windows; nothing elsewhere). Every successful
// call must be paired with one CleanupSockets.
bool InitSockets();
void CleanupSockets();

// Opens a TCP listener on IPv4, bound to ipv4 (host order: 0 is every interface, 0x7F000001
// loopback only), listening with the backlog SOMAXCONN. The port must not be shared with a live listener:
// SO_EXCLUSIVEADDRUSE on Windows (SO_REUSEADDR there would let a second program take the port),
// SO_REUSEADDR on Linux (which only allows a rebind over connections in TIME_WAIT).
// Port 0 picks a free port. Returns kInvalidSocket on failure, with nothing left open.
socket_t OpenListener(int port, std::uint32_t ipv4 = 0);

// The local port a socket is bound to, or 0 when it cannot be read.
int LocalPort(socket_t socket);

// Waits at most timeoutMs for the socket to become readable (for a listener: a connection is
// waiting). Returns 1 when readable, 0 on time-out, -1 on error.
int WaitReadable(socket_t socket, int timeoutMs);

// Connects to ipv4:port (dotted quad), blocking. kInvalidSocket on failure.
socket_t ConnectTo(const char* ipv4, int port);

// One receive call of at most length bytes. Returns the bytes read, 0 when the peer closed,
// -1 on error or time-out.
long ReceiveOnce(socket_t socket, void* buffer, std::size_t length);

// A receive that does not wait, on a non-blocking socket (on Linux on any socket): the bytes
// read, 0 when the peer closed, -1 on error, kWouldBlock when nothing has arrived yet.
constexpr long kWouldBlock = -2;
long TryReceive(socket_t socket, void* buffer, std::size_t length);

// One send call for the given pieces together (a gathered write), never raising SIGPIPE.
// Returns the bytes the call took (possibly fewer than asked: after a send time-out, or on a
// non-blocking socket whose buffer is full), kWouldBlock when a non-blocking socket took
// nothing, or -1.
struct SendPiece {
    const void* data;
    std::size_t length;
};
constexpr std::size_t kMaxSendPieces = 4;
long SendOnce(socket_t socket, const SendPiece* pieces, std::size_t count);

// Ends the sending direction (the peer reads end-of-stream after the data already sent).
void ShutdownSend(socket_t socket);
// Ends both directions: wakes a call blocked on the socket in another thread, where the
// platform allows it. The handle stays open until CloseSocket.
void ShutdownBoth(socket_t socket);
void CloseSocket(socket_t socket);
