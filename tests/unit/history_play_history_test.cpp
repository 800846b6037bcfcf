// The play history: plays ended by the next title and by the close, listeners, every query part,
// in memory and on file; kept across a reopen and a killed run; retention; a damaged file, a
// folder that cannot take the file, another program's lock and a reader holding the file open.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "history/play_history.hpp"
#include "tests/support/test_support.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kT0 = 1796650000;  // 2026-12-08, a fixed instant for recorded plays

PlayRecord Play(const std::string& channel, const std::string& title, std::int64_t started,
                std::int64_t listeners = kPlayNone) {
    PlayRecord play;
    play.channelId = channel;
    play.channelName = "Name of " + channel;
    play.title = title;
    play.started = started;
    play.listenersAtStart = listeners;
    return play;
}

std::vector<PlayRecord> Query(PlayHistory& history, const PlayQuery& query = {}) {
    std::vector<PlayRecord> rows;
    EXPECT_TRUE(QueryPlays(history, query, [&](const PlayRecord& row) {
        rows.push_back(row);
        return true;
    }));
    return rows;
}

std::vector<std::string> Titles(const std::vector<PlayRecord>& rows) {
    std::vector<std::string> titles;
    for (const PlayRecord& row : rows) titles.push_back(row.title);
    return titles;
}

bool Taken(PlayHistory& history, std::uint64_t count) {
    return WaitFor([&] { return ReadPlayHistoryStatus(history).taken >= count; }, 10s);
}

