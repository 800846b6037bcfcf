// The picture sources as data (their answers and request addresses), their order, back-off and
// rate limit on a fake clock, the picture cache in memory and on disk, and station logos.
#include <gtest/gtest.h>

#include "covers/cover_cache.hpp"
#include "covers/cover_chain.hpp"
#include "covers/cover_logo.hpp"
#include "covers/cover_source.hpp"
#include "covers_fakes.hpp"
#include "tests/support/test_support.hpp"

using namespace covers_test;

namespace {

using Urls = std::vector<std::string>;

TEST(CoverTrackText, SplitsArtistAndTitle) {
    const struct {
        const char* text;
        const char* artist;
        const char* title;
    } cases[] = {
        {" Artist - Song", "Artist", "Song"},
        {"A - B - C", "A", "B - C"},
        {"Just a jingle", "", "Just a jingle"},
        {"Artist -", "", "Artist -"},  // the cleaned text never ends so; no split without " - "
        {" - Song", "", "Song"},
        {"Hyphen-ated - Song", "Hyphen-ated", "Song"},
    };
    for (const auto& c : cases) {
        const CoverTrack track = SplitCoverTrack(c.text);
        EXPECT_EQ(track.artist, c.artist) << c.text;
        EXPECT_EQ(track.title, c.title) << c.text;
    }
    EXPECT_EQ(CleanCoverText(u"TOVREL Radio | Artist - Song [Live]"), " Artist - Song");
    EXPECT_EQ(CleanCoverText(u"TOVREL Hi-Res |"), "");
}

TEST(CoverServiceAnswers, TurnIntoPictureAddresses) {
    const CoverTrack track{"Artist", "Song"};
    using Parser = bool (*)(std::string_view, const CoverTrack&, Urls&);
    const Parser itunes = ParseItunesAnswer;
    const Parser deezer = ParseDeezerAnswer;
    const Parser musicbrainz = [](std::string_view body, const CoverTrack&, Urls& urls) {
        return ParseMusicBrainzAnswer(body, "http://caa/", urls);
    };
    const std::string mbid = "11111111-2222-3333-4444-555555555555";
    const std::string other = "66666666-2222-3333-4444-555555555555";
    const struct {
        const char* name;
        Parser parse;
        std::string body;
        bool valid;
        Urls urls;
    } cases[] = {
        {"itunes: larger artwork, wrong artist left out, no address twice",
         itunes,
         R"({"resultCount":3,"results":[{"artistName":"The Artist","artworkUrl100":"https://is1.example/x/100x100bb.jpg"},
             {"artistName":"Other","artworkUrl100":"https://is1.example/y/100x100bb.jpg"},
             {"artistName":"artist","artworkUrl100":"https://is1.example/x/100x100bb.jpg"}]})",
         true,
         {"https://is1.example/x/600x600bb.jpg"}},
        {"itunes: nothing found", itunes, R"({"resultCount":0,"results":[]})", true, {}},
        {"itunes: wrong types are skipped",
         itunes,
         R"({"results":[{"artistName":5,"artworkUrl100":"https://a.example/100x100bb.jpg"},{"artworkUrl100":[1]},
             "x", null, {"artistName":"Artist","artworkUrl100":"ftp://a.example/p.jpg"}]})",
         true,
         {}},
        {"itunes: no results list", itunes, R"({"resultCount":1})", false, {}},
        {"itunes: cut off", itunes, R"({"resultCount":1,"results":[{"artistName":"Ar)", false, {}},
        {"deezer: cover_xl, else cover_big",
         deezer,
         R"({"data":[{"artist":{"name":"Artist"},"album":{"cover_xl":"https://e.example/xl.jpg","cover_big":"https://e.example/b.jpg"}},
             {"artist":{"name":"Artist"},"album":{"cover_big":"https://e.example/b2.jpg"}},
             {"artist":{"name":"Nobody"},"album":{"cover_xl":"https://e.example/n.jpg"}}],"total":3})",
         true,
         {"https://e.example/xl.jpg", "https://e.example/b2.jpg"}},
        {"deezer: error object",
         deezer,
         R"({"error":{"type":"Exception","message":"Quota limit exceeded","code":4}})",
         false,
         {}},
        {"deezer: html page", deezer, "<!DOCTYPE html><html></html>", false, {}},
        {"musicbrainz: release group first, low scores left out",
         musicbrainz,
         R"({"count":2,"recordings":[{"score":100,"releases":[{"id":")" + other +
             R"(","release-group":{"id":")" + mbid + R"("}},{"id":")" + other +
             R"("}]},{"score":"40","releases":[{"id":")" + mbid + R"("}]}]})",
         true,
         {"http://caa/release-group/" + mbid + "/front-500", "http://caa/release/" + other + "/front-500"}},
        {"musicbrainz: an id that is no MBID is not put into an address",
         musicbrainz,
         R"({"recordings":[{"score":100,"releases":[{"id":"../../x?y"}]},{"score":1e308,"releases":[{"id":")" +
             mbid + R"("}]}]})",
         true,
         {}},
        {"musicbrainz: no recordings list", musicbrainz, R"({"error":"Invalid query"})", false, {}},
        {"musicbrainz: not JSON", musicbrainz, "", false, {}},
    };
    for (const auto& c : cases) {
        Urls urls{"left over"};
        EXPECT_EQ(c.parse(c.body, track, urls), c.valid) << c.name;
        EXPECT_EQ(urls, c.urls) << c.name;
    }
    // At most a few addresses from one answer.
    std::string many = R"({"results":[)";
    for (int i = 0; i < 9; ++i)
        many += std::string(i ? "," : "") + R"({"artistName":"Artist","artworkUrl100":"https://a.example/)" +
                std::to_string(i) + R"(.jpg"})";
    Urls urls;
    ASSERT_TRUE(ParseItunesAnswer(many + "]}", track, urls));
    EXPECT_EQ(urls.size(), static_cast<std::size_t>(kServicePicturesMax));
}

