// The listener and its thread: one readiness loop serving every connection at once. Each
// connection carries its own deadlines and its own output; the loop never waits on one of them.
#include "web/web_server.hpp"

#include "common/ipv4.hpp"
#include "platform/descriptors.hpp"
#include "platform/poller.hpp"
#include "platform/sockets.hpp"
#include "nowplaying/station_board.hpp"
#include "web/answer_workers.hpp"
#include "web/now_playing.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kIdleWaitMs = 250;        // the longest poll: a stop is seen within it
constexpr int kAcceptPauseMs = 100;     // after a listener error, before accepting again
constexpr int kErrorPauseMs = 10;       // after a failed poll, before the next pass
constexpr int kLingerMs = 250;          // draining unread request bytes before the close
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr int kAcceptsPerPass = 64;
constexpr std::size_t kSendSlice = 64 * 1024;  // the most a big answer sends in one pass
// An answer up to this size (a usual picture) is offered to the socket whole: a second pass of
// the loop for its tail cost /image a quarter of its rate natively and up to half under Wine.
constexpr std::size_t kWholeAnswerBytes = 256 * 1024;
// Answers made off the loop (history queries): two at once, a few more waiting; beyond that a
// request is told to come back rather than queued without end.
constexpr std::size_t kAnswerThreads = 2;
constexpr std::size_t kAnswersQueued = 8;
// While such an answer is being made, the loop looks for it this often.
constexpr int kDeferredCheckMs = 2;
// The most bytes of such answers held for their clients at once (an export of 100,000 plays is
// about 10 MB): a client that reads slowly keeps its answer, and new queries are refused while
// the slow ones hold this much.
constexpr std::size_t kDeferredBytesHeld = 48 * 1024 * 1024;

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// One piece of output: its own bytes, or bytes that a shared buffer keeps alive.
struct Piece {
    std::string own;
    SharedBytes keep;
    const char* shared = nullptr;
    std::size_t length = 0;
    std::size_t sent = 0;
    const char* Data() const { return (keep ? shared : own.data()) + sent; }
    std::size_t Left() const { return length - sent; }
};

enum class Phase { Reading, Waiting, Writing, Streaming, Draining, Closed };

// An answer a worker makes: its bytes are the worker's until done is set, the loop's after.
struct DeferredAnswer {
    std::atomic<bool> done{false};
    std::atomic<bool> wanted{true};
    std::string bytes;
};

// Collects what the deferred work writes.
class DeferredSink final : public ResponseSink {
public:
    explicit DeferredSink(DeferredAnswer& answer) : answer_(answer) {}
    bool Send(const void* data, std::size_t length) override {
        if (!StillWanted()) return false;
        answer_.bytes.append(static_cast<const char*>(data), length);
        return true;
    }
    bool StillWanted() override { return answer_.wanted.load(std::memory_order_relaxed); }

private:
    DeferredAnswer& answer_;
};

struct Connection {
    socket_t socket = kInvalidSocket;
    Phase phase = Phase::Reading;
    Clock::time_point deadline;  // of the read, the answer or the drain, by phase
    std::unique_ptr<char[]> request;
    std::size_t length = 0;
    bool ended = false;
    std::deque<Piece> out;
    std::size_t pending = 0;  // bytes queued and not yet sent
    bool drainAfter = false;
    std::size_t drained = 0;
    std::string lastEvent;  // subscribers: the info event they were sent last
    std::shared_ptr<const std::string> nowPlaying;  // subscribers: the nowplaying body sent last
    std::shared_ptr<DeferredAnswer> deferred;  // Waiting: the answer a worker makes
    std::size_t heldBytes = 0;  // of a deferred answer, counted in the loop's bound until the close

    void Queue(std::string_view bytes) {
        if (bytes.empty()) return;
        Piece piece;
        piece.own.assign(bytes);
        piece.length = bytes.size();
        out.push_back(std::move(piece));
        pending += bytes.size();
    }
    void QueueOwned(std::string&& bytes) {
        if (bytes.empty()) return;
        Piece piece;
        piece.length = bytes.size();
        piece.own = std::move(bytes);
        pending += piece.length;
        out.push_back(std::move(piece));
    }
    void QueueShared(const SharedBytes& owner, const void* data, std::size_t size) {
        if (size == 0) return;
        Piece piece;
        piece.keep = owner;
        piece.shared = static_cast<const char*>(data);
        piece.length = size;
        out.push_back(std::move(piece));
        pending += size;
    }
};

