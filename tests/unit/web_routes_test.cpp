// Every route of the server over real loopback sockets, byte for byte.
#include "common/text.hpp"
#include "platform/computer_name.hpp"
#include "tests/unit/web_test_env.hpp"
#include "web/history_query.hpp"
#include "web/picture_switch.hpp"
#include "web/web_pages.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <string>
#include <vector>

namespace {

class WebRoutes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        env_ = new WebTestEnv;
        plays_ = new FakePlays;
        env_->context.board = &env_->board;
        env_->context.queryPlays = plays_->Function();
        ASSERT_TRUE(StartWebServer(env_->context, 0));
        ASSERT_NE(WebServerPort(), 0);
    }
    static void TearDownTestSuite() {
        StopWebServer();
        delete env_;
        env_ = nullptr;
        delete plays_;
        plays_ = nullptr;
    }
    void SetUp() override {
        {
            std::lock_guard<std::mutex> guard(env_->settings.lock);
            ResetConfigDefaults(env_->settings.config);
        }
        {
            std::lock_guard<std::mutex> guard(env_->snapshot.lock);
            env_->snapshot.channelIndex = 0;
            CopyText(env_->snapshot.channelName, "Radio Tovrel");
            CopyText(env_->snapshot.track, "Connecting...");
        }
        InitCoverSet(env_->covers);
        SetMainWindowTarget(&target_);
        target_.Take();
    }
    void TearDown() override { SetMainWindowTarget(nullptr); }

    static void SetChannels(int count, const std::string& id, const std::u16string& name) {
        std::lock_guard<std::mutex> guard(env_->settings.lock);
        ChannelTable& table = env_->settings.config.channels;
        table.count = count;
        for (int i = 0; i < count; ++i) {
            CopyText(table.entries[i].id, id);
            CopyText(table.entries[i].name, name);
        }
    }
    static void SetSnapshot(const std::string& name, const std::string& track) {
        std::lock_guard<std::mutex> guard(env_->snapshot.lock);
        CopyText(env_->snapshot.channelName, name);
        CopyText(env_->snapshot.track, track);
    }
    static std::int32_t ImageId() {
        std::lock_guard<std::mutex> guard(env_->covers.lock);
        return env_->covers.imageId;
    }

    // Every channel of the built-in table, with what is on air on the first two.
    static void FillBoard() {
        std::vector<ChannelOnAir> rows;
        {
            std::lock_guard<std::mutex> guard(env_->settings.lock);
            const ChannelTable& table = env_->settings.config.channels;
            for (int i = 0; i < table.count; ++i) {
                rows.push_back({std::string(View(table.entries[i].id)), Utf16ToUtf8(View(table.entries[i].name)), "", 0,
                                kListenersUnknown});
            }
        }
        SetBoardChannels(env_->board, {}, 0);  // forgets what the last test put there
        SetBoardChannels(env_->board, std::move(rows), 1);
        SetBoardTitle(env_->board, 0, "Artist - \"Song\"\t\x01 \xFF", 1796652909);
        SetBoardListeners(env_->board, 0, 12);
        SetBoardTitle(env_->board, 1, "Pavo's own", 1796652000);
        SetBoardListeners(env_->board, 1, 0);
    }

    static WebTestEnv* env_;
    static FakePlays* plays_;
    RecordingTarget target_;
};

WebTestEnv* WebRoutes::env_ = nullptr;
FakePlays* WebRoutes::plays_ = nullptr;

class StringSink final : public ResponseSink {
public:
    bool Send(const void* data, std::size_t length) override {
        out.append(static_cast<const char*>(data), length);
        return true;
    }
    std::string out;
};

// The answer of a context the running server does not have (no board, no stored history).
std::string Answer(WebContext context, const std::string& target) {
    const std::string request = "GET " + target + " HTTP/1.1\r\n\r\n";
    StringSink sink;
    HandleRequest(context, request.data(), request.size(), sink);
    return sink.out;
}

const std::string kInvalidQuery = "{\"status\":\"error\",\"message\":\"invalid query\"}";

std::string CsvHeader(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/csv; charset=utf-8\r\nContent-Length: " + std::to_string(length) +
           "\r\nContent-Disposition: attachment; filename=\"radio-history.csv\"\r\nAccess-Control-Allow-Origin: *\r\n"
           "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
}

using Posted = std::vector<std::pair<unsigned, std::uintptr_t>>;

TEST_F(WebRoutes, PageIsServedWholeAtBothAddressesWithAndWithoutQuery) {
    const std::string page = ReadFileBytes(SourcePath("web/page.html"));
    ASSERT_FALSE(page.empty());
    EXPECT_EQ(WebPage(), page);
    for (const char* target : {"/", "/index.html", "/index.html?x=1", "/?"}) {
        EXPECT_EQ(WebGet(target), HtmlHeader(page.size()) + page) << target;
    }
}

TEST_F(WebRoutes, UnknownRoutesGetTheBareNotFound) {
    for (const char* target : {"/api/info/", "/API/INFO", "/index.htm", "/api", "/image/", "//", "/%2Fstop", "x"}) {
        EXPECT_EQ(WebGet(target), kNotFoundResponse) << target;
    }
    // A request line without a target: empty route.
    EXPECT_EQ(WebExchange("GET\r\n\r\n"), kNotFoundResponse);
    EXPECT_EQ(WebExchange("GET"), kNotFoundResponse);
}

TEST_F(WebRoutes, OtherMethodsAndEmptyRequestsAreClosedWithoutAnAnswer) {
    for (const char* request : {"POST /api/info HTTP/1.1\r\n\r\n", "HEAD / HTTP/1.1\r\n\r\n", "get / HTTP/1.1\r\n\r\n",
                                "GETX / HTTP/1.1\r\n\r\n", " \r\n\r\n", "\r\n\r\n"}) {
        EXPECT_EQ(WebExchange(request), "") << request;
    }
    // Connect and close the sending side at once: the read yields nothing.
    const socket_t s = WebConnect();
    ASSERT_NE(s, kInvalidSocket);
    ShutdownSend(s);
    EXPECT_EQ(ReadToEnd(s), "");
    CloseSocket(s);
    EXPECT_TRUE(target_.TakeCommands().empty());
}