TEST(CoverServiceAnswers, RequestAddresses) {
    const CoverTrack track{"AC/DC", "Back \"In\" Black"};
    EXPECT_EQ(BuildItunesUrl("", track),
              "https://itunes.apple.com/"
              "search?term=AC%2FDC%20Back%20%22In%22%20Black&media=music&entity=song&limit=10");
    EXPECT_EQ(BuildDeezerUrl("http://d/search", track),
              "http://d/search?q=artist%3A%22AC%2FDC%22%20track%3A%22Back%20%20In%20%20Black%22&limit=10");
    EXPECT_EQ(BuildMusicBrainzUrl("", CoverTrack{"", "Jingle"}),
              "https://musicbrainz.org/ws/2/recording?query=recording%3A%22Jingle%22&fmt=json&limit=10");
    EXPECT_EQ(BuildMusicBrainzUrl("http://m", track),
              "http://"
              "m?query=recording%3A%22Back%20%5C%22In%5C%22%20Black%22%20AND%20artist%3A%22AC%2FDC%22&fmt="
              "json&limit=10");
}

CoverSourcesConfig Given(std::vector<std::string> names) {
    CoverSourcesConfig config;
    config.orderGiven = true;
    config.names = std::move(names);
    return config;
}

TEST(CoverChainRules, OrderFromTheSettings) {
    using K = CoverSourceKind;
    const struct {
        CoverSourcesConfig config;
        std::vector<K> order;
    } cases[] = {
        {{}, {K::ImageSearch, K::Itunes, K::Deezer, K::MusicBrainz}},
        {Given({}), {}},
        {Given({"musicbrainz", "nonsense", "itunes", "musicbrainz"}), {K::MusicBrainz, K::Itunes}},
        {Given({"Deezer", "deezer"}), {K::Deezer}},
    };
    for (const auto& c : cases) EXPECT_EQ(CoverSourceOrder(c.config), c.order);
}

struct FakeClock {
    CoverChain::Clock::time_point now{std::chrono::hours(1)};
    std::vector<std::chrono::milliseconds> sleeps;
    CoverChain::Timing Timing() {
        return {[this] { return now; },
                [this](std::chrono::milliseconds ms) {
                    sleeps.push_back(ms);
                    now += ms;
                }};
    }
};