// Reads the file as another program would.
std::vector<std::string> TitlesInFile(const fs::path& file) {
    std::vector<std::string> titles;
    sqlite3* db = nullptr;
    const std::u8string name = file.u8string();
    if (sqlite3_open_v2(std::string(name.begin(), name.end()).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT title FROM plays ORDER BY started, id", -1, &s, nullptr) == SQLITE_OK) {
            while (sqlite3_step(s) == SQLITE_ROW) titles.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return titles;
}

// Another program's connection to the history file.
struct OtherConnection {
    explicit OtherConnection(const fs::path& file) {
        const std::u8string name = file.u8string();
        EXPECT_EQ(sqlite3_open(std::string(name.begin(), name.end()).c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 2000);
    }
    ~OtherConnection() {
        sqlite3_finalize(held);
        sqlite3_close(db);
    }
    bool Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    sqlite3* db = nullptr;
    sqlite3_stmt* held = nullptr;
};

// Every behaviour of the store holds in memory and on file alike.
class PlayHistoryStores : public ::testing::TestWithParam<bool> {
protected:
    std::shared_ptr<PlayHistory> Open(int keepDays = 0) {
        PlayHistoryOptions options;
        if (GetParam()) options.file = dir / "history.sqlite3";
        options.keepDays = keepDays;
        return OpenPlayHistory(options);
    }
    TempDir dir;
};

TEST_P(PlayHistoryStores, PlaysEndAtTheNextTitleAndAtTheCloseWithTheMostListeners) {
    auto history = Open();
    RecordPlay(*history, Play("a", "First", kT0, 5));
    RecordListeners(*history, "a", 9);
    RecordListeners(*history, "a", 7);      // lower: the most stays 9
    RecordListeners(*history, "b", 100);    // no play going on there: nothing to raise
    RecordPlay(*history, Play("b", "Other", kT0 + 10));
    RecordPlay(*history, Play("a", "Second", kT0 + 100));
    RecordListeners(*history, "b", 3);
    RecordPlay(*history, Play("a", std::string(5000, 't'), kT0 + 120));  // no title is that long: refused
    RecordPlay(*history, Play("a", "First", kT0 + 150));  // the same title after another: a new play
    ASSERT_TRUE(Taken(*history, 8));

    std::vector<PlayRecord> going = Query(*history);
    ASSERT_EQ(Titles(going), (std::vector<std::string>{"First", "Second", "Other", "First"}));
    EXPECT_EQ(going[0].ended, kPlayNone);
    EXPECT_EQ(going[1].ended, kT0 + 150);
    EXPECT_EQ(going[3].ended, kT0 + 100);
    EXPECT_EQ(going[3].listenersAtStart, 5);
    EXPECT_EQ(going[3].listenersMost, 9);
    EXPECT_EQ(going[2].listenersAtStart, kPlayNone);
    EXPECT_EQ(going[2].listenersMost, 3);
    EXPECT_EQ(going[3].channelName, "Name of a");

    ASSERT_TRUE(ClosePlayHistory(*history, kT0 + 200, 5000));
    RecordPlay(*history, Play("a", "After the close", kT0 + 300));  // refused
    const std::vector<PlayRecord> closed = Query(*history);
    ASSERT_EQ(closed.size(), 4u);
    EXPECT_EQ(closed[0].ended, kT0 + 200);
    EXPECT_EQ(closed[2].ended, kT0 + 200);
    EXPECT_EQ(closed[1].ended, kT0 + 150);
}

TEST_P(PlayHistoryStores, EveryQueryPartSelectsNewestFirst) {
    auto history = Open();
    const std::vector<PlayRecord> plays = {
        Play("ostrel", "Alpha - One", kT0),
        Play("pavo", "Beta - 100% Pure", kT0 + 10),
        Play("ostrel", "ALPHA - Two", kT0 + 20),
        Play("pavo", "Gamma_Ray", kT0 + 30),
        Play("ostrel", "Gamma Ray", kT0 + 40),
        Play("pavo", "100 Pure", kT0 + 50),
        Play("ostrel", "Back\\slash", kT0 + 60),
        Play("pavo", "Zürich Nights", kT0 + 70),
    };
    for (const PlayRecord& play : plays) RecordPlay(*history, play);
    ASSERT_TRUE(Taken(*history, plays.size()));

    struct Case {
        const char* what;
        PlayQuery query;
        std::vector<std::string> titles;
    };
    auto q = [](std::string channel, std::int64_t from, std::int64_t to, std::int64_t before, std::string text,
                std::size_t limit) { return PlayQuery{std::move(channel), from, to, before, std::move(text), limit}; };
    const std::vector<Case> cases = {
        {"everything", q("", kPlayNone, kPlayNone, kPlayNone, "", 50),
         {"Zürich Nights", "Back\\slash", "100 Pure", "Gamma Ray", "Gamma_Ray", "ALPHA - Two", "Beta - 100% Pure",
          "Alpha - One"}},
        {"one channel", q("pavo", kPlayNone, kPlayNone, kPlayNone, "", 50),
         {"Zürich Nights", "100 Pure", "Gamma_Ray", "Beta - 100% Pure"}},
        {"unknown channel", q("nope", kPlayNone, kPlayNone, kPlayNone, "", 50), {}},
        {"from is inclusive", q("", kT0 + 50, kPlayNone, kPlayNone, "", 50), {"Zürich Nights", "Back\\slash", "100 Pure"}},
        {"to is exclusive", q("", kPlayNone, kT0 + 20, kPlayNone, "", 50), {"Beta - 100% Pure", "Alpha - One"}},
        {"from and to", q("ostrel", kT0 + 10, kT0 + 60, kPlayNone, "", 50), {"Gamma Ray", "ALPHA - Two"}},
        {"limit", q("", kPlayNone, kPlayNone, kPlayNone, "", 2), {"Zürich Nights", "Back\\slash"}},
        {"page after the first", q("", kPlayNone, kPlayNone, kT0 + 60, "", 2), {"100 Pure", "Gamma Ray"}},
        {"last page", q("", kPlayNone, kPlayNone, kT0 + 20, "", 2), {"Beta - 100% Pure", "Alpha - One"}},
        {"text ignores ASCII case", q("", kPlayNone, kPlayNone, kPlayNone, "alpha", 50), {"ALPHA - Two", "Alpha - One"}},
        {"percent is literal", q("", kPlayNone, kPlayNone, kPlayNone, "100%", 50), {"Beta - 100% Pure"}},
        {"underscore is literal", q("", kPlayNone, kPlayNone, kPlayNone, "a_r", 50), {"Gamma_Ray"}},
        {"backslash is literal", q("", kPlayNone, kPlayNone, kPlayNone, "k\\s", 50), {"Back\\slash"}},
        {"UTF-8 text", q("", kPlayNone, kPlayNone, kPlayNone, "zürich", 50), {"Zürich Nights"}},
        {"text and channel", q("ostrel", kPlayNone, kPlayNone, kPlayNone, "gamma", 50), {"Gamma Ray"}},
        {"nothing matches", q("", kPlayNone, kPlayNone, kPlayNone, "%%", 50), {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Titles(Query(*history, c.query)), c.titles) << c.what;

    // The walk stops when asked to.
    int seen = 0;
    EXPECT_TRUE(QueryPlays(*history, {}, [&](const PlayRecord&) { return ++seen < 3; }));
    EXPECT_EQ(seen, 3);
    ASSERT_TRUE(ClosePlayHistory(*history, kT0 + 100, 5000));
}

TEST_P(PlayHistoryStores, OldPlaysAreRemovedUnlessEverythingIsKept) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    for (const int keepDays : {0, 90}) {
        auto history = Open(keepDays);
        RecordPlay(*history, Play("a", "Long ago", now - 91 * 86400));
        RecordPlay(*history, Play("b", "Lately", now - 89 * 86400));
        ASSERT_TRUE(ClosePlayHistory(*history, now, 5000));
        if (!GetParam()) continue;  // the memory store starts empty each time
        auto reopened = Open(keepDays);
        RecordPlay(*reopened, Play("c", "Now", now));
        ASSERT_TRUE(Taken(*reopened, 1));
        const std::vector<std::string> expected =
            keepDays == 0 ? std::vector<std::string>{"Now", "Lately", "Long ago"} : std::vector<std::string>{"Now", "Lately"};
        EXPECT_EQ(Titles(Query(*reopened)), expected) << keepDays;
        ASSERT_TRUE(ClosePlayHistory(*reopened, now, 5000));
        fs::remove(dir / "history.sqlite3");
    }
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile, PlayHistoryStores, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "File" : "Memory"; });

class PlayHistoryFile : public ::testing::Test {
protected:
    std::shared_ptr<PlayHistory> Open() {
        PlayHistoryOptions options;
        options.file = file;
        options.retryMs = 100;
        options.busyMs = 100;
        return OpenPlayHistory(options);
    }
    bool OnFile(PlayHistory& history) {
        return WaitFor([&] { return ReadPlayHistoryStatus(history).onFile; }, 10s);
    }
    TempDir dir;
    fs::path file = dir / "history.sqlite3";
};

TEST_F(PlayHistoryFile, PlaysAreKeptAcrossAReopenAndAfterAKilledRun) {
    auto first = Open();
    RecordPlay(*first, Play("a", "One", kT0, 4));
    RecordPlay(*first, Play("a", "Two", kT0 + 100));
    ASSERT_TRUE(ClosePlayHistory(*first, kT0 + 200, 5000));

    // A killed run leaves its last plays going on: written here as that run would have.
    {
        OtherConnection killed(file);
        ASSERT_TRUE(killed.Exec("INSERT INTO plays(channel_id, channel_name, title, started) VALUES"
                                "('a', 'A', 'Three', 1796650300), ('b', 'B', 'Solo', 1796650310),"
                                "('a', 'A', 'Four', 1796650400)"));
    }
    auto second = Open();
    ASSERT_TRUE(OnFile(*second));
    RecordPlay(*second, Play("a", "Five", kT0 + 900));
    ASSERT_TRUE(ClosePlayHistory(*second, kT0 + 1000, 5000));

    auto third = Open();
    ASSERT_TRUE(OnFile(*third));
    const std::vector<PlayRecord> rows = Query(*third);
    ASSERT_EQ(Titles(rows), (std::vector<std::string>{"Five", "Four", "Solo", "Three", "Two", "One"}));
    EXPECT_EQ(rows[0].ended, kT0 + 1000);
    EXPECT_EQ(rows[1].ended, kT0 + 900);   // ended by this run's next title on its channel
    EXPECT_EQ(rows[2].ended, kT0 + 1000);  // still going on when this run stopped
    EXPECT_EQ(rows[3].ended, kT0 + 400);   // its channel's next play in the killed run
    EXPECT_EQ(rows[5].ended, kT0 + 100);
    EXPECT_EQ(rows[5].listenersMost, 4);
    ASSERT_TRUE(ClosePlayHistory(*third, kT0 + 1100, 5000));
}

TEST_F(PlayHistoryFile, ADamagedFileIsSetAsideAndANewOneStarted) {
    const std::string garbage(8192, 'x');
    for (const std::string& bytes : {std::string("not a database at all"), std::string("SQLite format 3") + '\0' + garbage}) {
        ASSERT_TRUE(WriteFileBytes(file, bytes));
        auto history = Open();
        ASSERT_TRUE(OnFile(*history));
        RecordPlay(*history, Play("a", "Fresh", kT0));
        ASSERT_TRUE(ClosePlayHistory(*history, kT0 + 10, 5000));
        EXPECT_EQ(ReadPlayHistoryStatus(*history).setAside, 1u);
        EXPECT_EQ(TitlesInFile(file), std::vector<std::string>{"Fresh"});
        int aside = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("history.sqlite3.damaged-", 0) != 0) continue;
            ++aside;
            EXPECT_EQ(ReadFileBytes(entry.path()), bytes);
            EXPECT_EQ(name.size(), std::string("history.sqlite3.damaged-20261208T101010Z").size()) << name;
            fs::remove(entry.path());
        }
        EXPECT_EQ(aside, 1);
        fs::remove(file);
    }
}

TEST_F(PlayHistoryFile, AFolderThatCannotTakeTheFileKeepsTheHistoryInMemoryUntilItCan) {
    // A folder that does not exist yet stands for every file that cannot be created (a read-only
    // folder does not stop an administrator, who runs these tests on some machines).
    file = dir / "later" / "history.sqlite3";
    auto history = Open();
    RecordPlay(*history, Play("a", "Kept in memory", kT0, 3));
    RecordPlay(*history, Play("b", "Also", kT0 + 5));
    ASSERT_TRUE(Taken(*history, 2));
    EXPECT_FALSE(ReadPlayHistoryStatus(*history).onFile);
    EXPECT_EQ(Titles(Query(*history)), (std::vector<std::string>{"Also", "Kept in memory"}));

    fs::create_directory(dir / "later");
    ASSERT_TRUE(OnFile(*history));
    RecordPlay(*history, Play("a", "On file", kT0 + 10));
    ASSERT_TRUE(ClosePlayHistory(*history, kT0 + 20, 5000));
    EXPECT_EQ(TitlesInFile(file), (std::vector<std::string>{"Kept in memory", "Also", "On file"}));
    const std::vector<PlayRecord> rows = Query(*history);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].ended, kT0 + 10);  // the play moved from memory was ended on file
    EXPECT_EQ(rows[2].listenersMost, 3);
}

