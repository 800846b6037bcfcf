#include "covers/cover_search.hpp"
#include "covers/cover_sources.hpp"

#include "covers_fakes.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace covers_test;

namespace {

// Runs one worker on this thread for a fresh search of title, as the newest worker.
struct WorkerRun {
    CoverSet& set = LeakedSet();
    std::shared_ptr<FakeWeb> web = std::make_shared<FakeWeb>();
    Recorder& rec = InstallRecorder();
    std::int32_t g = 0;

    explicit WorkerRun(std::u16string_view title) {
        std::lock_guard<std::mutex> hold(set.lock);
        CopyText(set.query, title);
        g = set.generation.fetch_add(1) + 1;
        set.workerGeneration = g;
        set.searching = 1;
        CopyText(set.imageSearchUrl, "http://search/images/async");
    }
    ~WorkerRun() { SetMainWindowTarget(nullptr); }
    void Run() { CoverSearchWorker(set, g, FactoryFor(web)); }
    std::vector<std::string> Published() {
        std::lock_guard<std::mutex> hold(set.lock);
        std::vector<std::string> out;
        for (int i = 0; i < set.count; ++i) out.push_back(CoverText(set.slots[i].data));
        return out;
    }
    void Picture(const std::string& url, const std::string& bytes, std::uint32_t status = 200) {
        FakeAnswer a;
        a.body = bytes;
        a.status = status;
        a.chunk = 1000;
        web->Set(url, a);
    }
};

}  // namespace

TEST(CoverWorker, PublishesValidPicturesInPageOrderFromAtMostEightUrls) {
    WorkerRun run(u"TOVREL Radio | Artist - Song [Live]");
    const auto t0 = HttpSession::Clock::now();
    std::string page = "<html>";
    const char* kinds[] = {"jpeg", "html", "png", "gif", "tiny", "404", "webp", "closed", "jpeg", "jpeg"};
    for (int i = 0; i < 10; ++i) {
        const std::string url = "http://pics/" + std::to_string(i);
        page += EntityItem(url);
        const std::string kind = kinds[i];
        if (kind == "tiny") run.Picture(url, PictureBytes("jpeg", "t", 511));
        else if (kind == "404") run.Picture(url, PictureBytes("jpeg", "404"), 404);
        else if (kind != "closed") run.Picture(url, PictureBytes(kind, std::to_string(i)));
    }
    FakeAnswer pageAnswer;
    pageAnswer.body = page;
    pageAnswer.chunk = 100;
    run.web->SetPage(pageAnswer);
    run.Run();

    const auto published = run.Published();
    ASSERT_EQ(published.size(), 3u);
    EXPECT_NE(published[0].find("tag:0;"), std::string::npos);
    EXPECT_NE(published[1].find("tag:2;"), std::string::npos);
    EXPECT_NE(published[2].find("tag:6;"), std::string::npos);
    EXPECT_EQ(run.set.imageId, 3);
    EXPECT_EQ(run.set.currentIndex, 0);
    EXPECT_EQ(run.set.searching.load(), 0);
    EXPECT_EQ(run.rec.coversChanged.load(), 4);  // one per picture, one at the end
    EXPECT_EQ(run.web->sessionsOpen.load(), 0);
    EXPECT_EQ(run.web->Agents(), std::vector<std::string>{"Lavf/57.83.100"});

    const auto log = run.web->Log();
    ASSERT_EQ(log.size(), 9u);  // the page and 8 pictures, never the 9th or 10th
    EXPECT_EQ(log[0].url, "http://search/images/async?q=%20Artist%20%2d%20Song%20album%20cover"
                          "&qft=+filterui:imagesize-medium&first=1&count=10");
    EXPECT_EQ(log[0].flags, kHttpReload | kHttpNoCookies | kHttpGuardAddresses);
    EXPECT_EQ(log[0].maxBody, 524288u);
    EXPECT_EQ(log[0].connectMs, 5000u);
    EXPECT_EQ(log[0].receiveMs, 5000u);
    EXPECT_EQ(log[8].url, "http://pics/7");
    // Every request has an overall end, and the search's stale check as its cancel check.
    const auto after = [&](const FakeRequestLog& e) { return *e.deadline - t0; };
    for (const auto& e : log) {
        ASSERT_TRUE(e.deadline.has_value());
        EXPECT_TRUE(e.cancellable);
        EXPECT_LE(after(e), std::chrono::milliseconds(&e == &log[0] ? 10000 : 30000) + std::chrono::seconds(5));
    }
    EXPECT_GE(after(log[0]), std::chrono::milliseconds(10000));
    EXPECT_GE(after(log[8]), std::chrono::milliseconds(30000));
    for (std::size_t i = 1; i < log.size(); ++i) {
        EXPECT_EQ(log[i].flags, kHttpReload | kHttpNoCacheWrite | kHttpNoCookies | kHttpGuardAddresses);
        EXPECT_EQ(log[i].maxBody, 4194304u);
        EXPECT_EQ(log[i].connectMs, 3500u);
        EXPECT_EQ(log[i].receiveMs, 3500u);
    }
}

