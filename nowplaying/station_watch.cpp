#include "nowplaying/station_watch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/text.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A request with less than this left before the round's end is not started: it could not
// finish, and the channel's title then comes from the status document.
constexpr auto kLeastRequestTime = std::chrono::milliseconds(100);

// What became of a channel's endpoint in the current round.
enum class Asked : std::uint8_t {
    kNo,        // not asked (the channel on show, left out while backed off, or still in flight)
    kWaiting,   // queued or in flight
    kAnswered,  // gave a title
    kFailed,    // gave nothing: the status document's title stands
};

struct ChannelWatch {
    std::string id;
    std::string endpoint;
    std::string statusUrl;  // empty: none can be built
    bool inFlight = false;
    int slowFailures = 0;       // hanging answers in a row
    std::uint64_t dueRound = 0;  // left out before this round
    std::uint64_t round = 0;     // the round `asked` belongs to
    Asked asked = Asked::kNo;
};

struct StatusWatch {
    std::string url;
    bool inFlight = false;
    int slowFailures = 0;
    std::uint64_t dueRound = 0;
    int failedRounds = 0;
    std::uint64_t round = 0;          // the round the titles below were read in; 0: none
    std::vector<std::string> titles;  // by channel row; empty where the document has none
};

struct Task {
    bool status = false;   // the status document at `url`, else the endpoint of channel `row`
    bool healthy = false;  // an endpoint that answered last time it was asked
    std::size_t row = 0;
    std::string url;       // the endpoint or the document
    std::string id;        // the channel's id (endpoint tasks)
    std::uint64_t round = 0;
    Clock::time_point deadline;
};

// A status document's channels: their rows and ids, and what the document says of each.
struct StatusReading {
    std::vector<std::size_t> rows;
    std::vector<std::string> ids;
    std::vector<std::string> titles;
    std::vector<std::int64_t> listeners;
};

std::int64_t SystemUtcSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int BackoffRounds(int slowFailures) {
    return std::min(1 << std::clamp(slowFailures - 1, 0, 4), kWatchMaxBackoffRounds);
}

std::int32_t SelectedRow(const StationBoard& board) {
    const std::lock_guard<std::mutex> hold(board.lock);
    return board.selected;
}

}  // namespace

struct StationWatch::Shared {
    Shared(Settings& s, StationBoard& b, StationWatchOptions o) : settings(s), board(b), options(std::move(o)) {}

    Settings& settings;
    StationBoard& board;
    const StationWatchOptions options;
    std::atomic<bool> stopping{false};  // the requests' cancel check reads it without the lock
    // Healthy endpoints waiting in the queue (kept with it under the lock; read by the checks).
    std::atomic<int> healthyQueued{0};

    std::mutex lock;
    std::condition_variable wake;   // tasks queued, or the stop
    std::condition_variable ended;  // a thread ended
    // Guarded by lock. Once stop is set no thread touches settings or board again.
    bool stop = false;
    int running = 0;
    std::uint64_t round = 0;
    std::deque<Task> queue;
    std::vector<ChannelWatch> channels;  // by row of the channel table
    std::vector<StatusWatch> statuses;   // one per distinct document

    std::int64_t UtcNow() const { return options.utcNow ? options.utcNow() : SystemUtcSeconds(); }
};

namespace {

using Shared = StationWatch::Shared;

struct TableRow {
    std::string id;
    std::string endpoint;
    std::string statusUrl;
};

std::vector<TableRow> CopyTable(const Settings& settings) {
    std::vector<TableRow> rows;
    const std::lock_guard<std::mutex> hold(settings.lock);
    const ChannelTable& table = settings.config.channels;
    const int count = std::clamp<int>(table.count, 0, MAX_CHANNELS);
    rows.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const Channel& ch = table.entries[i];
        TableRow row;
        row.id = View(ch.id);
        row.endpoint = View(ch.endpoint);
        char url[512];
        if (BuildStatusUrl(ch.endpoint, settings.config.status_url, url, sizeof url)) row.statusUrl = url;
        rows.push_back(std::move(row));
    }
    return rows;
}

// The listeners of the channels of a status document that is not coming: unknown.
void ForgetListeners(Shared& shared, const std::string& statusUrl) {
    for (std::size_t i = 0; i < shared.channels.size(); ++i) {
        if (shared.channels[i].statusUrl == statusUrl) SetBoardListeners(shared.board, static_cast<std::int32_t>(i), kListenersUnknown);
    }
}