// What HandleRequest writes goes into the connection's output, sent as the socket allows.
class ConnectionSink final : public ResponseSink {
public:
    // defer hands work to the loop's workers; empty when they may take no more.
    ConnectionSink(Connection& c, bool room, std::function<bool(std::function<void()>)> defer)
        : c_(c), room_(room), defer_(std::move(defer)) {}
    bool Send(const void* data, std::size_t length) override {
        c_.Queue({static_cast<const char*>(data), length});
        return true;
    }
    bool SendShared(const SharedBytes& owner, const void* data, std::size_t length) override {
        if (owner) c_.QueueShared(owner, data, length);
        else c_.Queue({static_cast<const char*>(data), length});
        return true;
    }
    bool Subscribe(std::string_view lastEvent) override {
        if (!room_) return false;  // the streams' share is taken: this one ends after its first event
        subscribed_ = true;
        c_.lastEvent.assign(lastEvent);
        return true;
    }
    void SentNowPlaying(const std::shared_ptr<const std::string>& body) override { c_.nowPlaying = body; }
    bool Defer(std::function<void(ResponseSink&)> work) override {
        if (!defer_) return false;
        auto answer = std::make_shared<DeferredAnswer>();
        auto job = [answer, work = std::move(work)] {
            DeferredSink sink(*answer);
            if (sink.StillWanted()) work(sink);
            answer->done.store(true, std::memory_order_release);
        };
        if (!defer_(std::move(job))) return false;
        c_.deferred = std::move(answer);
        return true;
    }
    bool Subscribed() const { return subscribed_; }

private:
    Connection& c_;
    bool room_;
    std::function<bool(std::function<void()>)> defer_;
    bool subscribed_ = false;
};

bool HeaderBlockEnded(const char* request, std::size_t length) {
    const std::string_view text(request, length);
    return text.find("\r\n\r\n") != std::string_view::npos || text.find("\n\n") != std::string_view::npos;
}

// One run of the server. The thread holds its own reference, so a thread that outlives the
// bounded wait at stop still only touches state that stays valid.
struct ServerRun {
    WebContext context;
    std::atomic<bool> running{false};
    // The thread closes the listener when it leaves its loop; stop only shuts it down (waking the
    // thread's wait where the platform allows), so a handle is never closed under a waiting call.
    std::mutex listenerLock;
    socket_t listener = kInvalidSocket;
    socket_t spare = kInvalidSocket;  // the loop's alone once it runs; closed with the listener
    int port = 0;
    WebSlots slots;
    std::mutex doneLock;
    std::condition_variable doneCv;
    bool done = false;
    AnswerWorkers workers{kAnswerThreads, kAnswersQueued};
};

class Loop {
public:
    explicit Loop(ServerRun& run) : run_(run) {}

