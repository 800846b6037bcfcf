// The cover set under several threads: titles changing faster than downloads, clears and the
// pictures switch from another thread while a worker downloads, readers holding pictures while
// the set is emptied. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <set>

#include "../unit/covers_fakes.hpp"
#include "covers/cover_search.hpp"
#include "covers/cover_sources.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

using namespace covers_test;

namespace {

// Three good pictures behind a page; every read pauses, so downloads are slower than titles.
std::shared_ptr<FakeWeb> SlowWeb(int readDelayMs) {
    auto web = std::make_shared<FakeWeb>();
    std::string page;
    for (int i = 0; i < 3; ++i) {
        const std::string url = "http://pics/" + std::to_string(i);
        page += EntityItem(url);
        FakeAnswer pic;
        pic.body = PictureBytes("jpeg", std::to_string(i), 20000);
        pic.chunk = 4096;
        pic.readDelayMs = readDelayMs;
        web->Set(url, pic);
    }
    FakeAnswer a;
    a.body = page;
    a.chunk = 64;
    a.readDelayMs = readDelayMs;
    web->SetPage(a);
    return web;
}

// Reads the picture on show until stop, checking that bytes and size belong together.
void Reader(CoverSet& set, std::atomic<bool>& stop, std::atomic<int>& seen) {
    std::vector<CoverBytes> held;
    while (!stop.load()) {
        CoverBytes bytes;
        std::uint32_t size = 0;
        std::int32_t id = 0;
        if (GetCurrentCover(set, &bytes, &size, &id)) {
            EXPECT_EQ(bytes->size(), size);
            EXPECT_EQ((*bytes)[0], 0xFF);
            held.push_back(bytes);  // kept past clears and new titles
            if (held.size() > 64) held.erase(held.begin());
            ++seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (const CoverBytes& b : held) EXPECT_EQ(CoverText(b).substr(4, 4), "tag:");
}

bool AllEnded(CoverSet& set) {
    return WaitFor([&] { return set.liveWorkers.load() == 0; }, std::chrono::milliseconds(15000));
}

std::set<std::string> Tags(CoverSet& set) {
    std::lock_guard<std::mutex> hold(set.lock);
    std::set<std::string> tags;
    for (int i = 0; i < set.count; ++i) tags.insert(CoverText(set.slots[i].data).substr(8, 2));
    return tags;
}

}  // namespace

TEST(CoverRace, TitlesFasterThanDownloadsOnlyTheCurrentSearchPublishes) {
    // Alone as designed, and with the sources, whose cache and chain every worker shares: titles
    // come back, so pictures are stored and found while other workers search.
    for (const bool withSources : {false, true}) {
        SCOPED_TRACE(withSources ? "with sources" : "image search alone");
        Recorder& rec = InstallRecorder();
        CoverSet& set = LeakedSet();
        set.sessionFactory = FactoryFor(SlowWeb(3));
        if (withSources) set.sources = new CoverSources;  // kept for the process, as workers may be late
        std::atomic<bool> stop{false};
        std::atomic<int> seen{0};
        std::thread reader(Reader, std::ref(set), std::ref(stop), std::ref(seen));
        std::thread rotator([&] {
            while (!stop.load()) {
                RotateCover(set);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        for (int i = 0; i < 25; ++i) {
            StartCoverSearch(
                set, u"Title " + std::u16string(1, static_cast<char16_t>(u'A' + i % (withSources ? 4 : 25))));
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 3 == 0 ? 40 : 7));
        }
        StartCoverSearch(set, u"Final");
        EXPECT_TRUE(WaitForCoverWorker(set, 10000));
        ASSERT_TRUE(AllEnded(set));
        stop = true;
        reader.join();
        rotator.join();
        // Three pictures, each once: a stale worker never added to the final set.
        EXPECT_EQ(Tags(set), (std::set<std::string>{"0;", "1;", "2;"}));
        EXPECT_EQ(set.searching.load(), 0);
        EXPECT_GT(rec.coversChanged.load(), 3);
        SetMainWindowTarget(nullptr);
    }
}

TEST(CoverRace, ClearAndSwitchFromAnotherThreadDuringDownloads) {
    InstallRecorder();
    CoverSet& set = LeakedSet();
    set.sessionFactory = FactoryFor(SlowWeb(2));
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::thread reader(Reader, std::ref(set), std::ref(stop), std::ref(seen));
    std::thread server([&] {  // the web API's thread
        for (int i = 0; i < 30 && !stop.load(); ++i) {
            if (i % 3 == 0)
                ClearCovers(set);
            else
                SetImagesEnabled(set, i % 3 == 1 ? false : true);
            std::this_thread::sleep_for(std::chrono::milliseconds(9));
        }
    });
    for (int i = 0; i < 30; ++i) {
        StartCoverSearch(set, u"Song " + std::u16string(1, static_cast<char16_t>(u'a' + i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
    server.join();
    StartCoverSearch(set, u"Song final");  // a clear may have come after the last title
    SetImagesEnabled(set, false);
    ASSERT_TRUE(AllEnded(set));
    stop = true;
    reader.join();
    EXPECT_EQ(set.count, 0);  // off: nothing published after the switch
    EXPECT_EQ(set.searching.load(), 0);
    SetImagesEnabled(set, true);  // the remembered title is searched again
    EXPECT_TRUE(WaitForCoverWorker(set, 10000));
    ASSERT_TRUE(AllEnded(set));
    EXPECT_EQ(set.count, 3);
    SetMainWindowTarget(nullptr);
}

TEST(CoverRace, AgainstTheSimulatorWithTheRealClient) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    if (!OpenHttpSession("probe")) GTEST_SKIP() << "no HTTP client";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    const std::string json =
        "{\"urls\": [\"{base}/pics/jpeg/x?delay_ms=60\", \"{base}/pics/png/y?delay_ms=60\","
        " \"{base}/pics/webp/z\"]}";
    ASSERT_NE(RawHttpExchange(SimulatorPort(), "POST /_sim/images HTTP/1.0\r\nContent-Length: " +
                                                   std::to_string(json.size()) + "\r\n\r\n" + json)
                  .find(" 200 "),
              std::string::npos);
    InstallRecorder();
    CoverSet& set = LeakedSet();
    SetImageSearchUrl(set, sim.BaseUrl() + "/images/async");
    std::atomic<bool> stop{false};
    std::thread clearer([&] {
        for (int i = 0; i < 6 && !stop.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(35));
            ClearCovers(set);
        }
    });
    for (int i = 0; i < 10; ++i) {
        StartCoverSearch(set, u"T" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    clearer.join();
    StartCoverSearch(set, u"Last");
    EXPECT_TRUE(WaitForCoverWorker(set, 10000));
    ASSERT_TRUE(AllEnded(set));
    std::lock_guard<std::mutex> hold(set.lock);
    ASSERT_EQ(set.count, 3);
    EXPECT_NE(CoverText(set.slots[0].data).find("tag:x;"), std::string::npos);
    EXPECT_NE(CoverText(set.slots[2].data).find("tag:z;"), std::string::npos);
    SetMainWindowTarget(nullptr);
}

TEST(CoverRace, ANewSearchStartedWhileTheLastOneEndsKeepsItsSearchingFlag) {
    InstallRecorder();
    CoverSet& set = LeakedSet();
    auto bodies = std::make_shared<std::vector<std::function<void()>>>();
    set.startThread = [bodies](std::function<void()> body) {  // run by hand below
        bodies->push_back(std::move(body));
        return true;
    };
    set.sessionFactory = FactoryFor(std::make_shared<FakeWeb>());  // an empty page: the search ends
    CopyText(set.imageSearchUrl, "http://search/images/async");
    StartCoverSearch(set, u"Old");
    ASSERT_EQ(bodies->size(), 1u);

    // While the old search ends, a new title arrives on another thread; the hook widens the
    // moment between "am I the newest?" and the clear of the flag.
    std::atomic<bool> go{false};
    std::thread title([&] {
        WaitFor([&] { return go.load(); }, std::chrono::milliseconds(5000));
        StartCoverSearch(set, u"New");
    });
    set.endSearchHook = [&] {
        if (go.exchange(true)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    std::thread old((*bodies)[0]);
    old.join();
    title.join();
    set.endSearchHook = nullptr;
    ASSERT_EQ(bodies->size(), 2u);
    EXPECT_EQ(set.searching.load(), 1) << "the new search is still running";
    std::thread fresh((*bodies)[1]);
    fresh.join();
    EXPECT_EQ(set.searching.load(), 0);
    SetMainWindowTarget(nullptr);
}

// Counts the search threads alive at once, and the set's count of working ones, while 100 titles
// follow each other, then times the search for "Final" (started after beforeFinal) until it ends.
struct Burst {
    std::atomic<int> alive{0};
    std::atomic<int> most{0};
    std::atomic<int> mostWorking{0};
    long long finalMs = 0;

    static void Raise(std::atomic<int>& most, int now) {
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
    }

    void Run(CoverSet& set, const std::function<void()>& beforeFinal) {
        set.startThread = [this, &set](std::function<void()> body) {
            std::thread([this, &set, body = std::move(body)] {
                Raise(most, ++alive);
                Raise(mostWorking, set.liveWorkers.load());
                body();
                --alive;
            }).detach();
            return true;
        };
        for (int i = 0; i < 100; ++i) {
            const std::string n = std::to_string(i);
            StartCoverSearch(set, u"Burst " + std::u16string(n.begin(), n.end()));
            if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        beforeFinal();
        const auto t0 = std::chrono::steady_clock::now();
        StartCoverSearch(set, u"Final");
        EXPECT_TRUE(WaitForCoverWorker(set, 10000));
        finalMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        ::testing::Test::RecordProperty("newest_search_ms", static_cast<int>(finalMs));
        ::testing::Test::RecordProperty("most_threads", most.load());
        EXPECT_LE(mostWorking.load(), kMaxCoverWorkers);
        // A thread that handed its place on still runs the few instructions to its return, which
        // on a loaded machine may overlap the start of the thread that took the place.
        EXPECT_LE(most.load(), 2 * kMaxCoverWorkers);
        EXPECT_TRUE(AllEnded(set));
        EXPECT_TRUE(WaitFor([&] { return alive.load() == 0; }, std::chrono::milliseconds(3000)));
    }
};

TEST(CoverRace, ABurstOfTitlesWithDeafHostsKeepsThreadsBoundedAndTheNewestFast) {
    InstallRecorder();
    CoverSet& set = LeakedSet();
    auto web = std::make_shared<FakeWeb>();
    FakeAnswer page;  // every title's page points at a host that never answers...
    page.body = EntityItem("http://pics/deaf");
    web->SetPage(page);
    FakeAnswer deaf;
    deaf.hangs = true;
    web->Set("http://pics/deaf", deaf);
    FakeAnswer good;  // ...but the last one's
    good.body = EntityItem("http://pics/good");
    web->Set("http://search/images/async?q=Final%20album%20cover&qft=+filterui:imagesize-medium&first=1&count=10", good);
    FakeAnswer pic;
    pic.body = PictureBytes("jpeg", "good");
    web->Set("http://pics/good", pic);
    set.sessionFactory = FactoryFor(web);
    CopyText(set.imageSearchUrl, "http://search/images/async");
    static Burst burst;  // outlives a thread that a failed test leaves behind
    burst.Run(set, [] {});
    EXPECT_LT(burst.finalMs, 1500) << "the newest search waited for stale ones";
    EXPECT_EQ(Tags(set), std::set<std::string>{"go"});
    SetMainWindowTarget(nullptr);
}

TEST(CoverRace, ABurstOfTitlesWithTheRealClientAndAPictureHostThatNeverAnswers) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    if (!OpenHttpSession("probe")) GTEST_SKIP() << "no HTTP client";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Reset());
    const auto configure = [](const std::string& json) {
        return RawHttpExchange(SimulatorPort(), "POST /_sim/images HTTP/1.0\r\nContent-Length: " +
                                                    std::to_string(json.size()) + "\r\n\r\n" + json)
                   .find(" 200 ") != std::string::npos;
    };
    ASSERT_TRUE(configure("{\"urls\": [\"{base}/pics/hang/h\"]}"));
    InstallRecorder();
    CoverSet& set = LeakedSet();
    SetImageSearchUrl(set, sim.BaseUrl() + "/images/async");
    static Burst burst;
    burst.Run(set, [&] { EXPECT_TRUE(configure("{\"urls\": [\"{base}/pics/jpeg/final\"]}")); });
    // A client that drops a transfer for the cancel check frees a thread at once; one that does
    // not frees it at the picture's 3500 ms time-out at the latest.
    EXPECT_LT(burst.finalMs, 3500 + 2000);
    EXPECT_EQ(set.count, 1);
    SetMainWindowTarget(nullptr);
}