// Sets up round `shared.round` under the lock: the table as it now stands, then the queue in
// its order (status documents, channels that answered last time, then the ones that hung).
void PlanRound(Shared& shared, Clock::time_point deadline) {
    const std::vector<TableRow> rows = CopyTable(shared.settings);
    const std::int32_t selected = SelectedRow(shared.board);
    const std::uint64_t round = ++shared.round;

    shared.channels.resize(rows.size());
    std::vector<StatusWatch> statuses;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ChannelWatch& ch = shared.channels[i];
        if (ch.id != rows[i].id || ch.endpoint != rows[i].endpoint || ch.statusUrl != rows[i].statusUrl) {
            // A reloaded table: a request still in flight for the old row is recognised by its
            // id and endpoint and ignored.
            ch = ChannelWatch{};
            ch.id = rows[i].id;
            ch.endpoint = rows[i].endpoint;
            ch.statusUrl = rows[i].statusUrl;
        }
        ch.round = round;
        ch.asked = Asked::kNo;
        if (ch.statusUrl.empty()) continue;
        const auto same = [&](const StatusWatch& s) { return s.url == ch.statusUrl; };
        if (std::find_if(statuses.begin(), statuses.end(), same) != statuses.end()) continue;
        auto old = std::find_if(shared.statuses.begin(), shared.statuses.end(), same);
        if (old != shared.statuses.end()) {
            statuses.push_back(std::move(*old));
        } else {
            statuses.emplace_back();
            statuses.back().url = ch.statusUrl;
        }
    }
    shared.statuses = std::move(statuses);

    // Whatever the last round could not start is dropped: this round asks afresh.
    shared.queue.clear();
    for (StatusWatch& s : shared.statuses) {
        s.titles.assign(rows.size(), std::string());
        s.round = 0;
        if (s.inFlight || s.dueRound > round) {
            // A round without the document counts as a failed one for the listeners.
            if (++s.failedRounds > kWatchListenersKeptRounds) ForgetListeners(shared, s.url);
            continue;
        }
        Task task;
        task.status = true;
        task.url = s.url;
        task.round = round;
        task.deadline = deadline;
        shared.queue.push_back(std::move(task));
    }
    for (const bool healthy : {true, false}) {
        for (std::size_t i = 0; i < shared.channels.size(); ++i) {
            ChannelWatch& ch = shared.channels[i];
            if (static_cast<std::int32_t>(i) == selected || ch.inFlight || ch.dueRound > round) continue;
            if ((ch.slowFailures == 0) != healthy) continue;
            if (ch.endpoint.empty()) {
                ch.asked = Asked::kFailed;
                continue;
            }
            ch.asked = Asked::kWaiting;
            Task task;
            task.healthy = healthy;
            task.row = i;
            task.url = ch.endpoint;
            task.id = ch.id;
            task.round = round;
            task.deadline = deadline;
            shared.queue.push_back(std::move(task));
        }
    }
    shared.healthyQueued = static_cast<int>(
        std::count_if(shared.queue.begin(), shared.queue.end(), [](const Task& t) { return t.healthy; }));
}

// The channel an endpoint task was for, when the table still has it.
ChannelWatch* TaskChannel(Shared& shared, const Task& task) {
    if (task.row >= shared.channels.size()) return nullptr;
    ChannelWatch& ch = shared.channels[task.row];
    return ch.id == task.id && ch.endpoint == task.url ? &ch : nullptr;
}

StatusWatch* TaskStatus(Shared& shared, const Task& task) {
    for (StatusWatch& s : shared.statuses) {
        if (s.url == task.url) return &s;
    }
    return nullptr;
}

void NoteSlowFailure(int& slowFailures, std::uint64_t& dueRound, std::uint64_t round) {
    ++slowFailures;
    dueRound = round + 1 + static_cast<std::uint64_t>(BackoffRounds(slowFailures));
}

// The status document's title for a channel whose endpoint gave nothing this round.
void TitleFromStatus(Shared& shared, std::size_t row, const ChannelWatch& ch) {
    if (static_cast<std::int32_t>(row) == SelectedRow(shared.board)) return;
    for (const StatusWatch& s : shared.statuses) {
        if (s.url != ch.statusUrl || s.round != ch.round || row >= s.titles.size()) continue;
        if (!s.titles[row].empty()) SetBoardTitle(shared.board, static_cast<std::int32_t>(row), s.titles[row], shared.UtcNow());
        return;
    }
}