TEST_F(WebRoutes, LongRequestIsAnsweredFromItsFirst2047Bytes) {
    // The request line lies at the end of the first 2047 bytes: "GET /" fits, the rest does not.
    std::string request = std::string(2042, ' ') + "GET /api/info HTTP/1.1\r\n";
    request += "X-Pad: " + std::string(5000 - request.size() - 11, 'a') + "\r\n\r\n";
    ASSERT_EQ(request.size(), 5000u);
    const std::string page(WebPage());
    EXPECT_EQ(WebExchange(request), HtmlHeader(page.size()) + page);
    // One byte further and only the method is left.
    EXPECT_EQ(WebExchange(" " + request.substr(0, 4999)), kNotFoundResponse);
    // An ordinary request with a big header block is answered completely.
    const std::string answer =
        WebExchange("GET /api/channel?index=1 HTTP/1.1\r\nX-Pad: " + std::string(5000, 'b') + "\r\n\r\n");
    EXPECT_EQ(answer, JsonHeader(15) + "{\"status\":\"ok\"}");
}

TEST_F(WebRoutes, ChannelListOfTheBuiltInTable) {
    const std::string answer = WebGet("/api/channels");
    const std::string body = BodyOf(answer);
    EXPECT_EQ(HeaderOf(answer), JsonNoCacheHeader(body.size()));
    EXPECT_EQ(body.rfind("[{\"index\":0,\"id\":\"ostrel\",\"name\":\"Ostrel\"},"
                         "{\"index\":1,\"id\":\"pavo\",\"name\":\"Retro (Pavo)\"},",
                         0),
              0u)
        << body;
    Json list;
    ASSERT_TRUE(Json::Parse(body, &list)) << body;
    std::lock_guard<std::mutex> guard(env_->settings.lock);
    ASSERT_EQ(list.items.size(), static_cast<std::size_t>(env_->settings.config.channels.count));
    EXPECT_EQ(body.back(), ']');
    EXPECT_EQ(body.find("},]"), std::string::npos);
}

TEST_F(WebRoutes, ChannelListEmptyAndFullOfEscapes) {
    SetChannels(0, "", u"");
    EXPECT_EQ(WebGet("/api/channels"), JsonNoCacheHeader(2) + "[]");

    // 32 channels whose 127-unit names and 63-byte ids are all characters that need escaping:
    // every channel is listed whole and the result is valid JSON.
    const std::u16string name = std::u16string(61, u'"') + std::u16string(60, u'\x01') + u"\u20ac\u00e9\U0001F600\\\t";
    ASSERT_EQ(name.size(), 127u);
    const std::string id = std::string(31, '"') + std::string(32, '\x02');
    SetChannels(MAX_CHANNELS, id, name);
    const std::string answer = WebGet("/api/channels");
    const std::string body = BodyOf(answer);
    EXPECT_EQ(HeaderOf(answer), JsonNoCacheHeader(body.size()));
    Json list;
    ASSERT_TRUE(Json::Parse(body, &list)) << body.substr(0, 200);
    ASSERT_EQ(list.items.size(), static_cast<std::size_t>(MAX_CHANNELS));
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        const Json& item = list.items[static_cast<std::size_t>(i)];
        ASSERT_NE(item.Get("index"), nullptr);
        EXPECT_EQ(item.Get("index")->number, i);
        EXPECT_EQ(item.Get("id")->text, id);
        EXPECT_EQ(item.Get("name")->text, Utf16ToUtf8(name));
    }
}

TEST_F(WebRoutes, ChannelChoiceReadsTheIndexLikeAtoi) {
    const struct {
        const char* target;
        std::uintptr_t index;
    } accepted[] = {
        {"/api/channel?index=", 0},     {"/api/channel?index=abc", 0}, {"/api/channel?index=2x", 2},
        {"/api/channel?xindex=3", 3},   {"/api/channel?a=1&index=4", 4}, {"/api/channel?index=+5", 5},
        {"/api/channel?index=07", 7},     {"/api/channel?index=-0x", 0},   {"/api/channel?index=1&index=6", 1},
    };
    for (const auto& c : accepted) {
        const std::int32_t before = ImageId();
        EXPECT_EQ(WebGet(c.target), JsonHeader(15) + "{\"status\":\"ok\"}") << c.target;
        EXPECT_EQ(target_.TakeCommands(), (Posted{{MSG_SELECT_CHANNEL, c.index}})) << c.target;
        EXPECT_EQ(ImageId(), before + 1) << "the pictures are cleared at once: " << c.target;
    }
    const std::string invalid = BadRequestHeader(44) + "{\"status\":\"error\",\"message\":\"invalid index\"}";
    for (const char* target : {"/api/channel", "/api/channel?", "/api/channel?idx=1", "/api/channel?index=-1",
                               "/api/channel?index=8", "/api/channel?index=99999999999", "/api/channel?index=32"}) {
        const std::int32_t before = ImageId();
        EXPECT_EQ(WebGet(target), invalid) << target;
        EXPECT_TRUE(target_.TakeCommands().empty()) << target;
        EXPECT_EQ(ImageId(), before) << target;
    }
}

