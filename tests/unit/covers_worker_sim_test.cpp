// The search worker with the real HTTP client (libcurl, or WinINet under Wine) against the
// station simulator's image search.
#include "covers/cover_search.hpp"
#include "covers/cover_sources.hpp"

#include "covers_fakes.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

using namespace covers_test;

namespace {

class CoverSim : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
        if (!OpenHttpSession("probe")) GTEST_SKIP() << "no HTTP client";
        sim_ = std::make_unique<SimControl>(SimulatorPort());
        ASSERT_TRUE(sim_->Reset());
        SetImageSearchUrl(set_, sim_->BaseUrl() + "/images/async");
    }
    void TearDown() override { SetMainWindowTarget(nullptr); }

    // Searches for title and waits for the worker; returns how long it took.
    std::chrono::milliseconds Search(std::u16string_view title, int limitMs = 20000) {
        const auto t0 = std::chrono::steady_clock::now();
        StartCoverSearch(set_, title);
        EXPECT_TRUE(WaitForCoverWorker(set_, limitMs));
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    }
    std::vector<std::string> Published() {
        std::lock_guard<std::mutex> hold(set_.lock);
        std::vector<std::string> out;
        for (int i = 0; i < set_.count; ++i) out.push_back(CoverText(set_.slots[i].data));
        return out;
    }
    bool Requested(const std::string& part) { return sim_->Log().find(part) != std::string::npos; }
    bool Configure(const std::string& json) {
        return RawHttpExchange(SimulatorPort(), "POST /_sim/images HTTP/1.0\r\nContent-Length: " +
                                                    std::to_string(json.size()) + "\r\n\r\n" + json)
                   .find(" 200 ") != std::string::npos;
    }

    CoverSet& set_ = LeakedSet();
    std::unique_ptr<SimControl> sim_;
};

bool HasTag(const std::string& bytes, const std::string& tag) { return bytes.find("tag:" + tag + ";") != std::string::npos; }

}  // namespace

TEST_F(CoverSim, PublishesEveryGoodPictureKindAndSkipsTheRest) {
    Recorder& rec = InstallRecorder();
    Search(u"TOVREL Radio | Artist - Song [Live]");
    const auto pics = Published();
    ASSERT_EQ(pics.size(), 4u);
    EXPECT_TRUE(HasTag(pics[0], "a"));
    EXPECT_TRUE(HasTag(pics[1], "c"));
    EXPECT_TRUE(HasTag(pics[2], "g"));
    EXPECT_TRUE(HasTag(pics[3], "h"));
    EXPECT_EQ(pics[3].size(), 4194304u);  // the 5 MiB picture, cut at the limit
    EXPECT_EQ(set_.searching.load(), 0);
    EXPECT_EQ(rec.coversChanged.load(), 5);
    EXPECT_FALSE(Requested("/pics/jpeg/i"));  // results 9 and 10 are never fetched
    EXPECT_NE(RawHttpExchange(SimulatorPort(), "GET /_sim/images HTTP/1.0\r\n\r\n")
                  .find("\"raw\": [\"%20Artist%20%2d%20Song%20album%20cover\"]"),
              std::string::npos);
    const std::string log = sim_->Log();
    EXPECT_NE(log.find("\"user-agent\": \"Lavf/57.83.100\""), std::string::npos);
    EXPECT_NE(log.find("first=1&count=10"), std::string::npos);
}

TEST_F(CoverSim, LengthClassesAmpAndMarkers) {
    ASSERT_TRUE(Configure("{\"preset\": \"classes\", \"marker\": \"both\"}"));
    Search(u"A");
    const auto pics = Published();
    ASSERT_EQ(pics.size(), 7u);  // 999 bytes, the &amp; one and k1..k5; the 11-byte URL fails
    EXPECT_TRUE(HasTag(pics[0], "len999"));
    EXPECT_TRUE(HasTag(pics[1], "amp"));
    EXPECT_TRUE(HasTag(pics[6], "k5"));
    EXPECT_TRUE(Requested("/pics/png/amp?a=1&b=2&amp;c=3"));
    EXPECT_FALSE(Requested("len1000"));
    EXPECT_FALSE(Requested("/pics-json/"));  // both forms on the page: the entity form only
}