    void Run() {
        auto nextHeartbeat = Clock::now() + milliseconds(HeartbeatMs());
        auto nextCheck = Clock::now();
        auto acceptAgain = Clock::now();
        // What is on air at the start is what the first changes are told apart from: a change of
        // listeners alone before the first check is still one.
        const WebContext& ctx = run_.context;
        if (ctx.board != nullptr && ctx.nowPlayingCache) nowPlaying_ = ReadNowPlaying(*ctx.board, *ctx.nowPlayingCache);
        std::vector<PollItem> items;
        while (run_.running.load(std::memory_order_acquire)) {
            auto now = Clock::now();
            const bool listening = now >= acceptAgain;
            items.clear();
            items.push_back({run_.listener, listening ? kPollRead : 0u, 0});
            auto wake = now + milliseconds(kIdleWaitMs);
            if (!listening) wake = std::min(wake, acceptAgain);
            for (const auto& c : conns_) {
                unsigned want = 0;
                if (c->phase != Phase::Writing && c->phase != Phase::Waiting) want |= kPollRead;
                if (c->pending > 0) want |= kPollWrite;
                items.push_back({c->socket, want, 0});
                if (c->phase != Phase::Streaming) wake = std::min(wake, c->deadline);
                if (c->phase == Phase::Waiting) wake = std::min(wake, now + milliseconds(kDeferredCheckMs));
            }
            if (subscribers_ > 0) wake = std::min({wake, nextCheck, nextHeartbeat});
            const auto waitMs = std::chrono::duration_cast<milliseconds>(wake - now).count() + 1;
            const int ready = PollSockets(items.data(), items.size(), waitMs < 1 ? 0 : static_cast<int>(waitMs));
            if (!run_.running.load(std::memory_order_acquire)) break;
            // A failing poll would otherwise make this a busy spin; every deadline still holds.
            if (ready < 0) std::this_thread::sleep_for(milliseconds(kErrorPauseMs));
            now = Clock::now();
            const std::size_t polled = items.size() - 1;
            for (std::size_t i = 0; i < polled; ++i) {
                Connection& c = *conns_[i];
                const unsigned seen = ready > 0 ? items[i + 1].seen : 0u;
                if (c.phase == Phase::Waiting && (seen & kPollError) != 0) Close(c);  // gone: its query ends
                if ((seen & (kPollRead | kPollError)) != 0) OnReadable(c, now);
                if ((seen & (kPollWrite | kPollError)) != 0 && c.pending > 0) Flush(c, now);
                if (c.phase == Phase::Waiting) TakeDeferred(c, now);
                OnTime(c, now);
            }
            Sweep();  // the slots of the connections closed in this pass are free for new ones
            if (listening && ready > 0 && items[0].seen != 0) AcceptAll(now, acceptAgain);
            if (subscribers_ > 0 && now >= nextCheck) {
                nextCheck = now + milliseconds(CheckMs());
                Broadcast(now);
            }
            if (now >= nextHeartbeat) {
                nextHeartbeat = now + milliseconds(HeartbeatMs());
                for (auto& c : conns_) {
                    if (c->phase == Phase::Streaming) Push(*c, WebHeartbeat(), now);
                }
            }
            Sweep();
        }
        for (auto& c : conns_) {
            if (c->deferred) c->deferred->wanted.store(false, std::memory_order_relaxed);
            CloseSocket(c->socket);
        }
        conns_.clear();
    }

private:
    int CheckMs() const { return run_.context.eventCheckMs > 0 ? run_.context.eventCheckMs : 50; }
    int HeartbeatMs() const { return run_.context.heartbeatMs > 0 ? run_.context.heartbeatMs : 15000; }
    int ReceiveMs() const {
        return run_.context.receiveTimeoutMs > 0 ? run_.context.receiveTimeoutMs : kWebReceiveTimeoutMs;
    }
    int SendMs() const {
        return run_.context.sendTimeoutMs > 0 ? run_.context.sendTimeoutMs : kWebSendTimeoutMs;
    }
    int QueryWaitMs() const { return run_.context.queryWaitMs > 0 ? run_.context.queryWaitMs : 10000; }
    int ListenersEventMs() const { return run_.context.listenersEventMs >= 0 ? run_.context.listenersEventMs : 30000; }