TEST(CoverChainRules, ThreeFailuresInARowRestASourceForFiveMinutes) {
    using K = CoverSourceKind;
    FakeClock clock;
    CoverChain chain(clock.Timing());
    chain.Configure(Given({"itunes", "deezer"}));
    chain.Report(K::Itunes, SourceOutcome::Failed);
    chain.Report(K::Itunes, SourceOutcome::Failed);
    chain.Report(K::Itunes, SourceOutcome::NoMatch);  // an answer ends the run
    chain.Report(K::Itunes, SourceOutcome::Failed);
    chain.Report(K::Itunes, SourceOutcome::Cancelled);  // counts for nothing
    chain.Report(K::Itunes, SourceOutcome::Failed);
    EXPECT_EQ(chain.SourcesNow(), (std::vector<K>{K::Itunes, K::Deezer}));
    chain.Report(K::Itunes, SourceOutcome::Failed);
    EXPECT_EQ(chain.SourcesNow(), std::vector<K>{K::Deezer});
    clock.now += std::chrono::minutes(5) - std::chrono::milliseconds(1);
    EXPECT_TRUE(chain.Resting(K::Itunes));
    clock.now += std::chrono::milliseconds(1);
    EXPECT_EQ(chain.SourcesNow(), (std::vector<K>{K::Itunes, K::Deezer}));
    // Still failing after its rest: one more failure is enough to rest again.
    chain.Report(K::Itunes, SourceOutcome::Failed);
    EXPECT_TRUE(chain.Resting(K::Itunes));
    chain.Report(K::Itunes, SourceOutcome::Found);
    EXPECT_FALSE(chain.Resting(K::Itunes));
    // The image search is never rested.
    chain.Configure({});
    for (int i = 0; i < 4; ++i) chain.Report(K::ImageSearch, SourceOutcome::Failed);
    EXPECT_FALSE(chain.Resting(K::ImageSearch));
    EXPECT_EQ(chain.SourcesNow().front(), K::ImageSearch);
}

TEST(CoverChainRules, MusicBrainzGetsOneRequestASecond) {
    using K = CoverSourceKind;
    FakeClock clock;
    CoverChain chain(clock.Timing());
    const auto start = clock.now;
    EXPECT_TRUE(chain.AwaitTurn(K::MusicBrainz, {}, std::nullopt));
    EXPECT_TRUE(chain.AwaitTurn(K::Itunes, {}, std::nullopt));  // other services do not wait
    EXPECT_EQ(clock.now, start);
    EXPECT_TRUE(chain.AwaitTurn(K::MusicBrainz, {}, std::nullopt));
    EXPECT_EQ(clock.now - start, std::chrono::seconds(1));
    for (const auto ms : clock.sleeps) EXPECT_LE(ms, CoverChain::kWaitStep);
    // A turn beyond the deadline is not taken, so the next one is no later for it.
    EXPECT_FALSE(chain.AwaitTurn(K::MusicBrainz, {}, clock.now + std::chrono::milliseconds(500)));
    clock.now += std::chrono::milliseconds(400);
    int asked = 0;
    EXPECT_FALSE(chain.AwaitTurn(
        K::MusicBrainz, [&asked] { return ++asked > 3; }, std::nullopt));
    EXPECT_LT(clock.now - start, std::chrono::seconds(2));
    // After a pause of more than a second there is no wait.
    clock.now += std::chrono::seconds(5);
    const auto before = clock.now;
    EXPECT_TRUE(chain.AwaitTurn(K::MusicBrainz, {}, std::nullopt));
    EXPECT_EQ(clock.now, before);
}

CoverBytes Picture(const std::string& tag, std::size_t size = 2048) {
    const std::string bytes = PictureBytes("jpeg", tag, size);
    return std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
}

TEST(CoverCacheStore, KeepsTitlesUpToASizeLeastRecentlyUsedFirstOut) {
    CoverCache cache(10000);
    std::vector<CoverBytes> out;
    EXPECT_FALSE(cache.Find("a", out));
    cache.Store("a", {Picture("a1"), Picture("a2")});
    cache.Store("b", {Picture("b1")});
    ASSERT_TRUE(cache.Find("a", out));  // a is now the most recently used
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(CoverText(out[1]), PictureBytes("jpeg", "a2"));
    cache.Store("c", {Picture("c1"), Picture("c2")});  // 4098 + 2 + 4098: b has to go
    EXPECT_FALSE(cache.Find("b", out));
    EXPECT_TRUE(cache.Find("a", out));
    EXPECT_TRUE(cache.Find("c", out));
    EXPECT_LE(cache.Bytes(), 10000u);
    cache.Store("a", {Picture("a3")});  // replaces, not adds
    ASSERT_TRUE(cache.Find("a", out));
    EXPECT_EQ(out.size(), 1u);
    cache.Store("huge", {Picture("h", 20000)});  // larger than the whole cache: not kept, nothing lost
    EXPECT_FALSE(cache.Find("huge", out));
    EXPECT_EQ(cache.Entries(), 2u);
}

