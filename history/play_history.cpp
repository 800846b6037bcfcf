#include "history/play_history.hpp"

#include "history/play_store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A full queue refuses records rather than waiting: 32 channels change titles every few minutes,
// so this many only pile up while the disk has stalled for hours.
constexpr std::size_t kQueueMax = 20000;
// Records applied in one transaction: one commit per wake-up, bounded so a backlog still commits
// in steps.
constexpr std::size_t kBatchMax = 512;
constexpr std::int64_t kDaySeconds = 86400;
// Reading connections kept open between queries.
constexpr std::size_t kIdleReadersMax = 4;
constexpr int kReadBusyMs = 2000;
// Longer texts are not a title (the board's come from bounded buffers): such a record is refused.
constexpr std::size_t kTextMax = 4096;

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Job {
    enum Kind { Play, Listeners, Close } kind = Play;
    PlayRecord play;  // Listeners: channelId and listenersMost; Close: started is the stop time
};

// Where a channel's play going on lives: its row in the file or in the memory store.
struct OpenPlay {
    std::int64_t id = 0;
    bool inFile = false;
    std::int64_t most = kPlayNone;
};

// A change to a row of the file made while the file could not be written.
struct PendingEnd {
    std::int64_t ended = kPlayNone;
    std::int64_t most = kPlayNone;
};