// Asks the endpoint; under the lock afterwards, the title goes to the board.
void RunEndpoint(Shared& shared, HttpSession* session, const Task& task, std::atomic<Clock::rep>& began,
                 std::unique_lock<std::mutex>& hold) {
    hold.unlock();
    char text[TITLE_TEXT_BYTES] = {};
    const Clock::time_point start = Clock::now();
    const bool started = session != nullptr && task.deadline - start >= kLeastRequestTime;
    bool ok = false;
    if (started) {
        session->SetTimeouts(kNowPlayingConnectTimeoutMs, kNowPlayingReceiveTimeoutMs);
        session->SetDeadline(task.deadline);
        began = start.time_since_epoch().count();
        ok = ReadEndpointTitle(*session, task.url.c_str(), text);
        began = 0;
    }
    const auto took = Clock::now() - start;
    hold.lock();
    if (shared.stop) return;
    ChannelWatch* ch = TaskChannel(shared, task);
    if (ch == nullptr) return;
    ch->inFlight = false;
    if (ok) {
        ch->slowFailures = 0;
        if (ch->round == task.round) ch->asked = Asked::kAnswered;
        if (static_cast<std::int32_t>(task.row) != SelectedRow(shared.board)) {
            SetBoardTitle(shared.board, static_cast<std::int32_t>(task.row), text, shared.UtcNow());
        }
        return;
    }
    if (started && took >= std::chrono::milliseconds(kWatchSlowFailureMs)) {
        NoteSlowFailure(ch->slowFailures, ch->dueRound, task.round);
    } else if (started) {
        ch->slowFailures = 0;  // it answers, only not with a title
    }
    if (ch->round != task.round) return;
    ch->asked = Asked::kFailed;
    TitleFromStatus(shared, task.row, *ch);
}

// Fetches the status document; under the lock afterwards, every channel it serves gets its
// listeners, and those whose endpoint gave nothing this round its title.
void RunStatus(Shared& shared, HttpSession* session, const Task& task, std::unique_lock<std::mutex>& hold) {
    StatusReading reading;
    for (std::size_t i = 0; i < shared.channels.size(); ++i) {
        if (shared.channels[i].statusUrl != task.url) continue;
        reading.rows.push_back(i);
        reading.ids.push_back(shared.channels[i].id);
    }
    hold.unlock();
    const Clock::time_point start = Clock::now();
    bool ok = false;
    if (session != nullptr && task.deadline - start >= kLeastRequestTime) {
        const std::unique_ptr<char[]> body(new (std::nothrow) char[STATUS_BODY_BYTES]);
        std::size_t held = 0;
        if (body) {
            session->SetTimeouts(kNowPlayingConnectTimeoutMs, kNowPlayingReceiveTimeoutMs);
            session->SetDeadline(task.deadline);
            ok = FetchStatusDocument(*session, task.url.c_str(), body.get(), held, [] { return Clock::now(); },
                                     task.deadline);
        }
        if (ok) {
            const std::string_view doc(body.get(), held);
            for (const std::string& id : reading.ids) {
                char text[TITLE_TEXT_BYTES] = {};
                reading.titles.emplace_back(ExtractStatusJsonTitle(doc, id.c_str(), text) ? text : "");
                reading.listeners.push_back(ExtractStatusJsonListeners(doc, id.c_str()));
            }
        }
    }
    const auto took = Clock::now() - start;
    hold.lock();
    if (shared.stop) return;
    StatusWatch* s = TaskStatus(shared, task);
    if (s == nullptr) return;
    s->inFlight = false;
    const bool sameChannels = [&] {
        for (std::size_t k = 0; k < reading.rows.size(); ++k) {
            const std::size_t row = reading.rows[k];
            if (row >= shared.channels.size() || shared.channels[row].id != reading.ids[k]) return false;
        }
        return true;
    }();
    if (!ok) {
        if (took >= std::chrono::milliseconds(kWatchSlowFailureMs)) NoteSlowFailure(s->slowFailures, s->dueRound, task.round);
        if (++s->failedRounds > kWatchListenersKeptRounds) ForgetListeners(shared, task.url);
        return;
    }
    s->slowFailures = 0;
    s->failedRounds = 0;
    if (!sameChannels) return;  // the table changed meanwhile: the next round reads it again
    const bool current = task.round == shared.round;
    if (current) {
        s->round = task.round;
        s->titles.assign(shared.channels.size(), std::string());
    }
    const std::int32_t selected = SelectedRow(shared.board);
    for (std::size_t k = 0; k < reading.rows.size(); ++k) {
        const std::size_t row = reading.rows[k];
        const auto boardRow = static_cast<std::int32_t>(row);
        SetBoardListeners(shared.board, boardRow, reading.listeners[k] >= 0 ? reading.listeners[k] : kListenersUnknown);
        if (!current) continue;
        s->titles[row] = std::move(reading.titles[k]);
        const ChannelWatch& ch = shared.channels[row];
        if (boardRow == selected || (ch.asked != Asked::kNo && ch.asked != Asked::kFailed)) continue;
        if (!s->titles[row].empty()) SetBoardTitle(shared.board, boardRow, s->titles[row], shared.UtcNow());
    }
}