    void AcceptAll(Clock::time_point now, Clock::time_point& acceptAgain) {
        for (int i = 0; i < kAcceptsPerPass; ++i) {
            const Accepted taken = AcceptNow(run_.listener, run_.spare);
            if (taken.shed) continue;  // no descriptor for it: closed at once, never left waiting
            const socket_t s = taken.socket;
            if (s == kInvalidSocket) {
                // A broken listener (or one out of handles) would otherwise make this a busy spin.
                if (taken.failed) acceptAgain = now + milliseconds(kAcceptPauseMs);
                return;
            }
            if (open_ >= run_.slots.connections) {
                CloseSocket(s);  // over the cap: closed at once, never left waiting
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->socket = s;
            c->deadline = now + milliseconds(ReceiveMs());
            c->request.reset(new char[kWebRequestBytes]);  // not zeroed: only what was read is looked at
            conns_.push_back(std::move(c));
            ++open_;
            // The request has usually arrived by now: read it without waiting for the next pass.
            OnReadable(*conns_.back(), now);
        }
    }

    void Close(Connection& c) {
        if (c.phase == Phase::Closed) return;
        if (c.phase == Phase::Streaming) --subscribers_;
        if (c.deferred) c.deferred->wanted.store(false, std::memory_order_relaxed);
        c.deferred.reset();
        deferredHeld_ -= c.heldBytes;
        c.heldBytes = 0;
        --open_;
        CloseSocket(c.socket);
        c.phase = Phase::Closed;
        c.out.clear();
        c.pending = 0;
    }

    void Sweep() {
        conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->phase == Phase::Closed; }),
                     conns_.end());
    }

    void OnReadable(Connection& c, Clock::time_point now) {
        if (c.phase == Phase::Reading) {
            while (c.length < kWebRequestBytes) {
                const long n = TryReceive(c.socket, c.request.get() + c.length, kWebRequestBytes - c.length);
                if (n == kWouldBlock) return;
                if (n <= 0) {
                    // The client stopped sending: answer what came, if anything did.
                    if (c.length > 0) Answer(c, now);
                    else Close(c);
                    return;
                }
                // The end may straddle two pieces: look again from a little before the new bytes.
                const std::size_t from = c.length < 3 ? 0 : c.length - 3;
                c.length += static_cast<std::size_t>(n);
                c.ended = HeaderBlockEnded(c.request.get() + from, c.length - from);
                if (c.ended) break;
            }
            Answer(c, now);
            return;
        }
        if (c.phase == Phase::Draining || c.phase == Phase::Streaming) {
            // Unread input is taken and dropped: a close with unread input resets the connection.
            char scratch[4096];
            for (int i = 0; i < 4; ++i) {
                const long n = TryReceive(c.socket, scratch, sizeof scratch);
                if (n == kWouldBlock) return;
                if (n <= 0) {
                    Close(c);
                    return;
                }
                c.drained += static_cast<std::size_t>(n);
                if (c.phase == Phase::Draining && c.drained >= kLingerBytes) {
                    Close(c);
                    return;
                }
            }
        }
    }

    void Answer(Connection& c, Clock::time_point now) {
        std::function<bool(std::function<void()>)> defer;
        if (deferredHeld_ < kDeferredBytesHeld) {
            defer = [this](std::function<void()> job) { return run_.workers.Offer(std::move(job)); };
        }
        ConnectionSink sink(c, subscribers_ < run_.slots.streams, std::move(defer));
        HandleRequest(run_.context, c.request.get(), c.length, sink);
        // The client may still be sending: closing a socket with unread input makes the system
        // reset the connection, and a reset can destroy the answer before the client read it.
        c.drainAfter = !c.ended || c.length >= kWebRequestBytes;
        c.request.reset();
        if (c.deferred) {
            c.phase = Phase::Waiting;
            c.deadline = now + milliseconds(QueryWaitMs());
            return;
        }
        if (sink.Subscribed()) {
            c.phase = Phase::Streaming;
            ++subscribers_;
        } else if (c.pending == 0) {
            Close(c);  // no answer (an empty request, a method other than GET)
            return;
        } else {
            c.phase = Phase::Writing;
            c.deadline = now + milliseconds(SendMs());
        }
        Flush(c, now);
    }

    // Sends what the socket takes now: a small answer whole, a big one a slice per pass so that
    // it does not hold up the others; the rest waits for the next pass.
    void Flush(Connection& c, Clock::time_point now) {
        std::size_t budget = c.pending <= kWholeAnswerBytes ? c.pending : kSendSlice;
        while (c.pending > 0 && budget > 0) {
            SendPiece pieces[kMaxSendPieces];
            std::size_t count = 0;
            std::size_t asked = 0;
            for (const Piece& p : c.out) {
                if (count == kMaxSendPieces || asked == budget) break;
                const std::size_t take = std::min(p.Left(), budget - asked);
                pieces[count++] = {p.Data(), take};
                asked += take;
            }
            const long n = SendOnce(c.socket, pieces, count);
            if (n == kWouldBlock || n == 0) return;
            if (n < 0) {
                Close(c);
                return;
            }
            auto sent = static_cast<std::size_t>(n);
            // A long answer made for this client (an export) may take as long as the client
            // keeps reading: its deadline counts from the last progress.
            if (c.heldBytes > 0) c.deadline = now + milliseconds(SendMs());
            c.pending -= sent;
            budget -= sent;
            while (sent > 0) {
                Piece& p = c.out.front();
                const std::size_t step = std::min(sent, p.Left());
                p.sent += step;
                sent -= step;
                if (p.Left() == 0) c.out.pop_front();
            }
        }
        if (c.pending > 0 || c.phase != Phase::Writing) return;
        if (!c.drainAfter) {
            Close(c);
            return;
        }
        ShutdownSend(c.socket);
        c.phase = Phase::Draining;
        c.drained = 0;
        c.deadline = now + milliseconds(kLingerMs);
    }

    // A worker finished the answer: it goes out like any other.
    void TakeDeferred(Connection& c, Clock::time_point now) {
        if (!c.deferred->done.load(std::memory_order_acquire)) return;
        std::string bytes = std::move(c.deferred->bytes);
        c.deferred.reset();
        if (bytes.empty()) {
            Close(c);
            return;
        }
        c.heldBytes = bytes.size();
        deferredHeld_ += c.heldBytes;
        c.QueueOwned(std::move(bytes));
        c.phase = Phase::Writing;
        c.deadline = now + milliseconds(SendMs());
        Flush(c, now);
    }

    void OnTime(Connection& c, Clock::time_point now) {
        if (c.phase == Phase::Closed || c.phase == Phase::Streaming || now < c.deadline) return;
        if (c.phase == Phase::Waiting) {
            // The query took too long: its client is told to come back, and the worker's
            // answer, when it comes, is dropped.
            c.deferred->wanted.store(false, std::memory_order_relaxed);
            c.deferred.reset();
            c.Queue(WebBusyAnswer());
            c.phase = Phase::Writing;
            c.deadline = now + milliseconds(SendMs());
            Flush(c, now);
            return;
        }
        if (c.phase == Phase::Reading && c.length > 0) Answer(c, now);  // answered from what came
        else Close(c);  // a silent client, an answer not taken in time, or the drain is over
    }

    // A subscriber that leaves too much unread is dropped rather than buffered without end.
    void Push(Connection& c, std::string_view bytes, Clock::time_point now) {
        if (c.pending + bytes.size() > kWebSubscriberBacklog) {
            Close(c);
            return;
        }
        c.Queue(bytes);
        Flush(c, now);
    }

    void Broadcast(Clock::time_point now) {
        std::string event = WebInfoEvent(run_.context);
        if (event != lastBroadcast_) {
            lastBroadcast_ = std::move(event);
            for (auto& c : conns_) {
                if (c->phase != Phase::Streaming || c->lastEvent == lastBroadcast_) continue;
                c->lastEvent = lastBroadcast_;
                Push(*c, lastBroadcast_, now);
            }
        }
        BroadcastNowPlaying(now);
    }

    // The board's body is compared by identity: the cache hands out the same one until the
    // board's versions change, so a quiet board costs a version check per pass.
    void BroadcastNowPlaying(Clock::time_point now) {
        const WebContext& ctx = run_.context;
        if (ctx.board == nullptr || !ctx.nowPlayingCache) return;
        const NowPlayingBody current = ReadNowPlaying(*ctx.board, *ctx.nowPlayingCache);
        if (current.body == nowPlaying_.body) return;
        const bool titles = current.titlesVersion != nowPlaying_.titlesVersion;
        if (!titles && now < nextListenersEvent_) return;  // listeners alone: at most once a period
        if (!titles) nextListenersEvent_ = now + milliseconds(ListenersEventMs());
        nowPlaying_ = current;
        std::string bytes;
        for (auto& c : conns_) {
            if (c->phase != Phase::Streaming || c->nowPlaying == current.body) continue;
            if (bytes.empty()) bytes = WebNowPlayingEvent(*current.body);
            c->nowPlaying = current.body;
            Push(*c, bytes, now);
        }
    }

    ServerRun& run_;
    std::vector<std::unique_ptr<Connection>> conns_;
    // The cap counts connections still open: one closed during this pass (a stream over the
    // share, answered within the accepts) keeps its entry until the sweep, but not its slot.
    std::size_t open_ = 0;
    std::size_t subscribers_ = 0;
    std::string lastBroadcast_;
    NowPlayingBody nowPlaying_;  // the nowplaying body pushed last
    Clock::time_point nextListenersEvent_{};
    std::size_t deferredHeld_ = 0;  // bytes of deferred answers the open connections hold
};

