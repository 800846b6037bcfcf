#include "covers/cover_set.hpp"

#include "covers_fakes.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>

using namespace covers_test;

namespace {

// A set whose workers are recorded, not run: the state changes of the operations alone.
struct HeldWorkers {
    std::shared_ptr<std::vector<std::function<void()>>> bodies = std::make_shared<std::vector<std::function<void()>>>();
    CoverThreadStarter Starter() {
        auto b = bodies;
        return [b](std::function<void()> body) {
            b->push_back(std::move(body));
            return true;
        };
    }
};

void Fill(CoverSet& set, int n) {
    std::lock_guard<std::mutex> hold(set.lock);
    for (int i = 0; i < n; ++i) {
        auto bytes = std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>(16, std::uint8_t(i)));
        set.slots[i].data = bytes;
        set.slots[i].size = 16;
    }
    set.count = n;
}

}  // namespace

TEST(CoverSetStart, PlaceholdersAndEmptyTitlesChangeNothing) {
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    for (std::u16string_view t : {u"", u"Loading...", u"Connecting..."}) StartCoverSearch(set, t);
    EXPECT_EQ(set.generation.load(), 1);
    EXPECT_EQ(set.imageId, 0);
    EXPECT_EQ(set.searching.load(), 0);
    EXPECT_TRUE(held.bodies->empty());
    StartCoverSearch(set, u"loading...");  // case-sensitive: a real title
    EXPECT_EQ(held.bodies->size(), 1u);
}

TEST(CoverSetStart, NewTitleStartsAWorkerAndTheSameTitleOnlyWhenEmpty) {
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    StartCoverSearch(set, u"A - B");
    EXPECT_EQ(set.generation.load(), 2);
    EXPECT_EQ(set.imageId, 1);
    EXPECT_EQ(set.searching.load(), 1);
    EXPECT_EQ(View(set.query), u"A - B");
    ASSERT_EQ(held.bodies->size(), 1u);

    StartCoverSearch(set, u"A - B");  // nothing found yet: searched again
    EXPECT_EQ(set.generation.load(), 3);
    EXPECT_EQ(set.imageId, 2);
    EXPECT_EQ(held.bodies->size(), 2u);

    Fill(set, 2);
    StartCoverSearch(set, u"A - B");  // pictures there: nothing happens
    EXPECT_EQ(set.generation.load(), 3);
    EXPECT_EQ(set.count, 2);
    EXPECT_EQ(held.bodies->size(), 2u);

    StartCoverSearch(set, u"C");
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(set.slots[0].data, nullptr);
    EXPECT_EQ(set.generation.load(), 4);
}

TEST(CoverSetStart, LongTitleIsKeptCutAndMatchesItself) {
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    std::u16string title(600, u'x');
    title[510] = u'\xD83D';  // a pair across the cut is not split
    title[511] = u'\xDE00';
    StartCoverSearch(set, title);
    EXPECT_EQ(View(set.query), std::u16string(510, u'x'));
    Fill(set, 1);
    StartCoverSearch(set, title);
    EXPECT_EQ(set.count, 1);
}

TEST(CoverSetSwitch, OffKeepsTheQueryAndOnSearchesForIt) {
    Recorder& rec = InstallRecorder();
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    SetImagesEnabled(set, false);
    EXPECT_EQ(rec.coversChanged.load(), 1);
    StartCoverSearch(set, u"A");
    EXPECT_EQ(View(set.query), u"A");
    EXPECT_EQ(set.searching.load(), 0);
    EXPECT_TRUE(held.bodies->empty());

    const int gen = set.generation.load(), id = set.imageId;
    SetImagesEnabled(set, false);  // already off: freed and counted again, but no message
    EXPECT_EQ(set.generation.load(), gen + 1);
    EXPECT_EQ(set.imageId, id + 1);
    EXPECT_EQ(rec.coversChanged.load(), 1);

    SetImagesEnabled(set, true);
    EXPECT_EQ(held.bodies->size(), 1u);
    EXPECT_EQ(set.searching.load(), 1);
    EXPECT_EQ(rec.coversChanged.load(), 2);
    SetImagesEnabled(set, true);  // no change: nothing
    EXPECT_EQ(held.bodies->size(), 1u);
    EXPECT_EQ(rec.coversChanged.load(), 2);

    Fill(set, 3);
    SetImagesEnabled(set, false);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(View(set.query), u"A");
    SetMainWindowTarget(nullptr);
}

