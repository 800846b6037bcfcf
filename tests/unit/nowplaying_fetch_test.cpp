// FetchNowPlaying driven through a scripted session and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "nowplaying/now_playing.hpp"
#include "tests/support/test_support.hpp"

namespace {

using Clock = NowPlayingContext::Clock;

struct Answer {
    bool opens = true;
    bool statusKnown = true;
    std::uint32_t status = 200;
    std::string body;
    bool readFails = false;
    std::size_t piece = static_cast<std::size_t>(-1);  // most bytes one read gives
    int openMs = 0;                                       // time the open takes
    int readMs = 0;                                       // time each read takes
};

struct Opened {
    std::string url;
    std::uint32_t flags;
    std::size_t maxBody;
    std::uint32_t connectMs;
    std::uint32_t receiveMs;
    std::optional<HttpSession::Clock::time_point> deadline;
};

struct Script {
    std::map<std::string, Answer> answers;
    std::vector<Opened> opened;
    std::vector<std::size_t> reads;  // sizes asked for
    Clock::time_point now{};
};

class FakeRequest : public HttpRequest {
public:
    FakeRequest(Script& s, const Answer& a) : s_(s), a_(a) {}
    bool QueryStatusCode(std::uint32_t& code) override {
        if (!a_.statusKnown) return false;
        code = a_.status;
        return true;
    }
    bool Read(void* buffer, std::size_t maxBytes, std::size_t& bytesRead) override {
        s_.reads.push_back(maxBytes);
        s_.now += std::chrono::milliseconds(a_.readMs);
        bytesRead = 0;
        if (a_.readFails) return false;
        bytesRead = std::min({maxBytes, a_.piece, a_.body.size() - pos_});
        std::memcpy(buffer, a_.body.data() + pos_, bytesRead);
        pos_ += bytesRead;
        return true;
    }

private:
    Script& s_;
    Answer a_;
    std::size_t pos_ = 0;
};

class FakeSession : public HttpSession {
public:
    explicit FakeSession(Script& s) : s_(s) {}
    void SetTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) override {
        connectMs_ = connectMs;
        receiveMs_ = receiveMs;
    }
    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t flags, std::size_t maxBodyBytes) override {
        s_.opened.push_back({url, flags, maxBodyBytes, connectMs_, receiveMs_, Deadline()});
        const auto it = s_.answers.find(url);
        if (it == s_.answers.end()) return nullptr;
        s_.now += std::chrono::milliseconds(it->second.openMs);
        if (!it->second.opens) return nullptr;
        return std::make_unique<FakeRequest>(s_, it->second);
    }

private:
    Script& s_;
    std::uint32_t connectMs_ = 0;
    std::uint32_t receiveMs_ = 0;
};

constexpr char kEndpoint[] = "http://radio.example/np/ostrel.txt";
constexpr char kStatus[] = "http://radio.example:8000/status-json.xsl";

std::string StatusDoc(const std::string& mount, const std::string& titleJson) {
    return "{\"icestats\":{\"source\":{\"listenurl\":\"http://radio.example:8000/" + mount +
           "\",\"server_name\":\"x\",\"title\":" + titleJson + ",\"dummy\":null}}}";
}

class FetchTest : public ::testing::Test {
protected:
    FetchTest() : ctx(settings) {
        AppConfig& c = settings.config;
        c.channels.count = 2;
        CopyText(c.channels.entries[0].id, "ostrel");
        CopyText(c.channels.entries[0].endpoint, kEndpoint);
        CopyText(c.channels.entries[1].id, "pavo");
        CopyText(c.channels.entries[1].endpoint, "http://other.example/np/pavo.txt");
        ctx.session = std::make_unique<FakeSession>(script);
        ctx.now = [this] { return script.now; };
    }

    void Endpoint(const std::string& body, std::uint32_t status = 200) {
        Answer a;
        a.body = body;
        a.status = status;
        script.answers[kEndpoint] = a;
    }
    void Status(const std::string& body, std::uint32_t status = 200) {
        Answer a;
        a.body = body;
        a.status = status;
        script.answers[kStatus] = a;
    }

    // Runs the fetch for channel 0; the title is empty on false.
    bool Fetch(std::u16string& title) {
        char16_t out[TITLE_UNITS];
        std::fill(std::begin(out), std::end(out), u'#');
        const bool ok = FetchNowPlaying(ctx, 0, out, TITLE_UNITS);
        title = ok ? std::u16string(out) : std::u16string();
        if (!ok) {
            EXPECT_EQ(out[0], u'#') << "output touched on failure";
        }
        return ok;
    }