TEST_F(WebRoutes, ChannelChoiceWithoutAWindowIsKeptForIt) {
    SetMainWindowTarget(nullptr);
    env_->ShowPicture(std::string(600, 'j'));
    EXPECT_EQ(WebGet("/api/channel?index=2"), JsonHeader(15) + "{\"status\":\"ok\"}");
    EXPECT_EQ(WebGet("/api/channel?index=1"), JsonHeader(15) + "{\"status\":\"ok\"}");
    EXPECT_EQ(WebGet("/image"), kNoPictureResponse);
    EXPECT_EQ(WebGet("/api/images_toggle"), JsonNoCacheHeader(38) + "{\"status\":\"ok\",\"images_enabled\":false}");
    EXPECT_EQ(WebGet("/stop"), HtmlHeader(294) + std::string(ShutdownPage()));
    EXPECT_TRUE(target_.Take().empty());
    // The window, once it exists, gets the latest of each and the close behind them.
    SetMainWindowTarget(&target_);
    EXPECT_EQ(target_.TakeCommands(), (Posted{{MSG_SELECT_CHANNEL, 1}, {MSG_SET_IMAGES, 0}, {MSG_CLOSE, 0}}));
}

TEST_F(WebRoutes, PictureSwitchAlternatesAndPostsAndTheMainThreadSaves) {
    const bool expected[] = {false, true, false};
    for (const bool on : expected) {
        const std::string body = std::string("{\"status\":\"ok\",\"images_enabled\":") + (on ? "true" : "false") + "}";
        {
            // A save under way on the main thread holds the save lock for as long as the disk
            // takes: the answer does not wait for it, and the file is left to the main thread.
            std::lock_guard<std::mutex> saving(env_->settings.saveLock);
            std::filesystem::remove(env_->settings.file);
            EXPECT_EQ(WebGet("/api/images_toggle"), JsonNoCacheHeader(body.size()) + body);
            EXPECT_FALSE(std::filesystem::exists(env_->settings.file));
        }
        EXPECT_EQ(target_.TakeCommands(), (Posted{{MSG_SET_IMAGES, on ? 1u : 0u}}));
        {
            std::lock_guard<std::mutex> guard(env_->covers.lock);
            EXPECT_EQ(env_->covers.imagesEnabled, on);
        }
        SavePictures(env_->settings, env_->covers);  // as the window does when it takes the message
        EXPECT_EQ(ReadConfig(env_->settings).show_images, on);
        const std::string file = ReadFileBytes(env_->settings.file);
        EXPECT_NE(file.find(on ? "\"show_images\": true" : "\"show_images\": false"), std::string::npos) << file;
    }
}

TEST_F(WebRoutes, PictureSwitchWithAnExplicitValue) {
    const std::string off = JsonNoCacheHeader(38) + "{\"status\":\"ok\",\"images_enabled\":false}";
    const std::string on = JsonNoCacheHeader(37) + "{\"status\":\"ok\",\"images_enabled\":true}";
    const struct {
        const char* target;
        bool on;
    } cases[] = {
        {"/api/images_toggle?enabled=0", false}, {"/api/images_toggle?enabled=0", false},
        {"/api/images_toggle?enabled=true", false}, {"/api/images_toggle?enabled=7", true},
        {"/api/images_toggle?enabled=1", true},  {"/api/images_toggle?xenabled=-2", true},
    };
    for (const auto& c : cases) {
        // Posts, and is saved when the message is taken, every time, also when nothing changes.
        std::filesystem::remove(env_->settings.file);
        EXPECT_EQ(WebGet(c.target), c.on ? on : off) << c.target;
        EXPECT_EQ(target_.TakeCommands(), (Posted{{MSG_SET_IMAGES, c.on ? 1u : 0u}})) << c.target;
        SavePictures(env_->settings, env_->covers);
        EXPECT_TRUE(std::filesystem::exists(env_->settings.file)) << c.target;
        EXPECT_EQ(ReadConfig(env_->settings).show_images, c.on) << c.target;
    }
}

TEST_F(WebRoutes, InfoBeforeTheFirstRefresh) {
    const std::string body =
        "{\"channel_index\":0,\"channel\":\"Radio Tovrel\",\"track\":\"Connecting...\",\"has_image\":false,"
        "\"image_id\":0,\"images_enabled\":true}";
    EXPECT_EQ(WebGet("/api/info"), JsonNoCacheHeader(body.size()) + body);
}

TEST_F(WebRoutes, InfoReportsThePictureAndTheSwitch) {
    {
        std::lock_guard<std::mutex> guard(env_->snapshot.lock);
        env_->snapshot.channelIndex = 3;
    }
    SetSnapshot("Retro (Pavo)", "Artist - Title");
    env_->ShowPicture(std::string(600, 'j'));
    const std::string body =
        "{\"channel_index\":3,\"channel\":\"Retro (Pavo)\",\"track\":\"Artist - Title\",\"has_image\":true,"
        "\"image_id\":" + std::to_string(ImageId()) + ",\"images_enabled\":true}";
    EXPECT_EQ(WebGet("/api/info"), JsonNoCacheHeader(body.size()) + body);

    SetImagesEnabled(env_->covers, false);
    const std::string off = BodyOf(WebGet("/api/info"));
    EXPECT_NE(off.find("\"has_image\":false,\"image_id\":0,\"images_enabled\":false}"), std::string::npos) << off;
}

TEST_F(WebRoutes, InfoEscapesNamesAndTitles) {
    SetSnapshot("Q\"\\", "He said \"go\"\\\tnow\r\nend");
    EXPECT_NE(WebGet("/api/info").find("\"channel\":\"Q\\\"\\\\\",\"track\":\"He said \\\"go\\\"\\\\\\tnow\\r\\nend\""),
              std::string::npos);

    // A name of 255 quotes is cut to 253 escapes; a title of control characters is cut whole;
    // both parse as JSON.
    const std::string name(255, '"');
    std::string track;
    for (int i = 0; i < 1023; ++i) track += static_cast<char>(1 + i % 31);
    SetSnapshot(name, track);
    const std::string answer = WebGet("/api/info");
    const std::string body = BodyOf(answer);
    EXPECT_EQ(HeaderOf(answer), JsonNoCacheHeader(body.size()));
    Json info;
    ASSERT_TRUE(Json::Parse(body, &info)) << body.substr(0, 300);
    EXPECT_EQ(info.Get("channel")->text, std::string(253, '"'));
    const std::string& title = info.Get("track")->text;
    EXPECT_EQ(track.compare(0, title.size(), title), 0);
    EXPECT_GT(title.size(), 300u);
}

