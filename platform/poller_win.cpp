#include "platform/poller.hpp"

#include <vector>
#include <winsock2.h>

int PollSockets(PollItem* items, std::size_t count, int timeoutMs) {
    // No thread_local buffer: with MinGW-w64 the storage of a thread_local object can be freed
    // before its destructor runs at the end of the thread, which then reads freed memory (a
    // server thread ending at stop crashed now and then). A few descriptors go on the stack,
    // more on the heap for the call.
    constexpr std::size_t kOnStack = 128;
    WSAPOLLFD onStack[kOnStack];
    std::vector<WSAPOLLFD> onHeap;
    WSAPOLLFD* fds = onStack;
    if (count > kOnStack) {
        onHeap.resize(count);
        fds = onHeap.data();
    }
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = static_cast<SOCKET>(items[i].socket);
        // POLLRDNORM/POLLWRNORM: WSAPoll refuses POLLPRI and the out-of-band flags.
        fds[i].events = static_cast<SHORT>(((items[i].want & kPollRead) != 0 ? POLLRDNORM : 0) |
                                           ((items[i].want & kPollWrite) != 0 ? POLLWRNORM : 0));
        fds[i].revents = 0;
    }
    const int n = count == 0 ? 0 : WSAPoll(fds, static_cast<ULONG>(count), timeoutMs < 0 ? 0 : timeoutMs);
    for (std::size_t i = 0; i < count; ++i) {
        const SHORT r = n > 0 ? fds[i].revents : 0;
        items[i].seen = ((r & (POLLRDNORM | POLLRDBAND)) != 0 ? kPollRead : 0u) |
                        ((r & POLLWRNORM) != 0 ? kPollWrite : 0u) |
                        ((r & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? kPollError : 0u);
    }
    if (count == 0 && timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    return n == SOCKET_ERROR ? -1 : n;
}

bool MakeNonBlocking(socket_t socket) {
    u_long one = 1;
    return ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &one) == 0;
}

socket_t OpenSpareDescriptor() { return kInvalidSocket; }

Accepted AcceptNow(socket_t listener, socket_t& /*spare*/) {
    // A socket accepted from a non-blocking listener is non-blocking itself.
    Accepted result;
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
        result.socket = static_cast<socket_t>(s);
        return result;
    }
    const int error = WSAGetLastError();
    // WSAECONNRESET: the client gave up while queued; like nothing waiting.
    result.failed = error != WSAEWOULDBLOCK && error != WSAECONNRESET;
    return result;
}
