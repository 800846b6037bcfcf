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