TEST_F(WebRoutes, HistoryListsTheLast50TitlesNewestFirstAsJson) {
    {
        std::lock_guard<std::mutex> guard(env_->history.lock);
        env_->history.entries.clear();
    }
    EXPECT_EQ(WebGet("/api/history"), JsonNoCacheHeader(2) + "[]");
    EXPECT_EQ(FormatTitleHistoryJson(nullptr), "[]");

    for (int i = 0; i < 60; ++i) {
        AddToTitleHistory(env_->history, {i % 3, "id" + std::to_string(i % 3), "Song " + std::to_string(i),
                                          FormatUtcTime(1796652909 + i)});
    }
    AddToTitleHistory(env_->history, {31, "q\"", "He said \"go\"\\\tnow\r\n\x01 \xC3\xA9 \xFF", "2026-12-07T14:16:09Z"});
    const std::string answer = WebGet("/api/history?x=1");
    const std::string body = BodyOf(answer);
    EXPECT_EQ(HeaderOf(answer), JsonNoCacheHeader(body.size()));
    Json list;
    ASSERT_TRUE(Json::Parse(body, &list)) << body.substr(0, 300);
    ASSERT_EQ(list.kind, Json::Array);
    ASSERT_EQ(list.items.size(), 50u);
    const Json& newest = list.items[0];
    EXPECT_EQ(newest.keys, (std::vector<std::string>{"channel_index", "channel_id", "title", "first_seen"}));
    EXPECT_EQ(newest.Get("channel_index")->number, 31);
    EXPECT_EQ(newest.Get("channel_id")->text, "q\"");
    EXPECT_EQ(newest.Get("title")->text, "He said \"go\"\\\tnow\r\n\x01 \xC3\xA9 \xEF\xBF\xBD");
    const Json& next = list.items[1];
    EXPECT_EQ(next.Get("channel_index")->number, 59 % 3);
    EXPECT_EQ(next.Get("channel_id")->text, "id2");
    EXPECT_EQ(next.Get("title")->text, "Song 59");
    EXPECT_EQ(next.Get("first_seen")->text, "2026-12-07T14:16:08Z");
    EXPECT_EQ(list.items[49].Get("title")->text, "Song 11");
}

TEST_F(WebRoutes, PictureTypeFollowsItsFirstBytes) {
    EXPECT_EQ(WebGet("/image"), kNoPictureResponse);
    const struct {
        std::string bytes;
        const char* type;
    } cases[] = {
        {std::string("\x89PNG\r\n\x1a\n", 8) + std::string(600, '\0'), "image/png"},
        {"RIFF" + std::string(4, '\x10') + "WEBPVP8 " + std::string(600, 'w'), "image/webp"},
        {std::string("\xff\xd8\xff\xe0", 4) + std::string(600, 'j'), "image/jpeg"},
        {"GIF89a" + std::string(600, 'g'), "image/jpeg"},
    };
    for (const auto& c : cases) {
        env_->ShowPicture(c.bytes);
        EXPECT_EQ(WebGet("/image?t=1700000000000"), PictureHeader(c.type, c.bytes.size()) + c.bytes) << c.type;
    }
    ClearCovers(env_->covers);
    EXPECT_EQ(WebGet("/image"), kNoPictureResponse);
}