TEST_F(CoverSim, JsonMarkerAloneAndAPageBeyondTheLimit) {
    ASSERT_TRUE(Configure("{\"urls\": [\"{base}/pics/jpeg/first\"], \"marker\": \"json\", \"pad_to\": 600000,"
                          " \"tail_urls\": [\"{base}/pics/jpeg/beyond\"]}"));
    Search(u"A");
    ASSERT_EQ(Published().size(), 1u);
    EXPECT_TRUE(Requested("/pics-json/jpeg/first"));
    EXPECT_FALSE(Requested("beyond"));
}

TEST_F(CoverSim, AHangingPictureHostCostsAtMostItsTimeOut) {
    ASSERT_TRUE(Configure("{\"urls\": [\"{base}/pics/hang/h\", \"{base}/pics/slow/s?delay_ms=300\","
                          " \"{base}/pics/jpeg/after\"]}"));
    const auto took = Search(u"A");
    const auto pics = Published();
    ASSERT_EQ(pics.size(), 2u);
    EXPECT_TRUE(HasTag(pics[1], "after"));
    EXPECT_GE(took.count(), 3000);
    EXPECT_LT(took.count(), 3500 + 2500) << "a picture that never answers must end at its time-out";
}

TEST_F(CoverSim, ATricklingPageIsReadAndAClearStopsItMidway) {
    ASSERT_TRUE(Configure("{\"urls\": [\"{base}/pics/jpeg/t\"], \"trickle_ms\": 5, \"chunk\": 400}"));
    Search(u"A");
    EXPECT_EQ(Published().size(), 1u);

    // Cancelled while the page trickles in: no picture is asked for, nothing is published.
    ASSERT_TRUE(Configure("{\"urls\": [\"{base}/pics/jpeg/late\"], \"trickle_ms\": 20, \"chunk\": 200,"
                          " \"pad_to\": 8000}"));
    StartCoverSearch(set_, u"B");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ClearCovers(set_);
    EXPECT_TRUE(WaitForCoverWorker(set_, 5000));
    EXPECT_EQ(set_.count, 0);
    EXPECT_EQ(set_.searching.load(), 0);
    EXPECT_FALSE(Requested("/pics/jpeg/late"));
}

namespace {

// Every album-art service at the simulator, in the built-in order after the image search.
CoverSources& SimSources(const std::string& base) {
    auto* sources = new CoverSources;  // late workers may use it: kept for the process
    CoverSourcesConfig config;
    config.itunesUrl = base + "/itunes/search";
    config.deezerUrl = base + "/deezer/search";
    config.musicBrainzUrl = base + "/musicbrainz/ws/2/recording";
    config.coverArtArchiveUrl = base + "/caa";
    sources->chain.Configure(config);
    return *sources;
}

std::string AlbumArtCounts() {
    const std::string reply = RawHttpExchange(SimulatorPort(), "GET /_sim/albumart HTTP/1.0\r\n\r\n");
    const std::size_t at = reply.find("\"counts\"");
    return at == std::string::npos ? std::string() : reply.substr(at, reply.find('}', at) - at);
}

bool ConfigureAlbumArt(const std::string& json) {
    return RawHttpExchange(SimulatorPort(), "POST /_sim/albumart HTTP/1.0\r\nContent-Length: " +
                                                std::to_string(json.size()) + "\r\n\r\n" + json)
               .find(" 200 ") != std::string::npos;
}

}  // namespace

