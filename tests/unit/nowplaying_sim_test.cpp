// FetchNowPlaying and the watcher of every channel through the platform's real HTTP client
// against the station simulator, whose status document is written the way an Icecast 2.4 server
// writes it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "nowplaying/now_playing.hpp"
#include "nowplaying/station_watch.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

namespace {

using Clock = std::chrono::steady_clock;

class NowPlayingSim : public ::testing::Test {
protected:
    NowPlayingSim() : ctx(settings) {}

    void SetUp() override {
        if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
        sim = std::make_unique<SimControl>(SimulatorPort());
        ASSERT_TRUE(sim->Reset());
        AppConfig& c = settings.config;
        c.channels.count = 2;
        CopyText(c.channels.entries[0].id, "ostrel");
        CopyText(c.channels.entries[0].endpoint, (sim->BaseUrl() + "/nowplaying/ostrel").c_str());
        CopyText(c.channels.entries[1].id, "vo");
        CopyText(c.channels.entries[1].endpoint, (sim->BaseUrl() + "/nowplaying/vo").c_str());
        CopyText(c.status_url, (sim->BaseUrl() + "/status-json.xsl").c_str());
        ctx.session = OpenHttpSession(NOW_PLAYING_USER_AGENT);
        ASSERT_NE(ctx.session, nullptr);
    }

    bool Station(const std::string& json) { return sim->Station(json); }
    bool Text(const std::string& channel, const std::string& text) {
        return Station("{\"channel\":" + JsonQuote(channel) + ",\"text\":" + JsonQuote(text) + "}");
    }
    bool Mount(const std::string& mount, const std::string& titleJson) {
        return Station("{\"mount\":" + JsonQuote(mount) + ",\"title\":" + titleJson + "}");
    }

    bool Fetch(std::u16string& title, int channel = 0) {
        char16_t out[TITLE_UNITS] = {};
        const bool ok = FetchNowPlaying(ctx, channel, out, TITLE_UNITS);
        title = ok ? std::u16string(out) : std::u16string();
        return ok;
    }

    Settings settings;
    NowPlayingContext ctx;
    std::unique_ptr<SimControl> sim;
};

TEST_F(NowPlayingSim, EndpointThenStatusDocument) {
    std::u16string title;
    ASSERT_TRUE(Text("ostrel", "Artist - Song :: 1234\r\n"));
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Artist - Song");

    ASSERT_TRUE(Mount("ostrel-mp3", JsonQuote("Mp3 Song")));
    ASSERT_TRUE(Mount("ostrel-160", JsonQuote("Hi Song")));
    ASSERT_TRUE(Station(R"({"channel":"ostrel","text":null})"));  // endpoint now 404
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Hi Song");
    for (const char* body : {"<html><body>x</body></html>", "{\"title\":\"x\"}", "", "  \r\n"}) {
        ASSERT_TRUE(sim->SetBody("/nowplaying/ostrel", body));
        ASSERT_TRUE(Fetch(title)) << body;
        EXPECT_EQ(title, u"Hi Song") << body;
    }
    // An empty 160 title is null in the document: the mp3 stream's title is used.
    ASSERT_TRUE(Mount("ostrel-160", "\"\""));
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Mp3 Song");
    ASSERT_TRUE(Mount("ostrel-160", "null"));  // no title member at all
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Mp3 Song");
    ASSERT_TRUE(Mount("ostrel-mp3", "\"   \""));
    EXPECT_FALSE(Fetch(title));
}

TEST_F(NowPlayingSim, StatusTitlesAsIcecastWritesThem) {
    struct Case {
        const char* title;  // as the source sends it
        const char16_t* shown;
    } const cases[] = {
        {"Say \"Hello\"", u"Say \"Hello\""},
        {"AC\\DC - T.N.T.", u"AC\\DC - T.N.T."},
        {"1984", u"1984"},
        {"TRUE", u"true"},
        {"Caf\xC3\xA9 / <b> & co", u"Caf\u00e9 / <b> & co"},
        {"tab\there", u"tab\there"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Mount("ostrel-160", JsonQuote(c.title)));
        std::u16string title;
        ASSERT_TRUE(Fetch(title)) << c.title;
        EXPECT_EQ(title, c.shown) << c.title;
    }
    // 1023 bytes are taken, 1024 are not.
    ASSERT_TRUE(Mount("ostrel-160", JsonQuote(std::string(1023, 'a'))));
    std::u16string title;
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, std::u16string(511, u'a'));
    ASSERT_TRUE(Mount("ostrel-160", JsonQuote(std::string(1024, 'a'))));
    EXPECT_FALSE(Fetch(title));
}