TEST_F(PlayHistoryFile, AnotherProgramsWriteLockDoesNotStopRecording) {
    auto history = Open();
    RecordPlay(*history, Play("a", "Before", kT0));
    ASSERT_TRUE(Taken(*history, 1));
    ASSERT_TRUE(OnFile(*history));
    {
        OtherConnection other(file);
        ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
        ASSERT_TRUE(other.Exec("UPDATE plays SET channel_name = channel_name"));
        RecordPlay(*history, Play("a", "While locked", kT0 + 10));
        RecordListeners(*history, "a", 8);
        ASSERT_TRUE(Taken(*history, 3));
        EXPECT_EQ(Titles(Query(*history)), (std::vector<std::string>{"While locked"}));
        ASSERT_TRUE(other.Exec("COMMIT"));
    }
    ASSERT_TRUE(OnFile(*history));
    RecordPlay(*history, Play("a", "After", kT0 + 20));
    ASSERT_TRUE(ClosePlayHistory(*history, kT0 + 30, 5000));
    const std::vector<PlayRecord> rows = Query(*history);
    ASSERT_EQ(Titles(rows), (std::vector<std::string>{"After", "While locked", "Before"}));
    EXPECT_EQ(rows[1].ended, kT0 + 20);
    EXPECT_EQ(rows[1].listenersMost, 8);
    EXPECT_EQ(rows[2].ended, kT0 + 10);  // ended on file once the lock was gone
}

TEST_F(PlayHistoryFile, AReaderHoldingTheFileOpenDoesNotStopRecording) {
    auto history = Open();
    RecordPlay(*history, Play("a", "First", kT0));
    ASSERT_TRUE(Taken(*history, 1));
    ASSERT_TRUE(OnFile(*history));
    OtherConnection reader(file);
    ASSERT_TRUE(reader.Exec("BEGIN"));
    ASSERT_EQ(sqlite3_prepare_v2(reader.db, "SELECT title FROM plays", -1, &reader.held, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(reader.held), SQLITE_ROW);  // a read transaction stays open
    for (int i = 1; i <= 20; ++i) RecordPlay(*history, Play("a", "Song " + std::to_string(i), kT0 + i));
    ASSERT_TRUE(Taken(*history, 21));
    EXPECT_TRUE(ReadPlayHistoryStatus(*history).onFile);
    EXPECT_EQ(Query(*history).size(), 21u);
    ASSERT_TRUE(ClosePlayHistory(*history, kT0 + 100, 5000));
    EXPECT_EQ(TitlesInFile(file).size(), 21u);
}

}  // namespace