TEST_F(CoverSim, ServicesStandInForADeadImageSearchAndTheCacheForThemAll) {
    set_.sources = &SimSources(sim_->BaseUrl());
    ASSERT_TRUE(Configure("{\"page\": \"\", \"status\": 503}"));

    // A cut-off iTunes answer, a slow Deezer: Deezer's cover, after its delay.
    ASSERT_TRUE(ConfigureAlbumArt(R"({"itunes": {"mode": "malformed"}, "deezer": {"mode": "slow", "delay_ms": 300}})"));
    auto took = Search(u"TOVREL Radio | Artist - Song");
    auto pics = Published();
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_TRUE(HasTag(pics[0], "deezer-a"));
    EXPECT_GE(took.count(), 300);
    RecordProperty("chain_ms", static_cast<int>(took.count()));
    EXPECT_NE(sim_->Log().find("\"user-agent\": \"" + std::string(kServiceUserAgent) + "\""), std::string::npos);

    // Every source in order, the image search down: the first service that answers.
    ASSERT_TRUE(ConfigureAlbumArt("{}"));
    took = Search(u"Other Artist - Other Song");
    pics = Published();
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_TRUE(HasTag(pics[0], "itunes-a"));  // the right artist's only; larger than 100x100
    EXPECT_TRUE(Requested("/art/itunes/a/600x600bb.jpg"));
    std::printf("[ measure ] title change to first picture, image search down: %lld ms\n",
                static_cast<long long>(took.count()));

    // The title comes back: shown from the cache, nothing asked of any source.
    const std::string counts = AlbumArtCounts();
    const std::size_t logSize = sim_->Log().size();
    ClearCovers(set_);
    took = Search(u"Other Artist - Other Song");
    pics = Published();
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_TRUE(HasTag(pics[0], "itunes-a"));
    EXPECT_EQ(sim_->Log().size(), logSize);  // not even the image search
    EXPECT_EQ(AlbumArtCounts(), counts);
    std::printf("[ measure ] title change to first picture, from the cache: %lld ms\n",
                static_cast<long long>(took.count()));

    // MusicBrainz with the archive when the others have nothing.
    ASSERT_TRUE(ConfigureAlbumArt(R"({"itunes": {"mode": "empty"}, "deezer": {"mode": "error"}})"));
    Search(u"Third - Song");
    pics = Published();
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_TRUE(HasTag(pics[0], "caa-aaaaaaaa"));
    EXPECT_TRUE(Requested("/caa/release-group/aaaaaaaa-0000-4000-8000-000000000001/front-500"));
    EXPECT_FALSE(Requested("bbbbbbbb"));  // the low-scored recording's

    // Three titles without an answer from the image search: it is still asked for the next.
    Search(u"Fourth - Song");
    EXPECT_TRUE(Requested("/images/async?q=Fourth%20%2d%20Song"));
}

TEST_F(CoverSim, AStaleSearchStopsInTheMiddleOfATricklingPicture) {
    // Only a client that asks the session's cancel check during a transfer can do this.
    auto probe = OpenHttpSession("probe");
    probe->SetTimeouts(1500, 1500);
    probe->SetCancelCheck([] { return true; });
    const auto p0 = std::chrono::steady_clock::now();
    probe->OpenUrl((sim_->BaseUrl() + "/pics/hang/probe").c_str(), 0, 1024);
    if (std::chrono::steady_clock::now() - p0 > std::chrono::milliseconds(1000)) {
        GTEST_SKIP() << "this HTTP client does not stop a transfer for the cancel check";
    }

    ASSERT_TRUE(Configure("{\"urls\": [\"{base}/pics/trickle/t\", \"{base}/pics/jpeg/after\"]}"));
    StartCoverSearch(set_, u"A");
    ASSERT_TRUE(WaitFor([&] { return Requested("/pics/trickle/t"); }, std::chrono::milliseconds(5000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a byte or two in
    const auto t0 = std::chrono::steady_clock::now();
    ClearCovers(set_);
    EXPECT_TRUE(WaitFor([&] { return set_.liveWorkers.load() == 0; }, std::chrono::milliseconds(35000)));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    RecordProperty("trickle_stop_ms", static_cast<int>(took.count()));
    EXPECT_LT(took.count(), 100 + 400);
    EXPECT_EQ(set_.count, 0);
    EXPECT_FALSE(Requested("/pics/jpeg/after"));
}