TEST(CoverWorker, EndsAndMessages) {
    {  // nothing to search for: ends at once, tells the window
        WorkerRun run(u"TOVREL Hi-Res |");
        run.Run();
        EXPECT_EQ(run.set.searching.load(), 0);
        EXPECT_EQ(run.rec.coversChanged.load(), 1);
        EXPECT_TRUE(run.web->Agents().empty());
    }
    {  // no session
        WorkerRun run(u"A");
        run.web->refuseSession = true;
        run.Run();
        EXPECT_EQ(run.set.searching.load(), 0);
        EXPECT_EQ(run.rec.coversChanged.load(), 1);
    }
    {  // the page does not open, or is empty, or has no marker
        for (int variant = 0; variant < 3; ++variant) {
            WorkerRun run(u"A");
            FakeAnswer a;
            a.opens = variant != 0;
            a.body = variant == 2 ? "<html>nothing here</html>" : "";
            a.status = 500;
            run.web->SetPage(a);
            run.Run();
            EXPECT_EQ(run.set.searching.load(), 0) << variant;
            EXPECT_EQ(run.rec.coversChanged.load(), 1) << variant;
            EXPECT_EQ(run.web->sessionsOpen.load(), 0);
        }
    }
    {  // stale at its start, a newer worker running: touches nothing, says nothing
        WorkerRun run(u"A");
        run.set.generation.fetch_add(1);
        run.set.workerGeneration = run.g + 1;
        run.Run();
        EXPECT_EQ(run.set.searching.load(), 1);
        EXPECT_EQ(run.rec.coversChanged.load(), 0);
        EXPECT_TRUE(run.web->Agents().empty());
    }
    {  // cancelled by a clear with no newer worker: the newest worker still ends "searching"
        WorkerRun run(u"A");
        ClearCovers(run.set);
        run.rec.coversChanged = 0;
        run.Run();
        EXPECT_EQ(run.set.searching.load(), 0);
        EXPECT_EQ(run.rec.coversChanged.load(), 1);
    }
}

TEST(CoverWorker, ANewTitleDuringDownloadsStopsPublishingAndLeavesSearchingToTheNewWorker) {
    WorkerRun run(u"A");
    run.Picture("http://pics/1", PictureBytes("jpeg", "1"));
    FakeAnswer second;
    second.body = PictureBytes("png", "2", 100000);
    second.chunk = 4096;
    CoverSet* set = &run.set;
    second.onOpen = [set] {  // a new title arrives while this picture downloads
        std::lock_guard<std::mutex> hold(set->lock);
        set->workerGeneration = set->generation.fetch_add(1) + 1;
    };
    run.web->Set("http://pics/2", second);
    run.Picture("http://pics/3", PictureBytes("jpeg", "3"));
    FakeAnswer page;
    page.body = EntityItem("http://pics/1") + EntityItem("http://pics/2") + EntityItem("http://pics/3");
    run.web->SetPage(page);
    run.Run();
    EXPECT_EQ(run.Published().size(), 1u);
    EXPECT_EQ(run.rec.coversChanged.load(), 1);  // the first picture only
    EXPECT_EQ(run.set.searching.load(), 1);      // the newer search's
    EXPECT_EQ(run.web->Log().size(), 3u);        // the third URL is never asked for
}