TEST_F(WebRoutes, BrowserRequestsFromOtherSitesMayNotChangeTheState) {
    {
        std::lock_guard<std::mutex> guard(env_->settings.lock);
        AppConfig& cfg = env_->settings.config;
        cfg.allowed_origin_count = 2;
        CopyText(cfg.allowed_origins[0], "https://radio.example.org/");
        CopyText(cfg.allowed_origins[1], "http://127.0.0.1:9");
    }
    const std::string port = std::to_string(WebServerPort());
    const std::string self = "http://127.0.0.1:" + port;
    struct Case {
        std::string headers;  // after the request line
        bool refused;
    };
    const Case table[] = {
        {"Host: 127.0.0.1:" + port + "\r\n", false},  // a script, curl
        {"", false},
        {"Host: 127.0.0.1:" + port + "\r\nSec-Fetch-Site: same-origin\r\nOrigin: " + self + "\r\n", false},
        {"Host: 127.0.0.1:" + port + "\r\nSec-Fetch-Site: none\r\n", false},  // typed into the address bar
        {"Host: localhost:" + port + "\r\nOrigin: HTTP://LOCALHOST:" + port + "\r\n", false},
        {"Host: localhost:80\r\nOrigin: http://localhost\r\n", false},
        {"Origin: https://Radio.Example.ORG\r\nSec-Fetch-Site: cross-site\r\nHost: 127.0.0.1\r\n", false},
        {"Host: 127.0.0.1:" + port + "\r\nSec-Fetch-Site: cross-site\r\n", true},  // <img src=...>
        {"Host: 127.0.0.1:" + port + "\r\nsec-fetch-site:  SAME-SITE \r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nOrigin: http://evil.example\r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nOrigin: null\r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nOrigin: http://127.0.0.1:1" + port + "\r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nOrigin: https://127.0.0.1:" + port + ".evil\r\n", true},
        {"Origin: " + self + "\r\n", true},  // no Host to compare with
        {"Host: 127.0.0.1:" + port + "\nOrigin: http://evil.example\n", true},
        {"Host: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\nOrigin: https://radio.example.org.evil\r\n", true},
        {"Host: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\nOrigin: http://127.0.0.1:9/x\r\n", true},
        // Host must name this machine: a page whose own name is made to resolve here (DNS
        // rebinding) looks same-origin but sends its name.
        {"Host: rebind.example.net:" + port + "\r\nOrigin: http://rebind.example.net:" + port +
             "\r\nSec-Fetch-Site: same-origin\r\n", true},
        {"Host: rebind.example.net:" + port + "\r\n", true},
        {"Host: 127.0.0.1.rebind.example.net\r\n", true},
        {"Host: localhost.rebind.example.net\r\n", true},
        {"Host: evillocalhost\r\n", true},
        {"Host: 0x7f.1\r\n", true},
        {"Host: [rebind.example.net]\r\n", true},
        {"Host: 127.0.0.1:" + port + "x\r\n", true},
        {"Host: \r\n", true},
        {"Host: radio.example.org.evil\r\n", true},
        {"Host: [::1]:" + port + "\r\nOrigin: http://[::1]:" + port + "\r\n", false},
        {"Host: 192.168.1.10:7555\r\n", false},
        {"Host: App.LocalHost:" + port + "\r\n", false},
        {"Host: radio.example.org:8080\r\n", false},  // the host of a listed origin
        // A Referer names the page that sent the request where a browser sends neither Origin
        // nor Fetch Metadata (plain http to a LAN address).
        {"Host: 192.168.1.10:7555\r\nReferer: http://other.example/page\r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nReferer: http://127.0.0.1:" + port + "@other.example/\r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nReferer: /page\r\n", true},
        {"Referer: " + self + "/\r\n", true},  // no Host to compare with
        {"Host: 127.0.0.1:" + port + "\r\nOrigin: " + self + "\r\nReferer: http://other.example/\r\n", true},
        {"Host: 127.0.0.1:" + port + "\r\nReferer: " + self + "/?x=1\r\n", false},  // the program's own page
        {"Host: 127.0.0.1\r\nReferer: HTTP://127.0.0.1:80/\r\n", false},
        {"Host: 127.0.0.1\r\nReferer: https://radio.example.org/page\r\n", false},
        {"Host: 127.0.0.1\r\nReferer: http://127.0.0.1:9/x\r\n", false},
        {"Host: 127.0.0.1\r\nReferer:\r\n", false},
    };
    // The computer's own name, with or without ".local".
    const std::string computer = ComputerName();
    ASSERT_FALSE(computer.empty());
    std::string shouted = computer;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::vector<Case> ownName = {
        {"Host: " + computer + ":" + port + "\r\nReferer: http://" + shouted + ":" + port + "/\r\n", false},
        {"Host: " + shouted + ".local:" + port + "\r\n", false},
        {"Host: " + computer + ".rebind.example.net\r\n", true},
    };
    const std::string crossSite = "{\"status\":\"error\",\"message\":\"cross-site request refused\"}";
    const std::string picturesOn = "{\"status\":\"ok\",\"images_enabled\":true}";
    std::vector<Case> cases(std::begin(table), std::end(table));
    cases.insert(cases.end(), ownName.begin(), ownName.end());
    for (const auto& c : cases) {
        for (const std::string target : {"/api/channel?index=1", "/api/images_toggle?enabled=1", "/stop"}) {
            std::filesystem::remove(env_->settings.file);
            const std::int32_t before = ImageId();
            const std::string answer = WebExchange("GET " + target + " HTTP/1.1\r\n" + c.headers + "\r\n");
            const std::string what = target + " with " + c.headers;
            if (c.refused) {
                EXPECT_EQ(answer, ForbiddenHeader(crossSite.size()) + crossSite) << what;
                EXPECT_TRUE(target_.TakeCommands().empty()) << what;
                EXPECT_FALSE(std::filesystem::exists(env_->settings.file)) << what;
                EXPECT_EQ(ImageId(), before) << what;
            } else {
                EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << what;
                EXPECT_EQ(target_.TakeCommands().size(), 1u) << what;
            }
        }
        // Reading routes answer every origin.
        const std::string info = WebExchange("GET /api/info HTTP/1.1\r\n" + c.headers + "\r\n");
        EXPECT_EQ(HeaderOf(info), JsonNoCacheHeader(BodyOf(info).size())) << c.headers;
        const socket_t events = WebConnect();
        std::string stream;
        ASSERT_TRUE(SendText(events, "GET /api/events HTTP/1.1\r\n" + c.headers + "\r\n"));
        EXPECT_TRUE(ReadUntil(events, stream, "}\n\n", 2000)) << c.headers;
        EXPECT_EQ(stream.rfind(kEventStreamHeader + "event: info\ndata: {", 0), 0u) << c.headers;
        CloseSocket(events);
    }
    // A header block that does not end within the bytes read (a page can make its address that
    // long) may hide the fields that would tell: refused.
    const std::string tooLarge = "{\"status\":\"error\",\"message\":\"request headers too large\"}";
    const std::string padded = "GET /stop?" + std::string(kWebRequestBytes, 'p') +
                               " HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\n\r\n";
    EXPECT_EQ(WebExchange(padded), ForbiddenHeader(tooLarge.size()) + tooLarge);
    EXPECT_TRUE(target_.TakeCommands().empty());
    // Within the bound the fields are found wherever they lie.
    const std::string late = "GET /api/images_toggle?enabled=1 HTTP/1.1\r\nX-Pad: " + std::string(6000, 'q') +
                             "\r\nOrigin: http://evil.example\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_EQ(WebExchange(late), ForbiddenHeader(crossSite.size()) + crossSite);
    EXPECT_EQ(WebExchange("GET /api/images_toggle?enabled=1 HTTP/1.1\r\nX-Pad: " + std::string(6000, 'q') +
                          "\r\nHost: 127.0.0.1\r\n\r\n"),
              JsonNoCacheHeader(picturesOn.size()) + picturesOn);
}