TEST(CoverSetClear, EmptiesForgetsTheQueryAndTheSameTitleSearchesAgain) {
    Recorder& rec = InstallRecorder();
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    StartCoverSearch(set, u"A");
    Fill(set, 2);
    const int gen = set.generation.load();
    ClearCovers(set);
    EXPECT_EQ(set.generation.load(), gen + 1);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(View(set.query), u"");
    EXPECT_EQ(rec.coversChanged.load(), 1);
    StartCoverSearch(set, u"A");
    EXPECT_EQ(held.bodies->size(), 2u);
    SetMainWindowTarget(nullptr);
    ClearCovers(set);  // no window: nothing posted, nothing breaks
    EXPECT_EQ(rec.coversChanged.load(), 1);
}

TEST(CoverSetRotate, StepsOnlyThroughTwoOrMorePicturesWhileOn) {
    CoverSet& set = LeakedSet();
    RotateCover(set);
    EXPECT_EQ(set.imageId, 0);
    Fill(set, 1);
    RotateCover(set);
    EXPECT_EQ(set.currentIndex, 0);
    EXPECT_EQ(set.imageId, 0);
    Fill(set, 3);
    set.currentIndex = 2;
    RotateCover(set);
    EXPECT_EQ(set.currentIndex, 0);
    EXPECT_EQ(set.imageId, 1);
    RotateCover(set);
    EXPECT_EQ(set.currentIndex, 1);
    set.imagesEnabled = false;
    RotateCover(set);
    EXPECT_EQ(set.currentIndex, 1);
    EXPECT_EQ(set.imageId, 2);
}

TEST(CoverSetRead, CurrentCoverIsASharedReferenceThatOutlivesTheSlot) {
    CoverSet& set = LeakedSet();
    CoverBytes bytes;
    std::uint32_t size = 77;
    std::int32_t id = -1;
    EXPECT_FALSE(GetCurrentCover(set, &bytes, &size, &id));
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(id, 0);  // the id is always reported
    EXPECT_FALSE(GetCurrentCover(set, nullptr, nullptr, nullptr));

    Fill(set, 3);
    set.currentIndex = 1;
    set.imageId = 9;
    ASSERT_TRUE(GetCurrentCover(set, &bytes, &size, &id));
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(id, 9);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ((*bytes)[0], 1);
    ClearCovers(set);
    EXPECT_EQ(bytes.use_count(), 1);  // the reader's reference alone keeps it
    EXPECT_EQ((*bytes)[15], 1);
    EXPECT_TRUE(GetCurrentCover(set, nullptr, nullptr, nullptr) == false);
}

TEST(CoverSetWorker, AThreadThatCannotStartLeavesSearchingOffAndTellsTheWindow) {
    Recorder& rec = InstallRecorder();
    CoverSet& set = LeakedSet();
    set.startThread = [](std::function<void()>) { return false; };
    StartCoverSearch(set, u"A");
    EXPECT_EQ(set.searching.load(), 0);
    EXPECT_EQ(rec.coversChanged.load(), 1);
    EXPECT_EQ(set.liveWorkers.load(), 0);
    EXPECT_TRUE(WaitForCoverWorker(set, 0));
    SetMainWindowTarget(nullptr);
}

TEST(CoverSetWorker, WaitIsBoundedAndReportsARunningWorker) {
    CoverSet& set = LeakedSet();
    auto web = std::make_shared<FakeWeb>();
    FakeAnswer slow;
    slow.body = EntityItem("http://pics/slow.jpg");
    slow.chunk = 1;
    slow.readDelayMs = 50;  // about 2.5 s of page, checked between reads
    web->SetPage(slow);
    set.sessionFactory = FactoryFor(web);
    EXPECT_TRUE(WaitForCoverWorker(set, 10));  // none started yet
    StartCoverSearch(set, u"A");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForCoverWorker(set, 200));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    ClearCovers(set);  // cancels between reads
    web->SetPage(FakeAnswer{});  // an empty page: the next search ends at once
    StartCoverSearch(set, u"B");
    EXPECT_TRUE(WaitForCoverWorker(set, 1500));
    EXPECT_TRUE(WaitFor([&] { return set.liveWorkers.load() == 0; }, std::chrono::milliseconds(3000)));
    EXPECT_EQ(set.searching.load(), 0);
}

TEST(CoverSetId, NeverOverflowsAndNeverMeansNoPicture) {
    const std::int32_t top = std::numeric_limits<std::int32_t>::max();
    const std::pair<std::int32_t, std::int32_t> steps[] = {{0, 1}, {1, 2}, {top - 1, top}, {top, 1}, {-7, 1}};
    for (const auto& [from, to] : steps) EXPECT_EQ(NextImageId(from), to) << from;

    // Every operation that moves the id wraps the same way.
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    const std::function<void()> moves[] = {
        [&] { StartCoverSearch(set, u"Song"); },
        [&] { ClearCovers(set); },
        [&] { SetImagesEnabled(set, false); },
        [&] { Fill(set, 2); RotateCover(set); },
    };
    for (const auto& move : moves) {
        set.imagesEnabled = true;
        set.imageId = top;
        move();
        EXPECT_EQ(set.imageId, 1);
    }
}