TEST(CoverWorker, ThePageIsReadUpToItsLimit) {
    WorkerRun run(u"A");
    run.Picture("http://pics/early", PictureBytes("jpeg", "early"));
    run.Picture("http://pics/late", PictureBytes("jpeg", "late"));
    std::string page = EntityItem("http://pics/early");
    page.resize(524288 - 10, ' ');
    page += EntityItem("http://pics/late");  // starts before the limit, its URL runs past it
    page.resize(700000, ' ');
    FakeAnswer a;
    a.body = page;
    run.web->SetPage(a);
    run.Run();
    const auto log = run.web->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].url, "http://pics/early");
    EXPECT_LE(log[0].largestRead, 524288u);
}

TEST(CoverWorker, ANulEndsThePage) {
    WorkerRun run(u"A");
    run.Picture("http://pics/one", PictureBytes("jpeg", "1"));
    run.Picture("http://pics/two", PictureBytes("jpeg", "2"));
    FakeAnswer a;
    a.body = EntityItem("http://pics/one") + std::string(1, '\0') + EntityItem("http://pics/two");
    run.web->SetPage(a);
    run.Run();
    EXPECT_EQ(run.Published().size(), 1u);
}

TEST(CoverDownload, StatusSizeSignatureAndLimit) {
    auto web = std::make_shared<FakeWeb>();
    FakeSession session(web);
    std::vector<std::uint8_t> picture;
    auto set = [&](const std::string& url, FakeAnswer a) { web->Set(url, std::move(a)); };

    FakeAnswer big;
    big.body = PictureBytes("jpeg", "big", 5 * 1024 * 1024);
    set("http://p/big", big);
    ASSERT_TRUE(DownloadCoverImage(session, "http://p/big", picture));
    EXPECT_EQ(picture.size(), 4194304u);  // what was held when reading stopped

    FakeAnswer exact;
    exact.body = PictureBytes("webp", "512", 512);
    exact.statusKnown = false;  // an unreadable status is no reason to give up
    set("http://p/512", exact);
    ASSERT_TRUE(DownloadCoverImage(session, "http://p/512", picture));
    EXPECT_EQ(picture.size(), 512u);

    FakeAnswer broken;
    broken.body = PictureBytes("png", "x", 3000);
    broken.chunk = 1000;
    broken.failAfterBody = true;  // a failed read keeps what was held
    set("http://p/broken", broken);
    EXPECT_TRUE(DownloadCoverImage(session, "http://p/broken", picture));
    EXPECT_EQ(picture.size(), 3000u);

    FakeAnswer moved;
    moved.body = PictureBytes("jpeg", "m");
    moved.status = 301;
    set("http://p/moved", moved);
    EXPECT_FALSE(DownloadCoverImage(session, "http://p/moved", picture));
    EXPECT_TRUE(picture.empty());
    EXPECT_FALSE(DownloadCoverImage(session, "http://p/nowhere", picture));

    FakeAnswer https;
    https.body = PictureBytes("jpeg", "s");
    set("HTTPS://p/s", https);
    set("ftp://p/https:", https);
    EXPECT_TRUE(DownloadCoverImage(session, "HTTPS://p/s", picture));
    EXPECT_TRUE(DownloadCoverImage(session, "ftp://p/https:", picture));  // tried whatever the scheme
    const auto log = web->Log();
    EXPECT_TRUE(log[log.size() - 2].flags & kHttpSecure);
    EXPECT_FALSE(log[log.size() - 1].flags & kHttpSecure);
    for (const auto& entry : log) EXPECT_EQ(entry.receiveMs, 3500u);
}

namespace {

// Sources that live for the process, as late workers may use them; every service on a fake host.
CoverSources& LeakedSources(std::vector<std::string> order, bool orderGiven = true) {
    auto* sources = new CoverSources;
    CoverSourcesConfig config;
    config.orderGiven = orderGiven;
    config.names = std::move(order);
    config.itunesUrl = "http://itunes/search";
    config.deezerUrl = "http://deezer/search";
    config.musicBrainzUrl = "http://mb/ws/2/recording";
    config.coverArtArchiveUrl = "http://caa";
    sources->chain.Configure(config);
    return *sources;
}

const CoverTrack kTrack{"Artist", "Song"};

}  // namespace