TEST_F(WebRoutes, AllowedOriginsAreReadFromTheFileAndWrittenBackOnlyWhenThere) {
    const std::string cross = "Host: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\nOrigin: ";
    const auto toggle = [&](const std::string& origin) {
        const std::string answer = WebExchange("GET /api/images_toggle HTTP/1.1\r\n" + cross + origin + "\r\n\r\n");
        target_.Take();
        SavePictures(env_->settings, env_->covers);
        return answer.substr(0, 12);
    };
    // The default file has no such key, and a save does not add one.
    WriteFileBytes(env_->settings.file, "{}");
    LoadConfig(env_->settings);
    EXPECT_EQ(toggle("https://a.example"), "HTTP/1.1 403");
    SaveShowImages(env_->settings, true);
    EXPECT_EQ(ReadFileBytes(env_->settings.file).find("allowed_origins"), std::string::npos);

    // Strings are taken (escapes decoded, other values skipped, at most eight), then written back
    // and read again the same.
    std::string list = "\"https://a.example\", 7, {\"x\": 1}, \"\", \"http:\\/\\/b.example:8080\"";
    for (int i = 0; i < 8; ++i) list += ", \"http://c" + std::to_string(i) + ".example\"";
    WriteFileBytes(env_->settings.file, "{\"allowed_origins\" : [" + list + "], \"port\": 7555}");
    LoadConfig(env_->settings);
    for (int round = 0; round < 2; ++round) {
        const AppConfig cfg = ReadConfig(env_->settings);
        ASSERT_EQ(cfg.allowed_origin_count, MAX_ALLOWED_ORIGINS) << round;
        EXPECT_EQ(View(cfg.allowed_origins[0]), "https://a.example");
        EXPECT_EQ(View(cfg.allowed_origins[1]), "http://b.example:8080");
        EXPECT_EQ(View(cfg.allowed_origins[7]), "http://c5.example");
        EXPECT_EQ(toggle("https://a.example"), "HTTP/1.1 200");
        EXPECT_EQ(toggle("http://b.example:8080"), "HTTP/1.1 200");
        EXPECT_EQ(toggle("http://c6.example"), "HTTP/1.1 403");
        const std::string file = ReadFileBytes(env_->settings.file);
        EXPECT_NE(file.find("  \"allowed_origins\": [\r\n    \"https://a.example\",\r\n"), std::string::npos) << file;
        LoadConfig(env_->settings);  // the file the toggles wrote
    }
}

TEST_F(WebRoutes, StopSendsTheShutDownPageThenClosesTheWindow) {
    const std::string page(ShutdownPage());
    ASSERT_EQ(page.size(), 294u);
    EXPECT_EQ(WebGet("/stop?now"), HtmlHeader(294) + page);
    EXPECT_EQ(target_.TakeCommands(), (Posted{{MSG_CLOSE, 0}}));
    // The server itself keeps running until the shutdown stops it.
    EXPECT_EQ(WebGet("/nothing"), kNotFoundResponse);
}

TEST_F(WebRoutes, NowPlayingListsEveryChannelOfTheBoard) {
    FillBoard();
    const std::string answer = WebGet("/api/nowplaying?t=1");
    const std::string body = BodyOf(answer);
    EXPECT_EQ(HeaderOf(answer), JsonNoCacheHeader(body.size()));
    EXPECT_EQ(body.rfind("{\"channels\":[{\"index\":0,\"id\":\"ostrel\",\"name\":\"Ostrel\",\"title\":\"Artist - "
                        "\\\"Song\\\"\\t\\u0001 \xEF\xBF\xBD\",\"since\":\"2026-12-07T14:15:09Z\",\"listeners\":12,"
                        "\"selected\":false},{\"index\":1,\"id\":\"pavo\",\"name\":\"Retro (Pavo)\",\"title\":"
                        "\"Pavo's own\",\"since\":\"2026-12-07T14:00:00Z\",\"listeners\":0,\"selected\":true},"
                        "{\"index\":2,\"id\":",
                        0),
              0u)
        << body;
    Json all;
    ASSERT_TRUE(Json::Parse(body, &all)) << body;
    const Json& rows = *all.Get("channels");
    ASSERT_EQ(rows.items.size(), static_cast<std::size_t>(ReadConfig(env_->settings).channels.count));
    const Json& quiet = rows.items.back();
    EXPECT_EQ(quiet.keys, (std::vector<std::string>{"index", "id", "name", "title", "since", "listeners", "selected"}));
    for (const char* key : {"title", "since", "listeners"}) EXPECT_EQ(quiet.Get(key)->kind, Json::Null) << key;

    // A new title shows at the next request: the body is made again for the board's new version.
    SetBoardTitle(env_->board, 2, "Third", 1796652999);
    SelectBoardChannel(env_->board, 2);
    const std::string after = BodyOf(WebGet("/api/nowplaying"));
    EXPECT_NE(after.find("\"index\":2,\"id\":\"lumo\",\"name\":\"Modern (Lumo)\",\"title\":\"Third\""), std::string::npos) << after;
    EXPECT_NE(after.find("\"listeners\":0,\"selected\":false}"), std::string::npos) << after;

    // 32 channels whose names, ids and titles are all escapes: every row whole, valid JSON.
    const std::u16string name = std::u16string(61, u'"') + std::u16string(60, u'\x01') + u"\u20ac\u00e9\U0001F600\\\t";
    const std::string id = std::string(31, '"') + std::string(32, '\x02');
    std::vector<ChannelOnAir> full;
    for (int i = 0; i < MAX_CHANNELS; ++i) full.push_back({id, Utf16ToUtf8(name), "", 0, kListenersUnknown});
    SetBoardChannels(env_->board, full, 31);
    for (int i = 0; i < MAX_CHANNELS; i += 2) SetBoardTitle(env_->board, i, std::string(1000, '\\') + "\x1f", 1 + i);
    const std::string big = BodyOf(WebGet("/api/nowplaying"));
    Json parsed;
    ASSERT_TRUE(Json::Parse(big, &parsed)) << big.substr(0, 300);
    ASSERT_EQ(parsed.Get("channels")->items.size(), static_cast<std::size_t>(MAX_CHANNELS));
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        const Json& row = parsed.Get("channels")->items[static_cast<std::size_t>(i)];
        EXPECT_EQ(row.Get("index")->number, i);
        EXPECT_EQ(row.Get("id")->text, id);
        EXPECT_EQ(row.Get("name")->text, Utf16ToUtf8(name));
        EXPECT_EQ(row.Get("title")->kind, i % 2 == 0 ? Json::String : Json::Null);
        EXPECT_EQ(row.Get("selected")->boolean, i == 31);
    }
    EXPECT_EQ(parsed.Get("channels")->items[2].Get("since")->text, "1970-01-01T00:00:03Z");

    // Without a board: every channel of the table, nothing known of it yet.
    WebContext bare = env_->context;
    bare.board = nullptr;
    SetChannels(2, "x\"", u"Y\\");
    EXPECT_EQ(Answer(bare, "/api/nowplaying"),
              JsonNoCacheHeader(205) +
                  "{\"channels\":[{\"index\":0,\"id\":\"x\\\"\",\"name\":\"Y\\\\\",\"title\":null,\"since\":null,"
                  "\"listeners\":null,\"selected\":true},{\"index\":1,\"id\":\"x\\\"\",\"name\":\"Y\\\\\",\"title\":null,"
                  "\"since\":null,\"listeners\":null,\"selected\":false}]}");
    SetChannels(0, "", u"");
    EXPECT_EQ(Answer(bare, "/api/nowplaying"), JsonNoCacheHeader(15) + "{\"channels\":[]}");
}