TEST(CoverCacheStore, FolderSurvivesARestartAndIgnoresDamage) {
    TempDir dir;
    {
        CoverCache cache;
        cache.SetFolder(dir.path());
        cache.Store(" Artist - Song", {Picture("s1"), Picture("s2")});
        cache.Store("Other", {Picture("o1")});
    }
    CoverCache restarted;
    restarted.SetFolder(dir.path());
    std::vector<CoverBytes> out;
    ASSERT_TRUE(restarted.Find(" Artist - Song", out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(CoverText(out[0]), PictureBytes("jpeg", "s1"));
    EXPECT_EQ(restarted.Entries(), 1u);  // kept in memory from now on

    const std::filesystem::path file = restarted.FileFor("Other");
    const std::string good = ReadFileBytes(file);
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x20;
    std::vector<CoverBytes> other{Picture("x")};
    const std::string damaged[] = {"",
                                   good.substr(0, good.size() - 1),
                                   flipped,
                                   good + "x",
                                   "not a cover file",
                                   FormatCoverCacheFile("Another key", other)};
    for (const std::string& bytes : damaged) {
        ASSERT_TRUE(WriteFileBytes(file, bytes));
        CoverCache cache;
        cache.SetFolder(dir.path());
        EXPECT_FALSE(cache.Find("Other", out));
        EXPECT_TRUE(out.empty());
    }
    // A folder that cannot be made leaves the cache in memory only.
    CoverCache blocked;
    blocked.SetFolder(file / "sub");
    blocked.Store("k", {Picture("k")});
    EXPECT_TRUE(blocked.Find("k", out));
}

TEST(CoverCacheStore, FolderStaysWithinItsSize) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "notes.txt", std::string(9000, 'n')));  // not the cache's: left alone
    CoverCache cache;
    cache.SetFolder(dir.path(), 9000);
    for (int i = 0; i < 5; ++i) {
        cache.Store("title " + std::to_string(i), {Picture("p" + std::to_string(i), 3000)});
        std::filesystem::last_write_time(
            cache.FileFor("title " + std::to_string(i)),
            std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10 - i));
    }
    std::uintmax_t total = 0;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() != ".cover") continue;
        total += entry.file_size();
        ++files;
    }
    EXPECT_LE(total, 9000u);
    EXPECT_EQ(files, 2);
    EXPECT_TRUE(std::filesystem::exists(cache.FileFor("title 4")));
    EXPECT_TRUE(std::filesystem::exists(dir / "notes.txt"));
}

TEST(CoverLogoLoad, FileBesideTheProgramOrAddressFetchedOnce) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "logo.png", PictureBytes("png", "logo")));
    ASSERT_TRUE(WriteFileBytes(dir / "bad.png", "GIF89a" + std::string(1000, '\0')));
    CoverChain::Clock::time_point now{std::chrono::hours(1)};
    CoverLogos logos(dir.path(), [&now] { return now; });
    auto web = std::make_shared<FakeWeb>();
    FakeSession session(web);

    EXPECT_EQ(CoverText(logos.Load("logo.png", nullptr, {})), PictureBytes("png", "logo"));
    EXPECT_EQ(logos.Load("bad.png", nullptr, {}), nullptr);
    EXPECT_EQ(logos.Load("missing.png", nullptr, {}), nullptr);
    EXPECT_EQ(logos.Load("", &session, {}), nullptr);
    // Too short to be a picture, and a folder by a picture's name: no logo either.
    ASSERT_TRUE(WriteFileBytes(dir / "short.png", PictureBytes("png", "logo").substr(0, 64)));
    std::filesystem::create_directory(dir / "folder.png");
    EXPECT_EQ(logos.Load("short.png", nullptr, {}), nullptr);
    EXPECT_EQ(logos.Load("folder.png", nullptr, {}), nullptr);

    FakeAnswer remote;
    remote.body = PictureBytes("png", "remote");
    web->Set("http://h/logo.png", remote);
    EXPECT_EQ(CoverText(logos.Load("http://h/logo.png", &session, {})), PictureBytes("png", "remote"));
    EXPECT_EQ(CoverText(logos.Load("http://h/logo.png", &session, {})), PictureBytes("png", "remote"));
    EXPECT_EQ(web->Log().size(), 1u);

    // A failed fetch rests before the address is asked again.
    EXPECT_EQ(logos.Load("http://h/down.png", &session, {}), nullptr);
    EXPECT_EQ(logos.Load("http://h/down.png", &session, {}), nullptr);
    EXPECT_EQ(web->Log().size(), 2u);
    now += CoverLogos::kRetryAfter;
    EXPECT_EQ(logos.Load("http://h/down.png", &session, {}), nullptr);
    EXPECT_EQ(web->Log().size(), 3u);
}

}  // namespace