    Settings settings;
    Script script;
    NowPlayingContext ctx;
};

TEST_F(FetchTest, EndpointTextIsTheTitle) {
    Endpoint("Artist - Song :: 1234\r\n");
    std::u16string title;
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Artist - Song");
    ASSERT_EQ(script.opened.size(), 1u);  // the status document is not asked
    const std::uint32_t flags = kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpPragmaNoCache;
    EXPECT_EQ(script.opened[0].flags, flags);
    EXPECT_EQ(script.opened[0].maxBody, 1023u);
    EXPECT_EQ(script.opened[0].connectMs, kNowPlayingConnectTimeoutMs);
    EXPECT_EQ(script.opened[0].receiveMs, kNowPlayingReceiveTimeoutMs);
}

TEST_F(FetchTest, UnusableEndpointFallsBackToTheStatusDocument) {
    struct Case {
        const char* name;
        Answer endpoint;
    };
    auto make = [](std::string body, std::uint32_t status = 200) {
        Answer a;
        a.body = std::move(body);
        a.status = status;
        return a;
    };
    Answer noOpen;
    noOpen.opens = false;
    Answer readFails = make("Title");
    readFails.readFails = true;
    Answer noStatus = make("Title");
    noStatus.statusKnown = false;
    const Case cases[] = {
        {"404", make("Artist - Song", 404)},
        {"html", make("<html><body>hi</body></html>")},
        {"json", make("{\"title\":\"x\"}")},
        {"empty", make("")},
        {"spaces", make("   \r\n")},
        {"nul first", make(std::string("\0abc", 4))},
        {"not opened", noOpen},
        {"read fails", readFails},
        {"status unknown", noStatus},
    };
    for (const auto& c : cases) {
        script.answers[kEndpoint] = c.endpoint;
        Status(StatusDoc("ostrel-160", "\"From Status\""));
        std::u16string title;
        EXPECT_TRUE(Fetch(title)) << c.name;
        EXPECT_EQ(title, u"From Status") << c.name;
        ASSERT_FALSE(script.opened.empty());
        EXPECT_EQ(script.opened.back().url, kStatus) << c.name;
        EXPECT_EQ(script.opened.back().maxBody, 65535u) << c.name;
    }
}

TEST_F(FetchTest, StatusDocumentFailures) {
    Endpoint("", 404);
    std::u16string title;
    Status(StatusDoc("ostrel-160", "\"T\""), 500);
    EXPECT_FALSE(Fetch(title));
    Status(StatusDoc("ostrel-160", "\"   \""));
    EXPECT_FALSE(Fetch(title));
    Status(StatusDoc("zeta-160", "\"T\""));
    EXPECT_FALSE(Fetch(title));
    script.answers.erase(kStatus);
    EXPECT_FALSE(Fetch(title));
    // A status code that cannot be read counts as 200.
    Answer a;
    a.statusKnown = false;
    a.body = StatusDoc("ostrel-mp3", "\"Mp3\"");
    script.answers[kStatus] = a;
    EXPECT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Mp3");
}

TEST_F(FetchTest, BothRequestsRunUnderOneRealClockDeadline) {
    Endpoint("", 404);
    Status(StatusDoc("ostrel-160", "\"T\""));
    const auto before = HttpSession::Clock::now();
    std::u16string title;
    ASSERT_TRUE(Fetch(title));
    const auto after = HttpSession::Clock::now();
    ASSERT_EQ(script.opened.size(), 2u);
    for (const Opened& o : script.opened) {
        // The fake clock stands still; the client's waits are bounded on the real one.
        ASSERT_TRUE(o.deadline.has_value()) << o.url;
        EXPECT_GE(*o.deadline, before + std::chrono::milliseconds(kNowPlayingBudgetMs)) << o.url;
        EXPECT_LE(*o.deadline, after + std::chrono::milliseconds(kNowPlayingBudgetMs)) << o.url;
    }
    EXPECT_EQ(script.opened[0].deadline, script.opened[1].deadline);
    // The shared session is left without one.
    EXPECT_FALSE(ctx.session->Deadline().has_value());
    EXPECT_FALSE(FetchNowPlaying(ctx, 7, nullptr, 0));
    EXPECT_FALSE(ctx.session->Deadline().has_value());
}

TEST_F(FetchTest, OnlyTheFirstEndpointReadCounts) {
    Answer a;
    a.body = "Hello World";
    a.piece = 5;
    script.answers[kEndpoint] = a;
    std::u16string title;
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Hello");
    ASSERT_EQ(script.reads.size(), 1u);
    EXPECT_EQ(script.reads[0], 1023u);
}