TEST(CoverWorkerSources, AskEachInOrderUntilOneGivesAPictureThenKeepIt) {
    CoverSources& sources = LeakedSources({}, false);
    {
        WorkerRun run(u"TOVREL Radio | Artist - Song [Live]");
        run.set.sources = &sources;
        // No results page, a cut-off iTunes answer, then a Deezer answer with a picture.
        FakeAnswer itunes;
        itunes.body = R"({"resultCount":1,"results":[{"artistName":"Art)";
        run.web->Set(BuildItunesUrl("http://itunes/search", kTrack), itunes);
        FakeAnswer deezer;
        deezer.body = R"({"data":[{"artist":{"name":"Artist"},"album":{"cover_xl":"http://art/deezer.jpg"}}]})";
        run.web->Set(BuildDeezerUrl("http://deezer/search", kTrack), deezer);
        run.Picture("http://art/deezer.jpg", PictureBytes("jpeg", "deezer"));
        run.Run();
        EXPECT_EQ(run.Published(), std::vector<std::string>{PictureBytes("jpeg", "deezer")});
        const auto log = run.web->Log();
        ASSERT_EQ(log.size(), 4u);  // MusicBrainz is never asked
        EXPECT_NE(log[0].url.find("/images/async?q=%20Artist%20%2d%20Song%20album%20cover"), std::string::npos);
        EXPECT_EQ(log[3].url, "http://art/deezer.jpg");
        EXPECT_EQ(run.web->Agents(), (std::vector<std::string>{"Lavf/57.83.100", kServiceUserAgent}));
        EXPECT_EQ(run.set.searching.load(), 0);
        EXPECT_GE(run.rec.coversChanged.load(), 2);  // the picture, and the end
    }
    {
        // The title comes back: its picture at once, without a single request.
        WorkerRun run(u"TOVREL Hi-Res | Artist - Song");
        run.set.sources = &sources;
        run.Run();
        EXPECT_EQ(run.Published(), std::vector<std::string>{PictureBytes("jpeg", "deezer")});
        EXPECT_TRUE(run.web->Log().empty());
        EXPECT_TRUE(run.web->Agents().empty());
    }
    // Deezer answered; the image search and iTunes failed once each, not enough to rest.
    EXPECT_FALSE(sources.chain.Resting(CoverSourceKind::ImageSearch));
    EXPECT_EQ(sources.chain.SourcesNow().size(), 4u);
}

TEST(CoverWorkerSources, TheOrderGivenAndTheLogoWhenNothingIsFound) {
    CoverSources& sources = LeakedSources({"musicbrainz", "itunes"});
    const std::string mbid = "11111111-2222-3333-4444-555555555555";
    {
        WorkerRun run(u"Artist - Song");
        run.set.sources = &sources;
        SetCoverLogo(run.set, "http://station/logo.png");
        FakeAnswer mb;
        mb.body = R"({"recordings":[{"score":100,"releases":[{"id":")" + mbid + R"("}]}]})";
        run.web->Set(BuildMusicBrainzUrl("http://mb/ws/2/recording", kTrack), mb);
        run.Picture("http://caa/release/" + mbid + "/front-500", "not found", 404);  // no art in the archive
        FakeAnswer itunes;
        itunes.body = R"({"resultCount":0,"results":[]})";
        run.web->Set(BuildItunesUrl("http://itunes/search", kTrack), itunes);
        run.Picture("http://station/logo.png", PictureBytes("png", "logo"));
        run.Run();
        EXPECT_EQ(run.Published(), std::vector<std::string>{PictureBytes("png", "logo")});
        std::vector<std::string> urls;
        for (const auto& entry : run.web->Log()) urls.push_back(entry.url);
        EXPECT_EQ(urls, (std::vector<std::string>{BuildMusicBrainzUrl("http://mb/ws/2/recording", kTrack),
                                                  "http://caa/release/" + mbid + "/front-500",
                                                  BuildItunesUrl("http://itunes/search", kTrack),
                                                  "http://station/logo.png"}));
    }
    {
        // A jingle has nothing to search for: the logo (fetched once, kept) and no other request.
        WorkerRun run(u"TOVREL Hi-Res |");
        run.set.sources = &sources;
        run.Run();
        EXPECT_EQ(run.Published(), std::vector<std::string>{PictureBytes("png", "logo")});
        EXPECT_TRUE(run.web->Log().empty());
        EXPECT_EQ(run.set.searching.load(), 0);
    }
    {
        // The logo is not kept as the title's picture: a channel without one shows nothing.
        WorkerRun run(u"Artist - Song");
        run.set.sources = &sources;
        SetCoverLogo(run.set, "");
        run.Run();
        EXPECT_TRUE(run.Published().empty());
    }
}

