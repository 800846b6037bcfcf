#include "platform/poller.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int PollSockets(PollItem* items, std::size_t count, int timeoutMs) {
    thread_local std::vector<pollfd> fds;
    fds.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = static_cast<int>(items[i].socket);
        fds[i].events = static_cast<short>(((items[i].want & kPollRead) != 0 ? POLLIN : 0) |
                                           ((items[i].want & kPollWrite) != 0 ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    const int n = poll(fds.data(), static_cast<nfds_t>(count), timeoutMs < 0 ? 0 : timeoutMs);
    for (std::size_t i = 0; i < count; ++i) {
        const short r = n > 0 ? fds[i].revents : 0;
        items[i].seen = ((r & POLLIN) != 0 ? kPollRead : 0u) | ((r & POLLOUT) != 0 ? kPollWrite : 0u) |
                        ((r & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? kPollError : 0u);
    }
    if (n < 0) return errno == EINTR ? 0 : -1;
    return n;
}

bool MakeNonBlocking(socket_t socket) {
    const int fd = static_cast<int>(socket);
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

socket_t OpenSpareDescriptor() {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd < 0 ? kInvalidSocket : static_cast<socket_t>(fd);
}

namespace {

int AcceptOne(socket_t listener) {
    int fd;
    do {
        fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Accepted AcceptNow(socket_t listener, socket_t& spare) {
    Accepted result;
    int fd = AcceptOne(listener);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
        if (spare == kInvalidSocket) spare = OpenSpareDescriptor();
        if (spare == kInvalidSocket) {
            result.failed = true;  // nothing to make room with: the loop pauses as for any error
            return result;
        }
        close(static_cast<int>(spare));
        spare = kInvalidSocket;
        fd = AcceptOne(listener);
        const int error = errno;
        if (fd >= 0) close(fd);
        spare = OpenSpareDescriptor();
        result.shed = fd >= 0;
        // Another thread took the freed number first: still out of descriptors.
        result.failed = fd < 0 && error != EAGAIN && error != EWOULDBLOCK && error != ECONNABORTED;
        return result;
    }
    // ECONNABORTED: the client gave up while queued; like nothing waiting.
    result.failed = fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED;
    if (fd < 0) return result;
#if defined(SO_NOSIGPIPE)
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    result.socket = static_cast<socket_t>(fd);
    return result;
}