TEST_F(NowPlayingSim, MountNamesMatchWhole) {
    std::u16string title;
    ASSERT_TRUE(Station(R"({"mount":"pavo-mp3","title":"Pavo Song","fields":{"server_name":"vo-160 vo-mp3"}})"));
    EXPECT_FALSE(Fetch(title, 1));
    ASSERT_TRUE(Mount("vo-mp3", JsonQuote("Vo Song")));
    ASSERT_TRUE(Fetch(title, 1));
    EXPECT_EQ(title, u"Vo Song");
}

TEST_F(NowPlayingSim, EndpointBytesAreConverted) {
    std::u16string title;
    ASSERT_TRUE(sim->SetBody("/nowplaying/ostrel", "bad \xC3 byte \xFF"));
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"bad \uFFFD byte \uFFFD");
    ASSERT_TRUE(sim->SetBody("/nowplaying/ostrel", std::string(5000, 'z')));
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, std::u16string(511, u'z'));
    EXPECT_TRUE(FetchNowPlaying(ctx, 0, nullptr, 0));
}

TEST_F(NowPlayingSim, ServersThatNeverAnswerCostOneBoundedRefresh) {
    ASSERT_TRUE(sim->Set(R"({"path":"/nowplaying/ostrel","hang":true})"));
    ASSERT_TRUE(Mount("ostrel-160", JsonQuote("Still Here")));
    std::u16string title;
    auto start = Clock::now();
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Still Here");
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kNowPlayingReceiveTimeoutMs + 1500));

    ASSERT_TRUE(sim->Set(R"({"path":"/status-json.xsl","hang":true})"));
    start = Clock::now();
    EXPECT_FALSE(Fetch(title));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kNowPlayingReceiveTimeoutMs));
    EXPECT_LT(took, std::chrono::milliseconds(6000));
}

// A station that trickles its answer a byte at a time, each within the receive time-out, still
// costs one refresh no longer than the budget; what arrived by then is used.
TEST_F(NowPlayingSim, TricklingServersEndWithTheBudget) {
    const auto bound = std::chrono::milliseconds(kNowPlayingBudgetMs + 1000);
    const std::string text = "Artist - Song" + std::string(600, '.');
    ASSERT_TRUE(sim->Set(R"({"path":"/nowplaying/ostrel","trickle_ms":2000,"chunk":1,"body":)" + JsonQuote(text) + "}"));
    std::u16string title;
    auto start = Clock::now();
    ASSERT_TRUE(Fetch(title));
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kNowPlayingBudgetMs - 300));
    EXPECT_LT(took, bound);
    EXPECT_FALSE(title.empty());
    EXPECT_LE(title.size(), 4u);
    EXPECT_EQ(title, std::u16string(u"Artist").substr(0, title.size()));

    // The status document trickled in pieces: the entry at its head has arrived by the end.
    ASSERT_TRUE(sim->SetBody("/nowplaying/ostrel", "gone", 404));
    std::string doc = R"({"icestats":{"source":[{"listenurl":"http://127.0.0.1:8000/ostrel-160","title":"Slow Song"})";
    for (int i = 0; i < 200; ++i) doc += R"(,{"listenurl":"http://127.0.0.1:8000/x)" + std::to_string(i) + R"(-160"})";
    doc += "]}}";
    ASSERT_TRUE(sim->Set(R"({"path":"/status-json.xsl","trickle_ms":1000,"chunk":40,"body":)" + JsonQuote(doc) + "}"));
    start = Clock::now();
    ASSERT_TRUE(Fetch(title));
    took = Clock::now() - start;
    EXPECT_EQ(title, u"Slow Song");
    EXPECT_LT(took, bound);

    // A prompt station is still read whole on the same session.
    ASSERT_TRUE(sim->SetBody("/nowplaying/ostrel", "Artist - Song" + std::string(900, '!')));
    start = Clock::now();
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Artist - Song" + std::u16string(498, u'!'));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
}

// The watcher over a table of channels "w0".."w<n-1>" at the simulator; w0 is on show.
class StationWatchSim : public NowPlayingSim {
protected:
    static std::string Id(int i) { return "w" + std::to_string(i); }