std::mutex gServerLock;  // guards gServer and gServerThread
std::shared_ptr<ServerRun> gServer;
std::thread gServerThread;

void ServerLoop(std::shared_ptr<ServerRun> run) {
    Loop(*run).Run();
    {
        std::lock_guard<std::mutex> guard(run->listenerLock);
        CloseSocket(run->listener);
        run->listener = kInvalidSocket;
        CloseSocket(run->spare);
        run->spare = kInvalidSocket;
    }
    std::lock_guard<std::mutex> guard(run->doneLock);
    run->done = true;
    run->doneCv.notify_all();
}

}  // namespace

bool StartWebServer(WebContext& context, int port, std::string_view listenAddress) {
    std::lock_guard<std::mutex> guard(gServerLock);
    if (gServer) return false;  // one server per process
    if (port < 0 || port > 65535 || context.settings == nullptr || context.covers == nullptr ||
        context.snapshot == nullptr) {
        return false;
    }
    if (!InitSockets()) return false;
    std::uint32_t address = 0;  // not an address: every interface, as without one
    ParseIpv4(listenAddress, &address);
    socket_t listener = OpenListener(port, address);
    if (listener != kInvalidSocket && !MakeNonBlocking(listener)) {
        CloseSocket(listener);
        listener = kInvalidSocket;
    }
    if (listener == kInvalidSocket) {
        CleanupSockets();
        return false;
    }
    auto run = std::make_shared<ServerRun>();
    run->context = context;
    if (!run->context.nowPlayingCache) run->context.nowPlayingCache = std::make_shared<NowPlayingCache>();
    run->listener = listener;
    run->port = LocalPort(listener);
    // Counted with the listener and the spare open, as they stay for the whole run.
    run->spare = OpenSpareDescriptor();
    run->slots = WebSlotsFor(DescriptorsLeft());
    run->running.store(true, std::memory_order_release);
    try {
        gServerThread = std::thread(ServerLoop, run);
    } catch (const std::system_error&) {
        // Nothing else holds the socket yet, so it is closed here rather than left for stop.
        CloseSocket(listener);
        CloseSocket(run->spare);
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
        // Wakes the loop's wait at once on Linux; elsewhere its own time-out ends the wait.
        std::lock_guard<std::mutex> guard(run->listenerLock);
        if (run->listener != kInvalidSocket) ShutdownBoth(run->listener);
    }
    const auto start = Clock::now();
    bool ended;
    {
        std::unique_lock<std::mutex> lock(run->doneLock);
        ended = run->doneCv.wait_for(lock, milliseconds(kWebStopWaitMs), [&] { return run->done; });
    }
    // A query under way was told to stop with its connection; it gets what is left of the bound
    // (a worker still busy after it keeps only its own job alive).
    const auto spent = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    run->workers.Stop(static_cast<int>(std::max<long long>(0, kWebStopWaitMs - 100 - spent)));
    if (ended) {
        thread.join();
        CleanupSockets();
    } else {
        // Still busy after the bounded wait: the thread keeps its run, its connections and the
        // socket library until it ends or the process does.
        thread.detach();
    }
}

int WebServerPort() {
    std::lock_guard<std::mutex> guard(gServerLock);
    return gServer ? gServer->port : 0;
}

WebSlots WebSlotsFor(std::size_t descriptorsLeft) {
    WebSlots slots;
    slots.connections = kMaxPolledConnections;
    if (descriptorsLeft != kNoDescriptorLimit) {
        const std::size_t usable = descriptorsLeft > kWebDescriptorReserve ? descriptorsLeft - kWebDescriptorReserve : 0;
        slots.connections = std::clamp(usable, kWebMinConnections, kMaxPolledConnections);
    }
    slots.streams = slots.connections - slots.connections / 8;
    return slots;
}

WebSlots WebServerSlots() {
    std::lock_guard<std::mutex> guard(gServerLock);
    return gServer ? gServer->slots : WebSlots{};
}