std::string UtcStamp(std::int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds t{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<std::chrono::seconds> time{t - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::filesystem::path WithSuffix(const std::filesystem::path& file, std::string_view suffix) {
    std::filesystem::path out = file;
    out += std::string(suffix);
    return out;
}

}  // namespace

class PlayHistory {
public:
    explicit PlayHistory(const PlayHistoryOptions& options) : options_(options) {}
    ~PlayHistory() {
        for (sqlite3* db : idleReaders_) sqlite3_close_v2(db);
    }

    void Start(std::shared_ptr<PlayHistory> self) {
        memory_.OpenMemory();
        writer_ = std::thread([self] { self->Run(); });
    }

    bool Enqueue(Job job) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (closing_) return false;
            if (job.kind == Job::Close) {
                closing_ = true;
            } else if (queue_.size() >= kQueueMax) {
                ++dropped_;
                return false;
            }
            queue_.push_back(std::move(job));
        }
        wake_.notify_one();
        return true;
    }

    bool Close(std::int64_t now, int waitMs) {
        Job job;
        job.kind = Job::Close;
        job.play.started = now;
        Enqueue(std::move(job));
        std::unique_lock<std::mutex> hold(lock_);
        const bool ended = finishedWake_.wait_for(hold, std::chrono::milliseconds(std::max(waitMs, 0)),
                                                  [this] { return finished_; });
        hold.unlock();
        std::lock_guard<std::mutex> joining(joinLock_);
        if (writer_.joinable()) {
            // A writer still held up by the disk finishes on its own; it owns a reference.
            if (ended) writer_.join(); else writer_.detach();
        }
        // Queries after the close still read the file, on connections closed right after: no
        // connection keeps the file open (on Windows that would stop its removal or renaming).
        std::lock_guard<std::mutex> readers(readersLock_);
        readersClosed_ = true;
        for (sqlite3* db : idleReaders_) sqlite3_close_v2(db);
        idleReaders_.clear();
        return ended;
    }

    bool Query(const PlayQuery& query, const std::function<bool(const PlayRecord&)>& each) {
        std::unique_lock<std::mutex> memoryHold(memoryLock_);
        if (!onFile_) return memory_.Query(query, each);
        const std::uint64_t generation = fileGeneration_;
        memoryHold.unlock();

        sqlite3* db = TakeReader(generation);
        if (db == nullptr) return false;
        PlayStore reader(db);
        const bool ok = reader.Query(query, each);
        reader.Release();
        GiveBackReader(db, generation);
        return ok;
    }

    PlayHistoryStatus Status() {
        PlayHistoryStatus status;
        {
            std::lock_guard<std::mutex> hold(memoryLock_);
            status.onFile = onFile_;
        }
        std::lock_guard<std::mutex> hold(lock_);
        status.taken = taken_;
        status.dropped = dropped_;
        status.setAside = setAside_;
        return status;
    }

private:
    void Run() {
        const bool wantFile = !options_.file.empty();
        if (wantFile) TryFile();
        std::int64_t nextPrune = 0;
        for (;;) {
            std::vector<Job> batch;
            {
                std::unique_lock<std::mutex> hold(lock_);
                const auto retryAt = lastTry_ + std::chrono::milliseconds(options_.retryMs);
                auto ready = [this] { return !queue_.empty(); };
                if (wantFile && !file_.IsOpen()) {
                    wake_.wait_until(hold, retryAt, ready);
                } else {
                    wake_.wait(hold, ready);
                }
                const std::size_t count = std::min(queue_.size(), kBatchMax);
                for (std::size_t i = 0; i < count; ++i) {
                    batch.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
            }
            if (wantFile && !file_.IsOpen() && std::chrono::steady_clock::now() >= lastTry_ + std::chrono::milliseconds(options_.retryMs)) {
                TryFile();
            }
            bool closed = false;
            if (!batch.empty()) closed = Apply(batch);
            if (!closed && options_.keepDays > 0 && file_.IsOpen() && NowSeconds() >= nextPrune) {
                // At most once a day; a failure is tried again the next day like any other.
                file_.RemoveStartedBefore(NowSeconds() - static_cast<std::int64_t>(options_.keepDays) * kDaySeconds);
                nextPrune = NowSeconds() + kDaySeconds;
            }
            if (!closed && options_.keepDays > 0 && !wantFile && NowSeconds() >= nextPrune) {
                std::lock_guard<std::mutex> hold(memoryLock_);
                memory_.RemoveStartedBefore(NowSeconds() - static_cast<std::int64_t>(options_.keepDays) * kDaySeconds);
                nextPrune = NowSeconds() + kDaySeconds;
            }
            if (closed) break;
        }
        // What the file missed while it could not be written gets one last try.
        if (wantFile && !file_.IsOpen()) TryFile();
        file_.Close();
        {
            std::lock_guard<std::mutex> hold(lock_);
            finished_ = true;
        }
        finishedWake_.notify_all();
    }

    // Applies a batch to the file in one transaction, or to the memory store when the file is
    // not open or fails; the channels' plays going on change only with a successful commit.
    // Returns whether the batch held the close.
    bool Apply(const std::vector<Job>& batch) {
        bool closed = false;
        for (const Job& job : batch) closed = closed || job.kind == Job::Close;
        if (file_.IsOpen()) {
            std::map<std::string, OpenPlay> open = open_;
            if (ApplyToFile(batch, open)) {
                open_ = std::move(open);
                Taken(batch.size());
                return closed;
            }
            LeaveFile();
        }
        std::lock_guard<std::mutex> hold(memoryLock_);
        memory_.Begin();
        for (const Job& job : batch) ApplyToMemory(job);
        memory_.Commit();
        Taken(batch.size());
        return closed;
    }

    bool ApplyToFile(const std::vector<Job>& batch, std::map<std::string, OpenPlay>& open) {
        if (!file_.Begin()) return false;
        for (const Job& job : batch) {
            if (job.kind == Job::Close) {
                for (auto& [id, play] : open) {
                    if (!file_.EndPlay(play.id, job.play.started, play.most)) return Abandon();
                }
                open.clear();
                continue;
            }
            auto found = open.find(job.play.channelId);
            if (job.kind == Job::Listeners) {
                if (found == open.end() || job.play.listenersMost <= found->second.most) continue;
                found->second.most = job.play.listenersMost;
                if (!file_.RaiseListeners(found->second.id, found->second.most)) return Abandon();
                continue;
            }
            if (found != open.end() && !file_.EndPlay(found->second.id, job.play.started, found->second.most)) {
                return Abandon();
            }
            PlayRecord row = job.play;
            row.ended = kPlayNone;
            row.listenersMost = row.listenersAtStart;
            const std::int64_t id = file_.Insert(row);
            if (id <= 0) return Abandon();
            open[row.channelId] = OpenPlay{id, true, row.listenersMost};
        }
        return file_.Commit();
    }

    bool Abandon() {
        file_.Rollback();
        return false;
    }

    // Under memoryLock_.
    void ApplyToMemory(const Job& job) {
        if (job.kind == Job::Close) {
            for (auto& [id, play] : open_) EndOpen(play, job.play.started);
            open_.clear();
            return;
        }
        auto found = open_.find(job.play.channelId);
        if (job.kind == Job::Listeners) {
            if (found == open_.end() || job.play.listenersMost <= found->second.most) return;
            found->second.most = job.play.listenersMost;
            if (found->second.inFile) {
                pending_[found->second.id].most = found->second.most;
            } else {
                memory_.RaiseListeners(found->second.id, found->second.most);
            }
            return;
        }
        if (found != open_.end()) EndOpen(found->second, job.play.started);
        PlayRecord row = job.play;
        row.ended = kPlayNone;
        row.listenersMost = row.listenersAtStart;
        const std::int64_t id = memory_.Insert(row);
        if (id > 0) {
            open_[row.channelId] = OpenPlay{id, false, row.listenersMost};
        } else if (found != open_.end()) {
            open_.erase(found);
        }
    }

    void EndOpen(const OpenPlay& play, std::int64_t ended) {
        if (play.inFile) {
            pending_[play.id] = PendingEnd{ended, play.most};
        } else {
            memory_.EndPlay(play.id, ended, play.most);
        }
    }

    void Taken(std::size_t count) {
        std::lock_guard<std::mutex> hold(lock_);
        taken_ += count;
    }

    void LeaveFile() {
        file_.Close();
        {
            std::lock_guard<std::mutex> hold(memoryLock_);
            onFile_ = false;
            ++fileGeneration_;
        }
        lastTry_ = std::chrono::steady_clock::now();
        // Idle reading connections go too: on Windows an open file cannot be renamed, should the
        // next try find it damaged.
        std::lock_guard<std::mutex> hold(readersLock_);
        for (sqlite3* db : idleReaders_) sqlite3_close_v2(db);
        idleReaders_.clear();
    }

    // Opens the file (setting a damaged one aside), then moves into it what the memory store
    // holds. On failure the history stays in memory and the file is tried again later.
    void TryFile() {
        lastTry_ = std::chrono::steady_clock::now();
        PlayStore::OpenResult result = file_.OpenFile(options_.file, options_.busyMs);
        if (result == PlayStore::OpenResult::Damaged) {
            file_.Close();
            const std::filesystem::path aside = WithSuffix(options_.file, ".damaged-" + UtcStamp(NowSeconds()));
            std::error_code error;
            std::filesystem::rename(options_.file, aside, error);
            if (error) return;
            // A journal with content goes aside with its file (it may hold the last writes); an
            // empty one, and the shared-memory index, are only what this open left behind.
            for (const char* part : {"-wal", "-journal", "-shm"}) {
                const std::filesystem::path companion = WithSuffix(options_.file, part);
                std::error_code ignored;
                const std::uintmax_t size = std::filesystem::file_size(companion, ignored);
                if (ignored) continue;
                if (size > 0 && std::string_view(part) != "-shm") {
                    std::filesystem::rename(companion, WithSuffix(aside, part), ignored);
                } else {
                    std::filesystem::remove(companion, ignored);
                }
            }
            {
                std::lock_guard<std::mutex> hold(lock_);
                ++setAside_;
            }
            result = file_.OpenFile(options_.file, options_.busyMs);
        }
        if (result != PlayStore::OpenResult::Opened) {
            file_.Close();
            return;
        }
        if (firstOpen_ && !AdoptUnendedPlays()) {
            file_.Close();
            return;
        }
        if (!MoveMemoryIntoFile()) {
            file_.Close();
            return;
        }
        firstOpen_ = false;
    }

    // Plays a killed run left going on: each channel's latest goes on (its next title ends it),
    // an earlier one ends when the channel's next play began, and a channel that has already had
    // a play recorded in memory in this run ends it at that play's start.
    bool AdoptUnendedPlays() {
        std::vector<PlayStore::Unended> rows;
        if (!file_.ReadUnended(rows)) return false;
        if (!file_.Begin()) return false;
        std::map<std::string, PlayStore::Unended> latest;
        for (const PlayStore::Unended& row : rows) {
            auto found = latest.find(row.channelId);
            if (found != latest.end()) {
                if (!file_.EndPlay(found->second.id, row.started, found->second.most)) return Abandon();
                found->second = row;
            } else {
                latest.emplace(row.channelId, row);
            }
        }
        std::map<std::string, OpenPlay> adopted;
        for (const auto& [channel, row] : latest) {
            std::int64_t firstInMemory = kPlayNone;
            {
                std::lock_guard<std::mutex> hold(memoryLock_);
                firstInMemory = memory_.FirstStarted(channel);
            }
            if (firstInMemory != kPlayNone) {
                if (!file_.EndPlay(row.id, firstInMemory, row.most)) return Abandon();
            } else {
                adopted[channel] = OpenPlay{row.id, true, row.most};
            }
        }
        if (!file_.Commit()) return false;
        for (auto& [channel, play] : adopted) open_.emplace(channel, play);
        return true;
    }

    bool MoveMemoryIntoFile() {
        std::lock_guard<std::mutex> hold(memoryLock_);
        std::vector<std::pair<std::int64_t, PlayRecord>> rows;
        if (!memory_.ReadAll(rows)) return false;
        if (!file_.Begin()) return false;
        for (const auto& [id, change] : pending_) {
            if (change.ended != kPlayNone) {
                if (!file_.EndPlay(id, change.ended, change.most)) return Abandon();
            } else if (!file_.RaiseListeners(id, change.most)) {
                return Abandon();
            }
        }
        std::map<std::int64_t, std::int64_t> moved;
        for (const auto& [memoryId, row] : rows) {
            const std::int64_t id = file_.Insert(row);
            if (id <= 0) return Abandon();
            moved[memoryId] = id;
        }
        if (!file_.Commit()) return false;
        for (auto& [channel, play] : open_) {
            if (play.inFile) continue;
            play.id = moved[play.id];
            play.inFile = true;
        }
        pending_.clear();
        memory_.RemoveAll();
        onFile_ = true;
        ++fileGeneration_;
        return true;
    }

    sqlite3* TakeReader(std::uint64_t generation) {
        {
            std::lock_guard<std::mutex> hold(readersLock_);
            if (readersGeneration_ != generation) {
                for (sqlite3* db : idleReaders_) sqlite3_close_v2(db);
                idleReaders_.clear();
                readersGeneration_ = generation;
            }
            if (!idleReaders_.empty()) {
                sqlite3* db = idleReaders_.back();
                idleReaders_.pop_back();
                return db;
            }
        }
        return PlayStore::OpenReader(options_.file, kReadBusyMs);
    }

    void GiveBackReader(sqlite3* db, std::uint64_t generation) {
        {
            std::lock_guard<std::mutex> hold(readersLock_);
            if (!readersClosed_ && readersGeneration_ == generation && idleReaders_.size() < kIdleReadersMax) {
                idleReaders_.push_back(db);
                return;
            }
        }
        sqlite3_close_v2(db);
    }

    const PlayHistoryOptions options_;
    std::thread writer_;
    std::mutex joinLock_;

    std::mutex lock_;  // guards the queue, the flags and the counts below
    std::condition_variable wake_;
    std::condition_variable finishedWake_;
    std::deque<Job> queue_;
    bool closing_ = false;
    bool finished_ = false;
    std::uint64_t taken_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t setAside_ = 0;

    // The writer's own: the file connection and the plays going on.
    PlayStore file_;
    std::map<std::string, OpenPlay> open_;
    std::map<std::int64_t, PendingEnd> pending_;
    std::chrono::steady_clock::time_point lastTry_{};
    bool firstOpen_ = true;

    // Queries read the memory store under this lock, or learn from it that the file holds
    // everything (and which file: a damaged one set aside is another generation).
    std::mutex memoryLock_;
    PlayStore memory_;
    bool onFile_ = false;
    std::uint64_t fileGeneration_ = 0;

    std::mutex readersLock_;
    std::vector<sqlite3*> idleReaders_;
    std::uint64_t readersGeneration_ = 0;
    bool readersClosed_ = false;
};

std::shared_ptr<PlayHistory> OpenPlayHistory(const PlayHistoryOptions& options) {
    auto history = std::make_shared<PlayHistory>(options);
    history->Start(history);
    return history;
}

void RecordPlay(PlayHistory& history, const PlayRecord& play) {
    if (play.channelId.empty() || play.title.empty()) return;
    if (play.channelId.size() > kTextMax || play.channelName.size() > kTextMax || play.title.size() > kTextMax) return;
    Job job;
    job.kind = Job::Play;
    job.play = play;
    history.Enqueue(std::move(job));
}

void RecordListeners(PlayHistory& history, const std::string& channelId, std::int64_t listeners) {
    if (listeners < 0 || channelId.size() > kTextMax) return;
    Job job;
    job.kind = Job::Listeners;
    job.play.channelId = channelId;
    job.play.listenersMost = listeners;
    history.Enqueue(std::move(job));
}

bool ClosePlayHistory(PlayHistory& history, std::int64_t now, int waitMs) { return history.Close(now, waitMs); }

bool QueryPlays(PlayHistory& history, const PlayQuery& query, const std::function<bool(const PlayRecord&)>& each) {
    return history.Query(query, each);
}

PlayHistoryStatus ReadPlayHistoryStatus(PlayHistory& history) { return history.Status(); }
