// One SQLite connection holding plays: the history file, the memory store that stands in for it,
// or a reading connection of a query. Used by one thread at a time; the rest of the program sees
// PlayRecord and PlayQuery, never a statement.
#pragma once

#include "history/play_history.hpp"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class PlayStore {
public:
    enum class OpenResult { Opened, Damaged, Unavailable };
    struct Unended {
        std::int64_t id = 0;
        std::string channelId;
        std::int64_t started = 0;
        std::int64_t most = kPlayNone;
    };

    PlayStore() = default;
    // Wraps a reading connection for one query; Release() hands it back without closing it.
    explicit PlayStore(sqlite3* reader) : db_(reader) {}
    ~PlayStore();
    PlayStore(const PlayStore&) = delete;
    PlayStore& operator=(const PlayStore&) = delete;

    // Opens or creates the file in WAL mode and brings its schema up to date. Damaged: the file is
    // not a database or fails its quick check (the caller sets it aside). Unavailable: it cannot
    // be opened, created or written now (missing or read-only folder, another program's lock,
    // disk full, a schema newer than this program's).
    OpenResult OpenFile(const std::filesystem::path& file, int busyMs);
    // A private database in memory.
    bool OpenMemory();
    // A read-only connection to the file, or nullptr.
    static sqlite3* OpenReader(const std::filesystem::path& file, int busyMs);
    void Close();
    void Release() { db_ = nullptr; }
    bool IsOpen() const { return db_ != nullptr; }

    bool Begin();
    bool Commit();
    void Rollback();
    // A new row (its ended and listeners as given); returns its id, or 0 on failure.
    std::int64_t Insert(const PlayRecord& play);
    bool EndPlay(std::int64_t id, std::int64_t ended, std::int64_t most);
    bool RaiseListeners(std::int64_t id, std::int64_t most);
    bool RemoveStartedBefore(std::int64_t time);
    bool RemoveAll();
    // Plays with no end, by started then id.
    bool ReadUnended(std::vector<Unended>& rows);
    // Every play, oldest first, with its id.
    bool ReadAll(std::vector<std::pair<std::int64_t, PlayRecord>>& rows);
    // When the channel's first play here began, or kPlayNone.
    std::int64_t FirstStarted(const std::string& channelId);
    bool Query(const PlayQuery& query, const std::function<bool(const PlayRecord&)>& each);

private:
    bool Prepare();
    bool Step(sqlite3_stmt* statement);
    bool Exec(const char* sql);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* end_ = nullptr;
    sqlite3_stmt* raise_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
};