void EndThread(Shared& shared, std::unique_lock<std::mutex>& hold) {
    if (!hold.owns_lock()) hold.lock();
    --shared.running;
    shared.ended.notify_all();
}

void RunWorker(const std::shared_ptr<Shared>& shared) {
    std::unique_ptr<HttpSession> session;
    // When this worker's endpoint request began (steady clock ticks), 0 while none runs.
    const auto began = std::make_shared<std::atomic<Clock::rep>>(0);
    std::unique_lock<std::mutex> hold(shared->lock);
    for (;;) {
        shared->wake.wait(hold, [&] { return shared->stop || !shared->queue.empty(); });
        if (shared->stop) break;
        Task task = std::move(shared->queue.front());
        shared->queue.pop_front();
        if (task.healthy) --shared->healthyQueued;
        if (task.status) {
            StatusWatch* s = TaskStatus(*shared, task);
            if (s == nullptr) continue;
            s->inFlight = true;
        } else {
            ChannelWatch* ch = TaskChannel(*shared, task);
            if (ch == nullptr) continue;
            ch->inFlight = true;
        }
        if (!session) {
            hold.unlock();
            session = shared->options.openSession ? shared->options.openSession(NOW_PLAYING_USER_AGENT)
                                                  : OpenHttpSession(NOW_PLAYING_USER_AGENT);
            if (session) {
                Shared* raw = shared.get();  // this thread's own reference keeps it alive
                // A request that has gone unanswered for a slow failure's time while healthy
                // channels wait for a slot gives its slot up: it counts as hanging.
                session->SetCancelCheck([raw, began] {
                    if (raw->stopping.load()) return true;
                    const Clock::rep t = began->load();
                    return t != 0 && raw->healthyQueued.load() > 0 &&
                           Clock::now() - Clock::time_point(Clock::duration(t)) >=
                               std::chrono::milliseconds(kWatchSlowFailureMs);
                });
            }
            hold.lock();
        }
        if (task.status) {
            RunStatus(*shared, session.get(), task, hold);
        } else {
            RunEndpoint(*shared, session.get(), task, *began, hold);
        }
        if (shared->stop) break;
    }
    hold.unlock();
    session.reset();  // a WinINet session may take a moment to close: not under the lock
    EndThread(*shared, hold);
}

void RunRounds(const std::shared_ptr<Shared>& shared) {
    std::unique_lock<std::mutex> hold(shared->lock);
    while (!shared->stop) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(shared->options.roundMs);
        PlanRound(*shared, deadline);
        shared->wake.notify_all();
        shared->wake.wait_until(hold, deadline, [&] { return shared->stop; });
    }
    EndThread(*shared, hold);
}

}  // namespace

StationWatch::StationWatch(Settings& settings, StationBoard& board, StationWatchOptions options)
    : shared_(std::make_shared<Shared>(settings, board, std::move(options))) {
    const int workers = std::clamp(shared_->options.parallel, 1, MAX_CHANNELS);
    const std::lock_guard<std::mutex> hold(shared_->lock);
    for (int i = 0; i <= workers; ++i) {
        try {
            if (i == 0) {
                std::thread(RunRounds, shared_).detach();
            } else {
                std::thread(RunWorker, shared_).detach();
            }
            ++shared_->running;
        } catch (...) {
            // Fewer workers (or none): the board keeps what the window's refresh gives it.
        }
    }
}

StationWatch::~StationWatch() { Stop(kStopWaitMs); }

bool StationWatch::Stop(int timeoutMs) {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->stop = true;
    shared_->stopping = true;
    shared_->queue.clear();
    shared_->healthyQueued = 0;
    shared_->wake.notify_all();
    return shared_->ended.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                   [this] { return shared_->running == 0; });
}