TEST_F(FetchTest, StatusBodyIsReadInPiecesUpTo65535Bytes) {
    Endpoint("", 404);
    std::string doc = StatusDoc("ostrel-160", "\"T\"");
    Status(doc + std::string(70000, ' '));
    std::u16string title;
    EXPECT_TRUE(Fetch(title));
    std::size_t total = 0;
    for (std::size_t i = 0; i < script.reads.size(); ++i) {
        EXPECT_LE(script.reads[i], 4096u);
        total += script.reads[i];
    }
    EXPECT_EQ(total, 65535u);
    // A title beyond the limit is not seen.
    Status(std::string(65535 - 10, ' ') + doc);
    EXPECT_FALSE(Fetch(title));
}

TEST_F(FetchTest, TitleIsCutTo511UnitsAtWholeCharacters) {
    Endpoint(std::string(600, 'a'));
    char16_t out[TITLE_UNITS];
    ASSERT_TRUE(FetchNowPlaying(ctx, 0, out, TITLE_UNITS));
    EXPECT_EQ(std::u16string(out).size(), 511u);
    EXPECT_EQ(out[511], u'\0');
    // A character outside the BMP that would straddle unit 511 is left out whole.
    Endpoint(std::string(510, 'a') + "\xF0\x9F\x8E\xB5");
    ASSERT_TRUE(FetchNowPlaying(ctx, 0, out, TITLE_UNITS));
    EXPECT_EQ(std::u16string(out), std::u16string(510, u'a'));
    // 2-byte characters: the 1023-byte read ends inside one; the cut at 511 units drops it.
    std::string e;
    for (int i = 0; i < 600; ++i) e += "\xC3\xA9";
    Endpoint(e);
    ASSERT_TRUE(FetchNowPlaying(ctx, 0, out, TITLE_UNITS));
    EXPECT_EQ(std::u16string(out), std::u16string(511, u'\u00e9'));
    // A smaller buffer is honoured.
    char16_t small[8];
    ASSERT_TRUE(FetchNowPlaying(ctx, 0, small, 8));
    EXPECT_EQ(std::u16string(small), std::u16string(7, u'\u00e9'));
}

TEST_F(FetchTest, NonAsciiAndMalformedUtf8) {
    std::u16string title;
    Endpoint("Bj\xC3\xB6rk \xE2\x80\xA2 J\xC3\xB3\xC3\xB3");
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Bj\u00f6rk \u2022 J\u00f3\u00f3");
    Endpoint("bad \xC3 byte \xFF end");
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"bad \uFFFD byte \uFFFD end");
}

TEST_F(FetchTest, NoOutputBufferOnlyTellsWhetherATitleExists) {
    Endpoint("Song");
    EXPECT_TRUE(FetchNowPlaying(ctx, 0, nullptr, 0));
    Endpoint("", 404);
    EXPECT_FALSE(FetchNowPlaying(ctx, 0, nullptr, TITLE_UNITS));
}

TEST_F(FetchTest, ChannelIndexOutOfRangeMakesNoRequest) {
    Endpoint("Song");
    char16_t out[TITLE_UNITS] = {u'#'};
    EXPECT_FALSE(FetchNowPlaying(ctx, -1, out, TITLE_UNITS));
    EXPECT_FALSE(FetchNowPlaying(ctx, 2, out, TITLE_UNITS));
    EXPECT_FALSE(FetchNowPlaying(ctx, MAX_CHANNELS, out, TITLE_UNITS));
    EXPECT_TRUE(script.opened.empty());
    EXPECT_EQ(out[0], u'#');
}

TEST_F(FetchTest, StatusUrlSettingAndDefault) {
    Endpoint("", 404);
    script.answers["http://other.example:8000/status-json.xsl"] = script.answers[kEndpoint];
    script.answers["http://other.example:8000/status-json.xsl"].status = 200;
    script.answers["http://other.example:8000/status-json.xsl"].body = StatusDoc("pavo-160", "\"Pavo\"");
    char16_t out[TITLE_UNITS];
    ASSERT_TRUE(FetchNowPlaying(ctx, 1, out, TITLE_UNITS));
    EXPECT_EQ(std::u16string(out), u"Pavo");
    CopyText(settings.config.status_url, "http://status.example/s.json");
    Answer s;
    s.body = StatusDoc("ostrel-mp3", "\"Configured\"");
    script.answers["http://status.example/s.json"] = s;
    ASSERT_TRUE(FetchNowPlaying(ctx, 0, out, TITLE_UNITS));
    EXPECT_EQ(std::u16string(out), u"Configured");
}

