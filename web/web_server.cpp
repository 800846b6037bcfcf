// The listener and its thread: accept one connection, answer it, close it, accept the next.
#include "web/web_server.hpp"

#include "platform/sockets.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kAcceptWaitMs = 1000;      // the wait for a connection when none is pending
constexpr int kErrorPauseMs = 100;       // after a listener error, before the next pass
constexpr int kLingerMs = 250;           // draining unread request bytes before the close
constexpr std::size_t kLingerBytes = 64 * 1024;

// One run of the server. The thread holds its own reference, so a thread that outlives the
// bounded wait at stop still only touches state that stays valid.
struct ServerRun {
    WebContext context;
    std::atomic<bool> running{false};
    // The thread closes the listener when it leaves its loop; stop only shuts it down (waking the
    // thread's wait where the platform allows), so a handle is never closed under a waiting call.
    std::mutex listenerLock;
    socket_t listener = kInvalidSocket;
    int port = 0;
    // The connection being served, so that a stop can cut it short (it wakes a blocked read
    // or send where the platform allows). Set and cleared under the lock, and cleared before
    // the thread closes it, so a stop never touches a handle that was closed and reused.
    std::mutex connectionLock;
    socket_t connection = kInvalidSocket;
    std::mutex doneLock;
    std::condition_variable doneCv;
    bool done = false;
};

std::mutex gServerLock;  // guards gServer and gServerThread
std::shared_ptr<ServerRun> gServer;
std::thread gServerThread;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Sends a response in as few calls as possible: a small piece (a header block) is held back and
// goes out together with the next piece, so header and body leave in one gathered send. The
// connection is non-blocking: a piece the system takes only in part is carried on as room
// frees up, all of the answer within kWebSendTimeoutMs of its first send. A send that fails or
// runs out of time ends the response: the rest would be garbage after a gap.
class SocketSink final : public ResponseSink {
public:
    explicit SocketSink(socket_t socket) : socket_(socket) {}

    bool Send(const void* data, std::size_t length) override {
        if (failed_) return false;
        if (heldLength_ == 0 && length <= sizeof held_) {
            std::memcpy(held_, data, length);
            heldLength_ = length;
            return true;
        }
        return SendNow(data, length);
    }

    bool Flush() { return failed_ || heldLength_ == 0 ? !failed_ : SendNow(nullptr, 0); }
    bool Answered() const { return answered_; }

private:
    bool SendNow(const void* data, std::size_t length) {
        SendPiece pieces[2];
        std::size_t count = 0;
        if (heldLength_ > 0) pieces[count++] = {held_, heldLength_};
        if (length > 0) pieces[count++] = {data, length};
        const std::size_t total = heldLength_ + length;
        heldLength_ = 0;
        if (!answered_) deadline_ = Clock::now() + milliseconds(kWebSendTimeoutMs);
        answered_ = true;
        if (SendAllWithin(socket_, pieces, count, RemainingMs(deadline_)) != total) failed_ = true;
        return !failed_;
    }

    socket_t socket_;
    char held_[256];
    std::size_t heldLength_ = 0;
    bool failed_ = false;
    bool answered_ = false;
    Clock::time_point deadline_{};
};

bool HeaderBlockEnded(const char* request, std::size_t length) {
    const std::string_view text(request, length);
    return text.find("\r\n\r\n") != std::string_view::npos || text.find("\n\n") != std::string_view::npos;
}

// Reads the request: what has arrived, and more until its header block ends, the buffer is full,
// the client stops sending or the read's deadline passes (a browser's request usually comes in
// one piece; a long one, or one over a slow network, may come in several, and the routes that
// change the state judge it by header fields that may lie in a later piece). Returns the bytes
// read (0 or less as ReceiveWithin when none came); ended tells whether the header block ended.
long ReceiveRequest(socket_t connection, char* buffer, std::size_t size, bool& ended) {
    const auto deadline = Clock::now() + milliseconds(kWebReceiveTimeoutMs);
    long total = ReceiveWithin(connection, buffer, size, kWebReceiveTimeoutMs);
    ended = total > 0 && HeaderBlockEnded(buffer, static_cast<std::size_t>(total));
    while (total > 0 && !ended && static_cast<std::size_t>(total) < size) {
        const long n = ReceiveWithin(connection, buffer + total, size - static_cast<std::size_t>(total),
                                     RemainingMs(deadline));
        if (n <= 0) break;
        // The end may straddle the two pieces: look again from a little before the new bytes.
        const std::size_t from = static_cast<std::size_t>(total) < 3 ? 0 : static_cast<std::size_t>(total) - 3;
        total += n;
        ended = HeaderBlockEnded(buffer + from, static_cast<std::size_t>(total) - from);
    }
    return total;
}

