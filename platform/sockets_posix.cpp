#include "platform/sockets.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

int Fd(socket_t socket) { return static_cast<int>(socket); }
socket_t Handle(int fd) { return fd < 0 ? kInvalidSocket : static_cast<socket_t>(fd); }

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on every socket instead
#endif

void NoSigPipe([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

}  // namespace

bool InitSockets() { return true; }
void CleanupSockets() {}

socket_t OpenListener(int port, std::uint32_t ipv4) {
    if (port < 0 || port > 65535) return kInvalidSocket;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kInvalidSocket;
    // On Linux SO_REUSEADDR only lets a restarted server bind over connections left in
    // TIME_WAIT; a port held by a live listener still fails to bind.
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    NoSigPipe(fd);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(ipv4);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0) {
        close(fd);
        return kInvalidSocket;
    }
    return Handle(fd);
}

int LocalPort(socket_t socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

namespace {

// Waits for `events` on one socket: the revents seen, 0 on time-out or interruption, -1 on error.
// poll rather than select: a descriptor above FD_SETSIZE would overrun an fd_set.
int PollFor(socket_t socket, short events, int timeoutMs) {
    pollfd p{};
    p.fd = Fd(socket);
    p.events = events;
    const int n = poll(&p, 1, timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    return n == 0 ? 0 : p.revents;
}

}  // namespace

int WaitReadable(socket_t socket, int timeoutMs) {
    const int revents = PollFor(socket, POLLIN, timeoutMs);
    if (revents <= 0) return revents;
    return (revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? 1 : -1;
}

socket_t ConnectTo(const char* ipv4, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, ipv4, &addr.sin_addr) != 1) return kInvalidSocket;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kInvalidSocket;
    NoSigPipe(fd);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return kInvalidSocket;
    }
    return Handle(fd);
}

long ReceiveOnce(socket_t socket, void* buffer, std::size_t length) {
    ssize_t n;
    do {
        n = recv(Fd(socket), buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<long>(n);
}

long TryReceive(socket_t socket, void* buffer, std::size_t length) {
    ssize_t n;
    do {
        n = recv(Fd(socket), buffer, length, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
    return static_cast<long>(n);
}

long SendOnce(socket_t socket, const SendPiece* pieces, std::size_t count) {
    if (count > kMaxSendPieces) return -1;
    iovec iov[kMaxSendPieces];
    for (std::size_t i = 0; i < count; ++i) {
        iov[i].iov_base = const_cast<void*>(pieces[i].data);
        iov[i].iov_len = pieces[i].length;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    // A peer that has gone away makes this fail with EPIPE instead of killing the process.
    ssize_t n;
    do {
        n = sendmsg(Fd(socket), &msg, kSendFlags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
    return static_cast<long>(n);
}

void ShutdownSend(socket_t socket) { shutdown(Fd(socket), SHUT_WR); }
void ShutdownBoth(socket_t socket) { shutdown(Fd(socket), SHUT_RDWR); }
void CloseSocket(socket_t socket) {
    if (socket != kInvalidSocket) close(Fd(socket));
}
