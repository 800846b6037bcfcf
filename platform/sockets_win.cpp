#include "platform/sockets.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

SOCKET Sock(socket_t socket) { return static_cast<SOCKET>(socket); }

}  // namespace

bool InitSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void CleanupSockets() { WSACleanup(); }

socket_t OpenListener(int port, std::uint32_t ipv4) {
    if (port < 0 || port > 65535) return kInvalidSocket;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    // SO_REUSEADDR on Windows would let this socket take a port that a live listener holds (or
    // let another program take ours); the exclusive option makes a taken port fail to bind.
    const BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(ipv4);
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(s, SOMAXCONN) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    return static_cast<socket_t>(s);
}

int LocalPort(socket_t socket) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

int WaitReadable(socket_t socket, int timeoutMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(Sock(socket), &readSet);
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    const int n = select(0, &readSet, nullptr, nullptr, &tv);
    if (n < 0) return -1;
    return n > 0 && FD_ISSET(Sock(socket), &readSet) ? 1 : 0;
}

socket_t ConnectTo(const char* ipv4, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, ipv4, &addr.sin_addr) != 1) return kInvalidSocket;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return kInvalidSocket;
    }
    return static_cast<socket_t>(s);
}

long ReceiveOnce(socket_t socket, void* buffer, std::size_t length) {
    const int want = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    const int n = recv(Sock(socket), static_cast<char*>(buffer), want, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long TryReceive(socket_t socket, void* buffer, std::size_t length) {
    // No per-call flag on Windows: this does not wait only because the socket is non-blocking.
    const int want = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
    const int n = recv(Sock(socket), static_cast<char*>(buffer), want, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

long SendOnce(socket_t socket, const SendPiece* pieces, std::size_t count) {
    if (count > kMaxSendPieces) return -1;
    WSABUF bufs[kMaxSendPieces];
    for (std::size_t i = 0; i < count; ++i) {
        bufs[i].buf = static_cast<CHAR*>(const_cast<void*>(pieces[i].data));
        bufs[i].len = static_cast<ULONG>(pieces[i].length);
    }
    DWORD sent = 0;
    if (WSASend(Sock(socket), bufs, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
    }
    return static_cast<long>(sent);
}

void ShutdownSend(socket_t socket) { shutdown(Sock(socket), SD_SEND); }
void ShutdownBoth(socket_t socket) { shutdown(Sock(socket), SD_BOTH); }
void CloseSocket(socket_t socket) {
    if (socket != kInvalidSocket) closesocket(Sock(socket));
}