    void Table(int n) {
        AppConfig& c = settings.config;
        c.channels.count = n;
        std::vector<ChannelOnAir> rows;
        for (int i = 0; i < n; ++i) {
            CopyText(c.channels.entries[i].id, Id(i).c_str());
            CopyText(c.channels.entries[i].endpoint, (sim->BaseUrl() + "/nowplaying/" + Id(i)).c_str());
            ChannelOnAir row;
            row.id = Id(i);
            row.name = "Name " + Id(i);
            rows.push_back(row);
        }
        SetBoardChannels(board, rows, 0);
    }

    // Channel i's endpoint text (null: none) and both its mounts, with listeners 160 and mp3.
    static std::string Orders(int i, const std::string& textJson, int on160, int onMp3) {
        return R"({"channel":")" + Id(i) + R"(","text":)" + textJson + R"(},{"mount":")" + Id(i) +
               R"(-160","title":"Status )" + std::to_string(i) + R"(","fields":{"listeners":)" + std::to_string(on160) +
               R"(}},{"mount":")" + Id(i) + R"(-mp3","fields":{"listeners":)" + std::to_string(onMp3) + "}}";
    }

    void Start(std::uint32_t roundMs = kWatchRoundMs) {
        StationWatchOptions options;
        options.roundMs = roundMs;
        options.utcNow = [] { return std::int64_t{1000}; };
        watch = std::make_unique<StationWatch>(settings, board, options);
    }

    std::string Title(int i) { return ReadStationBoard(board).channels.at(static_cast<std::size_t>(i)).title; }

    void StopWithinItsBound() {
        const auto stopAt = Clock::now();
        EXPECT_TRUE(watch->Stop(StationWatch::kStopWaitMs));
        EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(StationWatch::kStopWaitMs));
    }

    StationBoard board;
    std::unique_ptr<StationWatch> watch;  // stopped before the board and the settings go
};

// Every channel but the one on show gets its title, and every channel its listeners, in the
// first round: from the endpoint, or from the status document where the endpoint has none.
TEST_F(StationWatchSim, EveryChannelWithinOneRound) {
    constexpr int n = MAX_CHANNELS;
    Table(n);
    std::string orders;
    for (int i = 0; i < n; ++i) {
        const std::string text = i % 8 == 7 ? "null" : JsonQuote("Artist " + std::to_string(i) + " - Song :: 12");
        orders += (i ? "," : "") + Orders(i, text, i, 1);
    }
    ASSERT_TRUE(Station("{\"orders\":[" + orders + R"(]})"));
    ASSERT_TRUE(Station(R"({"mount":"w5-160","remove":true})"));
    ASSERT_TRUE(Station(R"({"mount":"w5-mp3","remove":true})"));
    const auto expectedTitle = [](int i) {
        return i == 0 ? std::string() : i % 8 == 7 ? "Status " + std::to_string(i) : "Artist " + std::to_string(i) + " - Song";
    };
    const auto expectedListeners = [](int i) { return i == 5 ? kListenersUnknown : std::int64_t{i + 1}; };
    const auto start = Clock::now();
    Start();
    const auto filled = [&] {
        const StationBoardCopy copy = ReadStationBoard(board);
        for (int i = 0; i < n; ++i) {
            const ChannelOnAir& row = copy.channels[static_cast<std::size_t>(i)];
            if (row.title != expectedTitle(i) || row.listeners != expectedListeners(i)) return false;
        }
        return true;
    };
    ASSERT_TRUE(WaitFor(filled, std::chrono::milliseconds(kWatchRoundMs)));
    const StationBoardCopy copy = ReadStationBoard(board);
    for (int i = 1; i < n; ++i) EXPECT_EQ(copy.channels[static_cast<std::size_t>(i)].since, 1000) << i;
    EXPECT_EQ(sim->Requests("/nowplaying/w0"), 0);  // the window's own refresh keeps that row
    const auto rounds = static_cast<int>((Clock::now() - start) / std::chrono::milliseconds(kWatchRoundMs)) + 1;
    EXPECT_LE(sim->Requests("/status-json.xsl"), rounds);

    // A new title is seen in the next round; the one on show changes, and the watcher leaves it.
    ASSERT_TRUE(Text(Id(3), "Next - Title"));
    SelectBoardChannel(board, 4);
    ASSERT_TRUE(Text(Id(4), "Not - Asked"));
    ASSERT_TRUE(WaitFor([&] { return Title(3) == "Next - Title"; }, std::chrono::milliseconds(kWatchRoundMs + 2000)));
    EXPECT_EQ(Title(4), "Artist 4 - Song");
}