TEST_F(WebRoutes, HistoryQueryParametersAreReadStrictly) {
    constexpr std::int64_t kNone = kPlayNone;
    const struct {
        const char* query;
        bool csv;
        HistoryQueryRead read;
        const char* channel;
        std::int64_t from, to, before;
        const char* text;
        std::size_t limit;
    } cases[] = {
        {"", false, HistoryQueryRead::None, "untouched", kNone, kNone, kNone, "", 50},
        {"x=1&_=2&channels=a", false, HistoryQueryRead::None, "", kNone, kNone, kNone, "", 50},
        {"channel=pavo", false, HistoryQueryRead::Query, "pavo", kNone, kNone, kNone, "", 50},
        {"channel=&q=&limit=", false, HistoryQueryRead::Query, "", kNone, kNone, kNone, "", 50},
        {"channel=pavo", true, HistoryQueryRead::Query, "pavo", kNone, kNone, kNone, "", 100000},
        {"from=1970-01-01T00:00:00Z&to=2026-12-08T10:00:05Z&before=2000-02-29T23:59:59Z", false,
         HistoryQueryRead::Query, "", 0, 1796724005, 951868799, "", 50},
        {"q=a%2Bb+c%25_%C3%A9&limit=1000", false, HistoryQueryRead::Query, "", kNone, kNone, kNone, "a+b c%_\xC3\xA9", 1000},
        {"limit=0001&x=%zz", false, HistoryQueryRead::Query, "", kNone, kNone, kNone, "", 1},
        {"%63hannel=a&&x&limit=100000", true, HistoryQueryRead::Query, "a", kNone, kNone, kNone, "", 100000},
        {"from=0000-01-01T00:00:00Z", false, HistoryQueryRead::Query, "", -62167219200, kNone, kNone, "", 50},
    };
    for (const auto& c : cases) {
        PlayQuery q;
        q.channelId = "untouched";
        const HistoryQueryRead read = ReadHistoryQuery(c.query, c.csv, &q);
        EXPECT_EQ(read, c.read) << c.query;
        if (read != HistoryQueryRead::Query || c.read != HistoryQueryRead::Query) {
            EXPECT_EQ(q.channelId, "untouched") << c.query;
            continue;
        }
        EXPECT_EQ(q.channelId, c.channel) << c.query;
        EXPECT_EQ(q.from, c.from) << c.query;
        EXPECT_EQ(q.to, c.to) << c.query;
        EXPECT_EQ(q.before, c.before) << c.query;
        EXPECT_EQ(q.text, c.text) << c.query;
        EXPECT_EQ(q.limit, c.limit) << c.query;
    }
    // Malformed: the escapes, the times' form and range, the limits, a repeat, NUL and bad UTF-8.
    const struct {
        const char* query;
        bool csv;
    } malformed[] = {
        {"q=%", false},
        {"q=%4", false},
        {"q=%G1", false},
        {"q=a%00b", false},
        {"q=%FF", false},
        {"q=%C3", false},
        {"%zz=1", false},
        {"limit=0", false},
        {"limit=1001", false},
        {"limit=100001", true},
        {"limit=-1", false},
        {"limit=1e3", false},
        {"limit=+5", false},
        {"limit=99999999999", true},
        {"limit=5&limit=6", false},
        {"from=2026-12-08", false},
        {"from=2026-12-08T10:00:05", false},
        {"to=2026-12-08T10:00:05+00:00", false},
        {"to=2026-12-08t10:00:05z", false},
        {"to=2026-02-29T10:00:05Z", false},
        {"to=2026-13-01T10:00:05Z", false},
        {"before=2026-12-08T24:00:00Z", false},
        {"before=2026-12-08T23:59:60Z", false},
        {"before=1796724005", false},
        {"before=2026-12-08T10:00:05Z%20", false},
    };
    for (const auto& c : malformed) {
        PlayQuery q;
        q.channelId = "untouched";
        EXPECT_EQ(ReadHistoryQuery(c.query, c.csv, &q), HistoryQueryRead::Malformed) << c.query;
        EXPECT_EQ(q.channelId, "untouched") << c.query;
    }

    // Through the routes: the 400 in its exact bytes, for both; a target cut at its bound
    // (511 bytes) is not trusted either.
    const std::string invalid = BadRequestHeader(kInvalidQuery.size()) + kInvalidQuery;
    const std::string cut = "/api/history?q=" + std::string(600, 'a');
    for (const std::string target : {"/api/history?limit=0", "/api/history.csv?from=x", "/api/history?q=%", cut.c_str()}) {
        EXPECT_EQ(WebGet(target), invalid) << target;
    }
    EXPECT_EQ(BodyOf(WebGet("/api/history?_=" + std::string(600, 'a'))).front(), '[');  // as before: the short history
}