void DrainBeforeClose(socket_t connection) {
    ShutdownSend(connection);
    const auto deadline = Clock::now() + milliseconds(kLingerMs);
    std::size_t drained = 0;
    char scratch[4096];
    while (drained < kLingerBytes) {
        const int left = RemainingMs(deadline);
        if (left == 0 || WaitReadable(connection, left) != 1) break;
        const long n = TryReceive(connection, scratch, sizeof scratch);
        if (n == kWouldBlock) continue;
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
}

void ServeConnection(ServerRun& run, socket_t connection) {
    // The connection is non-blocking, and the read and the answer each wait with a deadline:
    // that bounds how long one client can hold the server. Both stay below the stop's wait, so
    // a stop is never outlasted by a client that connects and sends nothing or never reads.
    // (Deadlines rather than SO_RCVTIMEO/SO_SNDTIMEO: under Wine every socket option set is a
    // round trip to the wineserver, and two of them cost a fifth of a short request.)
    {
        std::lock_guard<std::mutex> guard(run.connectionLock);
        run.connection = connection;
    }
    // A stop that came before the connection was registered is seen here.
    if (!run.running.load(std::memory_order_acquire)) ShutdownBoth(connection);
    char request[kWebRequestBytes];
    bool ended = false;
    const long n = ReceiveRequest(connection, request, sizeof request, ended);
    if (n > 0) {
        const auto length = static_cast<std::size_t>(n);
        SocketSink sink(connection);
        HandleRequest(run.context, request, length, sink);
        const bool complete = sink.Flush();
        // The client may still be sending: closing a socket with unread input makes the system
        // reset the connection, and a reset can destroy the answer before the client read it.
        if (complete && sink.Answered() && (!ended || length >= sizeof request)) DrainBeforeClose(connection);
    }
    {
        std::lock_guard<std::mutex> guard(run.connectionLock);
        run.connection = kInvalidSocket;
    }
    CloseSocket(connection);
}

void ServerLoop(std::shared_ptr<ServerRun> run) {
    while (run->running.load(std::memory_order_acquire)) {
        // A waiting connection is taken at once; only an idle listener is waited on, and that
        // wait has a time-out so that a stop is seen within it.
        bool failed = false;
        const socket_t connection = AcceptWithin(run->listener, kAcceptWaitMs, failed);
        if (!run->running.load(std::memory_order_acquire)) {
            CloseSocket(connection);
            break;
        }
        if (connection == kInvalidSocket) {
            // A broken listener (or one out of handles) would otherwise make this a busy spin.
            if (failed) std::this_thread::sleep_for(milliseconds(kErrorPauseMs));
            continue;
        }
        ServeConnection(*run, connection);
    }
    {
        std::lock_guard<std::mutex> guard(run->listenerLock);
        CloseSocket(run->listener);
        run->listener = kInvalidSocket;
    }
    std::lock_guard<std::mutex> guard(run->doneLock);
    run->done = true;
    run->doneCv.notify_all();
}

}  // namespace

bool StartWebServer(WebContext& context, int port) {
    std::lock_guard<std::mutex> guard(gServerLock);
    if (gServer) return false;  // one server per process
    if (port < 0 || port > 65535 || context.settings == nullptr || context.covers == nullptr ||
        context.snapshot == nullptr) {
        return false;
    }
    if (!InitSockets()) return false;
    socket_t listener = OpenListener(port);
    if (listener != kInvalidSocket && !PrepareListener(listener, kAcceptWaitMs)) {
        CloseSocket(listener);
        listener = kInvalidSocket;
    }
    if (listener == kInvalidSocket) {
        CleanupSockets();
        return false;
    }
    auto run = std::make_shared<ServerRun>();
    run->context = context;
    run->listener = listener;
    run->port = LocalPort(listener);
    run->running.store(true, std::memory_order_release);
    try {
        gServerThread = std::thread(ServerLoop, run);
    } catch (const std::system_error&) {
        // Nothing else holds the socket yet, so it is closed here rather than left for stop.
        CloseSocket(listener);
        CleanupSockets();
        return false;
    }
    gServer = std::move(run);
    return true;
}

void StopWebServer() {
    std::shared_ptr<ServerRun> run;
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(gServerLock);
        run = std::move(gServer);
        thread = std::move(gServerThread);
        gServer.reset();
    }
    if (!run) return;
    run->running.store(false, std::memory_order_release);
    {
        // Wakes the thread's wait on the listener at once on Linux; on Windows the 1-second
        // time-out of that wait ends it.
        std::lock_guard<std::mutex> guard(run->listenerLock);
        if (run->listener != kInvalidSocket) ShutdownBoth(run->listener);
    }
    {
        std::lock_guard<std::mutex> guard(run->connectionLock);
        if (run->connection != kInvalidSocket) ShutdownBoth(run->connection);
    }
    bool ended;
    {
        std::unique_lock<std::mutex> lock(run->doneLock);
        ended = run->doneCv.wait_for(lock, milliseconds(kWebStopWaitMs), [&] { return run->done; });
    }
    if (ended) {
        thread.join();
        CleanupSockets();
    } else {
        // Still inside a request after the bounded wait: the thread keeps its run, its
        // connection and the socket library until it ends or the process does.
        thread.detach();
    }
}

int WebServerPort() {
    std::lock_guard<std::mutex> guard(gServerLock);
    return gServer ? gServer->port : 0;
}
