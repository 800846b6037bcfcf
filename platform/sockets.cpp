// The waiting operations on non-blocking connections, built on each platform's single calls.
#include "platform/sockets.hpp"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

long ReceiveWithin(socket_t socket, void* buffer, std::size_t length, int waitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        // Receiving first saves the wait when the bytes are already there, which they usually
        // are by the time a connection has been accepted.
        const long n = TryReceive(socket, buffer, length);
        if (n != kWouldBlock) return n;
        const int left = RemainingMs(deadline);
        if (left == 0 || WaitReadable(socket, left) < 0) return -1;
    }
}

std::size_t SendAllWithin(socket_t socket, const SendPiece* pieces, std::size_t count, int waitMs) {
    if (count > kMaxSendPieces) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    SendPiece left[kMaxSendPieces];
    std::size_t first = 0;
    for (std::size_t i = 0; i < count; ++i) left[i] = pieces[i];
    std::size_t total = 0;
    for (;;) {
        while (first < count && left[first].length == 0) ++first;
        if (first == count) return total;
        const long n = SendOnce(socket, left + first, count - first);
        if (n == kWouldBlock || n == 0) {
            const int ms = RemainingMs(deadline);
            if (ms == 0 || WaitWritable(socket, ms) != 1) return total;
            continue;
        }
        if (n < 0) return total;
        // A partial send: step past what went out and carry on from there.
        auto sent = static_cast<std::size_t>(n);
        total += sent;
        for (std::size_t i = first; i < count && sent > 0; ++i) {
            const std::size_t step = sent < left[i].length ? sent : left[i].length;
            left[i].data = static_cast<const char*>(left[i].data) + step;
            left[i].length -= step;
            sent -= step;
        }
    }
}