TEST(CoverWorkerSources, TheImageSearchAsksForEveryTitleAndOnlyFailingServicesRest) {
    CoverSources& sources = LeakedSources({"image_search", "itunes", "deezer"});
    // Titles 1 to 3: results pages without a picture address, iTunes down (503), Deezer finding
    // nothing. Titles 4 to 6: no results page at all.
    for (int i = 1; i <= 6; ++i) {
        std::u16string title = u"Artist - Song ";
        title += static_cast<char16_t>(u'0' + i);
        WorkerRun run(title);
        run.set.sources = &sources;
        const CoverTrack track{"Artist", "Song " + std::to_string(i)};
        FakeAnswer page;
        page.opens = i <= 3;
        page.body = "<!DOCTYPE html><html><body>no pictures</body></html>";
        run.web->SetPage(page);
        FakeAnswer itunes;
        itunes.status = 503;
        itunes.body = "busy";
        run.web->Set(BuildItunesUrl("http://itunes/search", track), itunes);
        FakeAnswer deezer;
        deezer.body = R"({"data":[]})";
        run.web->Set(BuildDeezerUrl("http://deezer/search", track), deezer);
        run.Run();
        std::vector<std::string> asked;
        for (const auto& entry : run.web->Log()) asked.push_back(entry.url.substr(0, entry.url.find('?')));
        std::vector<std::string> expected{"http://search/images/async", "http://itunes/search", "http://deezer/search"};
        if (i > 3) expected.erase(expected.begin() + 1);  // iTunes rests after its third failure
        EXPECT_EQ(asked, expected) << "title " << i;
        EXPECT_EQ(run.set.searching.load(), 0);
    }
    EXPECT_FALSE(sources.chain.Resting(CoverSourceKind::ImageSearch));
    EXPECT_FALSE(sources.chain.Resting(CoverSourceKind::Deezer));
    EXPECT_TRUE(sources.chain.Resting(CoverSourceKind::Itunes));
}

TEST(CoverWorkerSources, AnEmptyListSwitchesTheSearchOff) {
    CoverSources& sources = LeakedSources({});
    WorkerRun run(u"Artist - Song");
    run.set.sources = &sources;
    run.Run();
    EXPECT_TRUE(run.Published().empty());
    EXPECT_TRUE(run.web->Log().empty());
    EXPECT_EQ(run.set.searching.load(), 0);
    EXPECT_EQ(run.rec.coversChanged.load(), 1);}

TEST(CoverWorker, AStaleSearchDropsItsTransferInTheMiddle) {
    // A picture host that sends a byte a second, and a results page that never comes.
    for (const bool trickle : {true, false}) {
        WorkerRun run(u"A");
        auto opened = std::make_shared<std::atomic<bool>>(false);
        FakeAnswer slow;
        slow.onOpen = [opened] { *opened = true; };
        if (trickle) {
            slow.body = PictureBytes("jpeg", "slow", 4096);
            slow.chunk = 1;
            slow.readDelayMs = 1000;
            run.web->Set("http://pics/slow", slow);
            FakeAnswer page;
            page.body = EntityItem("http://pics/slow") + EntityItem("http://pics/next");
            run.web->SetPage(page);
        } else {
            slow.hangs = true;
            run.web->SetPage(slow);
        }
        std::atomic<bool> ended{false};
        std::thread worker([&] {
            run.Run();
            ended = true;
        });
        EXPECT_TRUE(WaitFor([&] { return opened->load(); }, std::chrono::milliseconds(3000)));
        std::this_thread::sleep_for(std::chrono::milliseconds(trickle ? 1500 : 300));
        const auto t0 = std::chrono::steady_clock::now();
        ClearCovers(run.set);
        EXPECT_TRUE(WaitFor([&] { return ended.load(); }, std::chrono::milliseconds(5000)));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        worker.join();
        RecordProperty(trickle ? "trickle_stop_ms" : "hang_stop_ms", static_cast<int>(took.count()));
        EXPECT_LT(took.count(), 100 + 150) << (trickle ? "trickling picture" : "silent page");
        EXPECT_EQ(run.set.count, 0);
        EXPECT_EQ(run.web->Log().size(), trickle ? 2u : 1u);  // the next picture is never asked for
        EXPECT_EQ(run.set.searching.load(), 0);
    }
}
