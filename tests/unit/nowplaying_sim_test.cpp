// FetchNowPlaying through the platform's real HTTP client against the station simulator, whose
// status document is written the way an Icecast 2.4 server writes it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/text.hpp"
#include "nowplaying/now_playing.hpp"
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

    bool Station(const std::string& json) {
        const std::string req = "POST /_sim/station HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(json.size()) + "\r\n\r\n" + json;
        const std::string resp = RawHttpExchange(sim->port(), req);
        return resp.size() >= 6 && resp.substr(resp.size() - 6) == "\r\n\r\nok";
    }
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

}  // namespace
