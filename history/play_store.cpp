#include "history/play_store.hpp"

#include <sqlite3.h>

#include <cstring>
#include <limits>

namespace {

// The schema as numbered steps: a file records in user_version how many it has had, and a newer
// program adds only the steps after that. Never change a step that has shipped; add one.
constexpr const char* kMigrations[] = {
    // 1: the plays, and the indexes that serve newest-first queries over every channel and over
    // one; the partial index finds the plays a killed run left going on without a full scan.
    "CREATE TABLE plays("
    "  id INTEGER PRIMARY KEY,"
    "  channel_id TEXT NOT NULL,"
    "  channel_name TEXT NOT NULL,"
    "  title TEXT NOT NULL,"
    "  started INTEGER NOT NULL,"
    "  ended INTEGER,"
    "  listeners_start INTEGER,"
    "  listeners_most INTEGER);"
    "CREATE INDEX plays_started ON plays(started);"
    "CREATE INDEX plays_channel_started ON plays(channel_id, started);"
    "CREATE INDEX plays_unended ON plays(started) WHERE ended IS NULL;",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

constexpr const char* kColumns =
    "channel_id, channel_name, title, started, ended, listeners_start, listeners_most";

bool IsDamage(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

std::string FileName(const std::filesystem::path& file) {
    // SQLite takes UTF-8 names on every platform.
    const std::u8string name = file.u8string();
    return std::string(name.begin(), name.end());
}

void BindOptional(sqlite3_stmt* statement, int index, std::int64_t value) {
    if (value < 0) {
        sqlite3_bind_null(statement, index);
    } else {
        sqlite3_bind_int64(statement, index, value);
    }
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    const std::size_t size = std::min<std::size_t>(text.size(), std::numeric_limits<int>::max());
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(size), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (text == nullptr || size <= 0) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::int64_t ColumnOptional(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) return kPlayNone;
    return sqlite3_column_int64(statement, column);
}

// The columns of kColumns, from the given first one on.
PlayRecord ReadRow(sqlite3_stmt* statement, int first) {
    PlayRecord row;
    row.channelId = ColumnText(statement, first);
    row.channelName = ColumnText(statement, first + 1);
    row.title = ColumnText(statement, first + 2);
    row.started = sqlite3_column_int64(statement, first + 3);
    row.ended = ColumnOptional(statement, first + 4);
    row.listenersAtStart = ColumnOptional(statement, first + 5);
    row.listenersMost = ColumnOptional(statement, first + 6);
    return row;
}

// A LIKE pattern matching titles that contain text, its % and _ (and the escape) taken literally.
std::string ContainsPattern(const std::string& text) {
    std::string pattern = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += c;
    }
    pattern += '%';
    return pattern;
}

// Each connection keeps at most this much of the file's pages in memory (SQLite's own default,
// 2 MiB a connection, would grow with the history and stay). Queries read the newest plays by
// index and exports go through the file once, so the system's file cache serves them as well.
constexpr const char* kBoundCache = "PRAGMA cache_size=-1024";  // KiB

struct Statement {
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

}  // namespace

PlayStore::~PlayStore() { Close(); }

void PlayStore::Close() {
    for (sqlite3_stmt** s : {&insert_, &end_, &raise_, &begin_, &commit_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool PlayStore::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

PlayStore::OpenResult PlayStore::OpenFile(const std::filesystem::path& file, int busyMs) {
    Close();
    const std::string name = FileName(file);
    if (sqlite3_open_v2(name.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        Close();
        return OpenResult::Unavailable;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyMs);

    // The first statement reads the header: a file that is not a database fails here.
    int rc = SQLITE_OK;
    {
        Statement mode;
        rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &mode.s, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(mode.s);
        if (rc == SQLITE_ROW) {
            const std::string journal = ColumnText(mode.s, 0);
            if (journal != "wal") return OpenResult::Unavailable;
        } else {
            return IsDamage(rc) ? OpenResult::Damaged : OpenResult::Unavailable;
        }
    }
    {
        Statement check;
        rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &check.s, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(check.s);
        if (rc == SQLITE_ROW) {
            if (ColumnText(check.s, 0) != "ok") return OpenResult::Damaged;
        } else {
            return IsDamage(rc) ? OpenResult::Damaged : OpenResult::Unavailable;
        }
    }
    // A power loss in WAL mode may lose the last commits but never damages the file; a killed
    // program loses nothing committed.
    if (!Exec("PRAGMA synchronous=NORMAL") || !Exec(kBoundCache)) return OpenResult::Unavailable;

    int version = 0;
    {
        Statement read;
        rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &read.s, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(read.s);
        if (rc != SQLITE_ROW) return IsDamage(rc) ? OpenResult::Damaged : OpenResult::Unavailable;
        version = sqlite3_column_int(read.s, 0);
    }
    if (version > kSchemaVersion) return OpenResult::Unavailable;  // a newer program's file: left as it is
    if (version < kSchemaVersion) {
        if (!Exec("BEGIN IMMEDIATE")) return OpenResult::Unavailable;
        for (int step = version; step < kSchemaVersion; ++step) {
            rc = sqlite3_exec(db_, kMigrations[step], nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) {
                Rollback();
                return IsDamage(rc) ? OpenResult::Damaged : OpenResult::Unavailable;
            }
        }
        const std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
        if (!Exec(setVersion.c_str()) || !Exec("COMMIT")) {
            Rollback();
            return OpenResult::Unavailable;
        }
    }
    return Prepare() ? OpenResult::Opened : OpenResult::Unavailable;
}

bool PlayStore::OpenMemory() {
    Close();
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        Close();
        return false;
    }
    for (const char* step : kMigrations) {
        if (!Exec(step)) {
            Close();
            return false;
        }
    }
    return Prepare();
}

sqlite3* PlayStore::OpenReader(const std::filesystem::path& file, int busyMs) {
    sqlite3* db = nullptr;
    const std::string name = FileName(file);
    if (sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyMs);
    if (sqlite3_exec(db, kBoundCache, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

bool PlayStore::Prepare() {
    const std::string insert = std::string("INSERT INTO plays(") + kColumns + ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
    const std::pair<sqlite3_stmt**, const char*> statements[] = {
        {&insert_, insert.c_str()},
        {&end_, "UPDATE plays SET ended = ?2, listeners_most = ?3 WHERE id = ?1"},
        {&raise_, "UPDATE plays SET listeners_most = ?2 WHERE id = ?1"},
        {&begin_, "BEGIN IMMEDIATE"},
        {&commit_, "COMMIT"},
    };
    for (const auto& [slot, sql] : statements) {
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, slot, nullptr) != SQLITE_OK) return false;
    }
    return true;
}

bool PlayStore::Step(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

bool PlayStore::Begin() { return db_ != nullptr && Step(begin_); }

bool PlayStore::Commit() {
    if (db_ == nullptr) return false;
    if (Step(commit_)) return true;
    Rollback();
    return false;
}

void PlayStore::Rollback() {
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) Exec("ROLLBACK");
}

std::int64_t PlayStore::Insert(const PlayRecord& play) {
    if (db_ == nullptr) return 0;
    BindText(insert_, 1, play.channelId);
    BindText(insert_, 2, play.channelName);
    BindText(insert_, 3, play.title);
    sqlite3_bind_int64(insert_, 4, play.started);
    BindOptional(insert_, 5, play.ended);
    BindOptional(insert_, 6, play.listenersAtStart);
    BindOptional(insert_, 7, play.listenersMost);
    if (!Step(insert_)) return 0;
    return sqlite3_last_insert_rowid(db_);
}

bool PlayStore::EndPlay(std::int64_t id, std::int64_t ended, std::int64_t most) {
    if (db_ == nullptr) return false;
    sqlite3_bind_int64(end_, 1, id);
    BindOptional(end_, 2, ended);
    BindOptional(end_, 3, most);
    return Step(end_);
}

bool PlayStore::RaiseListeners(std::int64_t id, std::int64_t most) {
    if (db_ == nullptr) return false;
    sqlite3_bind_int64(raise_, 1, id);
    BindOptional(raise_, 2, most);
    return Step(raise_);
}

bool PlayStore::RemoveStartedBefore(std::int64_t time) {
    if (db_ == nullptr) return false;
    Statement remove;
    if (sqlite3_prepare_v2(db_, "DELETE FROM plays WHERE started < ?1", -1, &remove.s, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_int64(remove.s, 1, time);
    return sqlite3_step(remove.s) == SQLITE_DONE;
}

bool PlayStore::RemoveAll() { return db_ != nullptr && Exec("DELETE FROM plays"); }

bool PlayStore::ReadUnended(std::vector<Unended>& rows) {
    rows.clear();
    if (db_ == nullptr) return false;
    Statement read;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, channel_id, started, listeners_most FROM plays WHERE ended IS NULL "
                           "ORDER BY started, id",
                           -1, &read.s, nullptr) != SQLITE_OK) {
        return false;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.s)) == SQLITE_ROW) {
        rows.push_back(Unended{sqlite3_column_int64(read.s, 0), ColumnText(read.s, 1), sqlite3_column_int64(read.s, 2),
                               ColumnOptional(read.s, 3)});
    }
    return rc == SQLITE_DONE;
}

bool PlayStore::ReadAll(std::vector<std::pair<std::int64_t, PlayRecord>>& rows) {
    rows.clear();
    if (db_ == nullptr) return false;
    Statement read;
    const std::string sql = std::string("SELECT id, ") + kColumns + " FROM plays ORDER BY id";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &read.s, nullptr) != SQLITE_OK) return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.s)) == SQLITE_ROW) rows.emplace_back(sqlite3_column_int64(read.s, 0), ReadRow(read.s, 1));
    return rc == SQLITE_DONE;
}