TEST_F(FetchTest, MissingSessionRunsTheReloadPath) {
    ctx.session.reset();
    int loads = 0;
    std::vector<std::string> agents;
    ctx.loadConfig = [&](Settings& s) {
        ++loads;
        EXPECT_EQ(&s, &settings);
    };
    bool canOpen = false;
    ctx.openSession = [&](const char* agent) -> std::unique_ptr<HttpSession> {
        agents.emplace_back(agent);
        if (!canOpen) return nullptr;
        return std::make_unique<FakeSession>(script);
    };
    Endpoint("Song");
    std::u16string title;
    EXPECT_FALSE(Fetch(title));
    EXPECT_EQ(loads, 1);
    canOpen = true;
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Song");
    EXPECT_EQ(loads, 2);
    ASSERT_TRUE(Fetch(title));  // the reopened session is kept
    EXPECT_EQ(loads, 2);
    EXPECT_EQ(agents, (std::vector<std::string>{"TovrelRadio/1.0", "TovrelRadio/1.0"}));

    // A reload that shrinks the table leaves the index out of range.
    ctx.session.reset();
    ctx.loadConfig = [](Settings& s) { s.config.channels.count = 0; };
    EXPECT_FALSE(Fetch(title));
}

TEST_F(FetchTest, ReloadPathReadsTheReloadedChannelTable) {
    TempDir dir;
    settings.file = dir / "config.json";
    ctx.session.reset();
    ctx.loadConfig = LoadConfig;
    ctx.openSession = [&](const char*) -> std::unique_ptr<HttpSession> { return std::make_unique<FakeSession>(script); };
    std::u16string title;
    EXPECT_FALSE(Fetch(title));  // the built-in endpoints are not scripted
    ASSERT_FALSE(script.opened.empty());
    const AppConfig reloaded = ReadConfig(settings);
    EXPECT_EQ(script.opened[0].url, View(reloaded.channels.entries[0].endpoint));
    EXPECT_NE(script.opened[0].url, kEndpoint);
}

TEST_F(FetchTest, OneRefreshStaysWithinItsTimeBudget) {
    Status(StatusDoc("ostrel-160", "\"T\""));
    Answer& st = script.answers[kStatus];
    st.openMs = 100;
    // The endpoint timed out waiting for an answer: the status document gets the full
    // time-outs while they fit in what is left.
    Answer hung;
    hung.opens = false;
    hung.openMs = static_cast<int>(kNowPlayingReceiveTimeoutMs);
    script.answers[kEndpoint] = hung;
    std::u16string title;
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(script.opened.back().connectMs, kNowPlayingConnectTimeoutMs);
    EXPECT_EQ(script.opened.back().receiveMs, kNowPlayingReceiveTimeoutMs);

    // Later in the budget they are cut to what is left.
    script.answers[kEndpoint].openMs = 4000;
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(script.opened.back().connectMs, kNowPlayingBudgetMs - 4000);
    EXPECT_EQ(script.opened.back().receiveMs, kNowPlayingBudgetMs - 4000);

    // Too little left: the status document is not asked.
    script.answers[kEndpoint].openMs = static_cast<int>(kNowPlayingBudgetMs - kNowPlayingMinRequestMs + 1);
    const std::size_t before = script.opened.size();
    EXPECT_FALSE(Fetch(title));
    EXPECT_EQ(script.opened.size(), before + 1);

    // A status document that trickles in stops being read at the end of the budget.
    script.answers[kEndpoint].openMs = 0;
    st.openMs = 0;
    st.body = std::string(60000, ' ') + StatusDoc("ostrel-160", "\"T\"");
    st.piece = 100;
    st.readMs = 10;
    const Clock::time_point start = script.now;
    script.reads.clear();
    EXPECT_FALSE(Fetch(title));
    EXPECT_LE(script.now - start, std::chrono::milliseconds(kNowPlayingBudgetMs + 10));
    EXPECT_LT(script.reads.size(), 600u);

    // A client that ran the transfer up to the deadline inside the open still hands over what
    // it holds.
    st.body = StatusDoc("ostrel-160", "\"Held\"");
    st.piece = 4096;
    st.readMs = 0;
    st.openMs = static_cast<int>(kNowPlayingBudgetMs);
    ASSERT_TRUE(Fetch(title));
    EXPECT_EQ(title, u"Held");
}

}  // namespace