TEST(CoverSetWorker, ThreadsAreBoundedAndAFreedThreadTakesOnTheNewestSearch) {
    Recorder& rec = InstallRecorder();
    CoverSet& set = LeakedSet();
    HeldWorkers held;
    set.startThread = held.Starter();
    auto web = std::make_shared<FakeWeb>();
    FakeAnswer page;
    page.body = EntityItem("http://pics/one");
    web->SetPage(page);
    FakeAnswer pic;
    pic.body = PictureBytes("jpeg", "one");
    web->Set("http://pics/one", pic);
    set.sessionFactory = FactoryFor(web);
    CopyText(set.imageSearchUrl, "http://search/images/async");

    for (char16_t c = u'A'; c <= u'F'; ++c) StartCoverSearch(set, std::u16string(1, c));
    ASSERT_EQ(held.bodies->size(), 3u);  // A, B, C; D and E were dropped for F, which waits
    EXPECT_EQ(set.liveWorkers.load(), 3);
    EXPECT_EQ(set.searching.load(), 1);
    EXPECT_FALSE(WaitForCoverWorker(set, 0));

    (*held.bodies)[1]();  // B is stale and ends at once; its thread then runs F
    EXPECT_EQ(set.liveWorkers.load(), 2);
    EXPECT_EQ(set.count, 1);
    EXPECT_EQ(View(set.query), u"F");
    EXPECT_EQ(set.searching.load(), 0);
    EXPECT_TRUE(WaitForCoverWorker(set, 0));
    EXPECT_EQ(web->Log().size(), 2u);  // F's page and picture only
    (*held.bodies)[0]();
    (*held.bodies)[2]();
    EXPECT_EQ(set.liveWorkers.load(), 0);
    EXPECT_EQ(set.count, 1);
    EXPECT_EQ(rec.coversChanged.load(), 2);  // F's picture and its end
    SetMainWindowTarget(nullptr);
}

TEST(CoverSetStop, CancelsEveryWorkerAndWaitsForAllWithinOneBoundedWait) {
    auto web = std::make_shared<FakeWeb>();
    {  // hosts that never answer (inside their 5 s time-out): cancelled at once
        CoverSet& set = LeakedSet();
        FakeAnswer hang;
        hang.hangs = true;
        web->SetPage(hang);
        set.sessionFactory = FactoryFor(web);
        CopyText(set.imageSearchUrl, "http://search/images/async");
        for (char16_t c = u'A'; c <= u'E'; ++c) StartCoverSearch(set, std::u16string(1, c));
        ASSERT_TRUE(WaitFor([&] { return !web->Log().empty() && web->Log().back().url.find("q=E%20") != std::string::npos; },
                            std::chrono::milliseconds(3000)));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(StopCoverSearches(set, 1500));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
        EXPECT_EQ(set.liveWorkers.load(), 0);
        StartCoverSearch(set, u"After");  // none starts any more
        EXPECT_EQ(set.liveWorkers.load(), 0);
        EXPECT_TRUE(WaitForCoverWorker(set, 0));
    }
    // Workers that do not hear the cancel: every one is waited for, the replaced ones too, and
    // the wait is bounded all the same.
    for (const bool released : {true, false}) {
        CoverSet& set = LeakedSet();
        auto opened = std::make_shared<std::atomic<int>>(0);
        auto gates = std::make_shared<std::array<std::atomic<bool>, 3>>();
        FakeAnswer deaf;
        deaf.onOpen = [opened, gates] {
            std::atomic<bool>& gate = (*gates)[static_cast<std::size_t>(opened->fetch_add(1))];
            WaitFor([&] { return gate.load(); }, std::chrono::milliseconds(10000));
        };
        web->SetPage(deaf);
        set.sessionFactory = FactoryFor(web);
        for (int i = 0; i < 3; ++i) {
            StartCoverSearch(set, u"T" + std::u16string(1, char16_t(u'0' + i)));
            ASSERT_TRUE(WaitFor([&] { return opened->load() == i + 1; }, std::chrono::milliseconds(3000)));
        }
        (*gates)[2] = true;  // the newest ends at once, the replaced ones later or never
        std::thread late([gates, released] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (released) (*gates)[0] = (*gates)[1] = true;
        });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(StopCoverSearches(set, 600), released);
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(190));
        EXPECT_LT(took, std::chrono::milliseconds(released ? 550 : 1100));
        EXPECT_EQ(set.liveWorkers.load(), released ? 0 : 2);
        late.join();
        (*gates)[0] = (*gates)[1] = true;
        EXPECT_TRUE(WaitFor([&] { return set.liveWorkers.load() == 0; }, std::chrono::milliseconds(3000)));
    }
}