// One channel's endpoint never answers and another's answers garbage: the others' titles arrive
// long before the hanging request's time-out; the garbage channel's title comes from the status
// document, and so does the hanging one's once its request has ended. A stop while a hanging
// request is in flight stays within its bound.
TEST_F(StationWatchSim, AHangingAndAGarbageChannelDelayNoOther) {
    constexpr int n = 8;
    constexpr std::uint32_t round = 3000;
    Table(n);
    std::string orders;
    for (int i = 0; i < n; ++i) orders += (i ? "," : "") + Orders(i, JsonQuote("Song " + std::to_string(i)), 1, 1);
    ASSERT_TRUE(Station("{\"orders\":[" + orders + R"(]})"));
    ASSERT_TRUE(sim->Set(R"({"path":"/nowplaying/w1","hang":true})"));
    ASSERT_TRUE(sim->SetBody("/nowplaying/w2", "<html><body>Server error</body></html>"));
    Start(round);
    const auto othersIn = [&] {
        for (int i = 3; i < n; ++i) {
            if (Title(i) != "Song " + std::to_string(i)) return false;
        }
        return Title(2) == "Status 2";
    };
    EXPECT_TRUE(WaitFor(othersIn, std::chrono::milliseconds(kNowPlayingReceiveTimeoutMs - 500)));
    EXPECT_TRUE(WaitFor([&] { return Title(1) == "Status 1"; }, std::chrono::milliseconds(round + 1000)));

    // Left out for one round, the hanging channel is asked again in the third; stopped then.
    ASSERT_TRUE(WaitFor([&] { return sim->Requests("/nowplaying/w1") == 2; }, std::chrono::milliseconds(3 * round + 1000)));
    StopWithinItsBound();
}

// More hanging channels than parallel requests, ahead of a healthy one in the table: each gives
// its slot up after a second while the healthy one waits, and once they have failed they are
// asked after it and left out for rounds, so every change of the healthy channel is seen within
// a round, the first one included.
TEST_F(StationWatchSim, HangingChannelsCannotStarveTheRest) {
    constexpr int n = 8;
    constexpr std::uint32_t round = 2000;
    Table(n);
    for (int i = 1; i < n - 1; ++i) ASSERT_TRUE(sim->Set(R"({"path":"/nowplaying/)" + Id(i) + R"(","hang":true})"));
    ASSERT_TRUE(Text(Id(7), "First"));
    Start(round);
    ASSERT_TRUE(WaitFor([&] { return Title(7) == "First"; }, std::chrono::milliseconds(round + 1500)));
    for (const char* next : {"Second", "Third", "Fourth"}) {
        ASSERT_TRUE(Text(Id(7), next));
        EXPECT_TRUE(WaitFor([&] { return Title(7) == next; }, std::chrono::milliseconds(round + 1500))) << next;
    }
    StopWithinItsBound();
}

// Listeners follow the document: a count that changes is seen, and once the document has been
// missing for some rounds the count is unknown again.
TEST_F(StationWatchSim, ListenersBecomeUnknownWithoutTheDocument) {
    constexpr std::uint32_t round = 300;
    Table(2);
    ASSERT_TRUE(Station("{\"orders\":[" + Orders(0, "null", 4, 5) + "," + Orders(1, "null", 1, 0) + "]}"));
    Start(round);
    const auto listeners = [&](std::int64_t a, std::int64_t b) {
        return [&, a, b] {
            const StationBoardCopy copy = ReadStationBoard(board);
            return copy.channels[0].listeners == a && copy.channels[1].listeners == b;
        };
    };
    EXPECT_TRUE(WaitFor(listeners(9, 1), std::chrono::milliseconds(round + 1500)));
    // The document's title goes in once the channel's endpoint has failed, maybe a moment later.
    EXPECT_TRUE(WaitFor([&] { return Title(1) == "Status 1"; }, std::chrono::milliseconds(round + 1500)));
    ASSERT_TRUE(Station(R"({"mount":"w1-mp3","fields":{"listeners":6}})"));
    EXPECT_TRUE(WaitFor(listeners(9, 7), std::chrono::milliseconds(round + 1500)));
    ASSERT_TRUE(sim->SetBody("/status-json.xsl", "gone", 404));
    EXPECT_TRUE(WaitFor(listeners(kListenersUnknown, kListenersUnknown),
                        std::chrono::milliseconds((kWatchListenersKeptRounds + 2) * round + 1500)));
    EXPECT_EQ(Title(1), "Status 1");  // a title stays as it was
}

}  // namespace