TEST_F(WebRoutes, QueriedHistoryNewestFirstWithEndAndListeners) {
    {
        std::lock_guard<std::mutex> guard(plays_->lock);
        plays_->plays = {
            {"pavo", "Retro (Pavo)", "Now \"on\"\t\xFF", 1796724005, kPlayNone, 3, kPlayNone},
            {"gone", "Old", "Before", 1796723000, 1796724005, kPlayNone, 17},
            {"ostrel", "Ostrel", "First", 1796722000, 1796723000, 1, 2},
        };
    }
    const std::string answer = WebGet("/api/history?limit=3&_=9");
    const std::string body = BodyOf(answer);
    EXPECT_EQ(HeaderOf(answer), JsonNoCacheHeader(body.size()));
    EXPECT_EQ(body,
              "[{\"channel_index\":1,\"channel_id\":\"pavo\",\"title\":\"Now \\\"on\\\"\\t\xEF\xBF\xBD\",\"first_seen\":"
              "\"2026-12-08T10:00:05Z\",\"ended\":null,\"listeners\":null},"
              "{\"channel_index\":null,\"channel_id\":\"gone\",\"title\":\"Before\",\"first_seen\":\"2026-12-08T09:43:20Z\","
              "\"ended\":\"2026-12-08T10:00:05Z\",\"listeners\":17},"
              "{\"channel_index\":0,\"channel_id\":\"ostrel\",\"title\":\"First\",\"first_seen\":\"2026-12-08T09:26:40Z\","
              "\"ended\":\"2026-12-08T09:43:20Z\",\"listeners\":2}]");
    // The parameters reach the store as read; the answer holds no more than the limit.
    const std::string some = BodyOf(WebGet("/api/history?channel=pavo&q=now+%22&before=2026-12-09T00:00:00Z&limit=1"));
    Json list;
    ASSERT_TRUE(Json::Parse(some, &list)) << some;
    ASSERT_EQ(list.items.size(), 1u);
    EXPECT_EQ(list.items[0].Get("channel_id")->text, "pavo");
    {
        std::lock_guard<std::mutex> guard(plays_->lock);
        EXPECT_EQ(plays_->last.channelId, "pavo");
        EXPECT_EQ(plays_->last.text, "now \"");
        EXPECT_EQ(plays_->last.before, 1796774400);
        EXPECT_EQ(plays_->last.limit, 1u);
    }
    EXPECT_EQ(BodyOf(WebGet("/api/history?channel=none")), "[]");

    // The export: RFC 4180 quoting, CRLF, and a text that a spreadsheet would run is defused.
    {
        std::lock_guard<std::mutex> guard(plays_->lock);
        plays_->plays = {
            {"=id", "-Name, \"the\"", "=HYPERLINK(\"http://x\")", 1796724005, kPlayNone, kPlayNone, kPlayNone},
            {"a", "b", "+1\r\n@2", 1796723000, 1796724005, 5, 9},
            {"a", "b", "\tTab", 1796722000, 1796723000, 5, 9},
            {"a", "b", "\rCR \xC3", 1796721000, 1796722000, 5, 9},
            {"a", "b", "Plain - Song; ok", 1796720000, 1796721000, kPlayNone, 0},
        };
    }
    const std::string csv = WebGet("/api/history.csv");
    EXPECT_EQ(HeaderOf(csv), CsvHeader(BodyOf(csv).size()));
    EXPECT_EQ(BodyOf(csv),
              "channel_id,channel_name,title,started,ended,listeners\r\n"
              "'=id,\"'-Name, \"\"the\"\"\",\"'=HYPERLINK(\"\"http://x\"\")\",2026-12-08T10:00:05Z,,\r\n"
              "a,b,\"'+1\r\n@2\",2026-12-08T09:43:20Z,2026-12-08T10:00:05Z,9\r\n"
              "a,b,'\tTab,2026-12-08T09:26:40Z,2026-12-08T09:43:20Z,9\r\n"
              "a,b,\"'\rCR \xEF\xBF\xBD\",2026-12-08T09:10:00Z,2026-12-08T09:26:40Z,9\r\n"
              "a,b,Plain - Song; ok,2026-12-08T08:53:20Z,2026-12-08T09:10:00Z,0\r\n");
    {
        std::lock_guard<std::mutex> guard(plays_->lock);
        EXPECT_EQ(plays_->last.limit, kHistoryCsvLimit);
    }
    EXPECT_EQ(WebGet("/api/history.csv?channel=none&limit=5"),
              CsvHeader(55) + "channel_id,channel_name,title,started,ended,listeners\r\n");

    // No stored history: empty answers of the same forms.
    WebContext bare = env_->context;
    bare.queryPlays = nullptr;
    EXPECT_EQ(Answer(bare, "/api/history?channel=pavo"), JsonNoCacheHeader(2) + "[]");
    EXPECT_EQ(Answer(bare, "/api/history.csv?q=a"), CsvHeader(55) + "channel_id,channel_name,title,started,ended,listeners\r\n");
}

}  // namespace