std::int64_t PlayStore::FirstStarted(const std::string& channelId) {
    if (db_ == nullptr) return kPlayNone;
    Statement read;
    if (sqlite3_prepare_v2(db_, "SELECT min(started) FROM plays WHERE channel_id = ?1", -1, &read.s, nullptr) != SQLITE_OK) {
        return kPlayNone;
    }
    BindText(read.s, 1, channelId);
    if (sqlite3_step(read.s) != SQLITE_ROW) return kPlayNone;
    return ColumnOptional(read.s, 0);
}

bool PlayStore::Query(const PlayQuery& query, const std::function<bool(const PlayRecord&)>& each) {
    if (db_ == nullptr) return false;
    // Only the parts asked for become conditions, so that SQLite picks the index that fits.
    std::string sql = std::string("SELECT ") + kColumns + " FROM plays";
    const char* joiner = " WHERE ";
    auto condition = [&](const char* text) {
        sql += joiner;
        sql += text;
        joiner = " AND ";
    };
    if (!query.channelId.empty()) condition("channel_id = ?1");
    if (query.from != kPlayNone) condition("started >= ?2");
    if (query.to != kPlayNone) condition("started < ?3");
    if (query.before != kPlayNone) condition("started < ?4");
    // LIKE ignores ASCII case only, which is what the query promises.
    if (!query.text.empty()) condition("title LIKE ?5 ESCAPE '\\'");
    sql += " ORDER BY started DESC, id DESC LIMIT ?6";

    Statement read;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &read.s, nullptr) != SQLITE_OK) return false;
    if (!query.channelId.empty()) BindText(read.s, 1, query.channelId);
    if (query.from != kPlayNone) sqlite3_bind_int64(read.s, 2, query.from);
    if (query.to != kPlayNone) sqlite3_bind_int64(read.s, 3, query.to);
    if (query.before != kPlayNone) sqlite3_bind_int64(read.s, 4, query.before);
    if (!query.text.empty()) BindText(read.s, 5, ContainsPattern(query.text));
    const std::uint64_t cap = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    sqlite3_bind_int64(read.s, 6, static_cast<std::int64_t>(std::min<std::uint64_t>(query.limit, cap)));
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read.s)) == SQLITE_ROW) {
        if (!each(ReadRow(read.s, 0))) return true;
    }
    return rc == SQLITE_DONE;
}
