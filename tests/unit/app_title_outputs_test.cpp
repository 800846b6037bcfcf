// The files for streaming software and the title history, driven by the window's handlers.
#include "app/stream_outputs.hpp"
#include "app/title_outputs.hpp"
#include "app/title_refresh.hpp"
#include "app/window_handlers.hpp"
#include "tests/support/app_fixture.hpp"
#include "web/title_history.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

class TitleOutputs : public AppTest {
protected:
    TitleHistory history;
    std::unique_ptr<StreamOutputs> outputs;

    void Open(const std::filesystem::path& text, const std::filesystem::path& cover) {
        outputs = std::make_unique<StreamOutputs>(text, cover);
        app.outputs = outputs.get();
        app.history = &history;
    }
    void SetUp() override {
        AppTest::SetUp();
        Open(dir / "np.txt", dir / "cover.img");
    }
    void TearDown() override {
        outputs.reset();
        AppTest::TearDown();
    }
    // Puts the given pictures into the set, the first on show, as a finished search would.
    void ShowPictures(std::initializer_list<std::string_view> pictures) {
        std::lock_guard<std::mutex> hold(covers.lock);
        FreeCoverSlots(covers);
        for (const std::string_view bytes : pictures) {
            CoverSlot& slot = covers.slots[covers.count++];
            slot.data = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
            slot.size = static_cast<std::uint32_t>(bytes.size());
        }
        covers.imagesEnabled = true;  // for the rotation; no search is started here
        ++covers.imageId;
    }
    bool Settled() { return outputs->WaitIdle(5000); }
    std::string Text() { return ReadFileBytes(dir / "np.txt"); }
    bool HasCoverFile() { return std::filesystem::exists(dir / "cover.img"); }
};

TEST_F(TitleOutputs, FilesFollowTitlesPicturesAndChannelChanges) {
    // A run starts with an empty title file and no picture, whatever an earlier run left.
    ASSERT_TRUE(Settled());
    EXPECT_TRUE(std::filesystem::exists(dir / "np.txt"));
    EXPECT_EQ(Text(), "");
    EXPECT_FALSE(HasCoverFile());

    station.Answer(u"Art\u00efst - Song");
    RefreshTitle(app);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Text(), "Art\xC3\xAFst - Song");  // UTF-8, no byte-order mark, no line end

    ShowPictures({"first picture", "second"});
    OnCoversChanged(app);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(ReadFileBytes(dir / "cover.img"), "first picture");
    OnTimer(app, TIMER_ROTATE);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(ReadFileBytes(dir / "cover.img"), "second");

    // A line break from the station never makes a second line.
    station.Answer(u"Two\r\nlines\there");
    RefreshTitle(app);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Text(), "Two  lines here");

    // Pictures cleared: the file goes.
    ClearCovers(covers);
    OnCoversChanged(app);
    ASSERT_TRUE(Settled());
    EXPECT_FALSE(HasCoverFile());

    // A channel change empties the title until the new channel's title arrives.
    ShowPictures({"third"});
    OnCoversChanged(app);
    station.answers = false;
    state.currentChannelIndex = 2;
    SwitchChannel(app);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(Text(), "");
    EXPECT_FALSE(HasCoverFile());
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();  // no temporary file left
    }
}

TEST_F(TitleOutputs, UnwritableFileIsSkippedAndWrittenAtTheNextChange) {
    const std::filesystem::path folder = dir / "later";
    Open(folder / "np.txt", dir / "cover.img");
    station.Answer(u"First");
    RefreshTitle(app);
    ShowPictures({"picture"});
    OnCoversChanged(app);
    ASSERT_TRUE(Settled());
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_EQ(ReadFileBytes(dir / "cover.img"), "picture");  // the other file is not held up
    EXPECT_EQ(Title(), u"First");

    std::filesystem::create_directory(folder);
    station.Answer(u"Second");
    RefreshTitle(app);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(ReadFileBytes(folder / "np.txt"), "Second");

    // A folder in the file's place: the writer goes on and the folder stays.
    std::filesystem::create_directory(dir / "taken");
    Open(dir / "taken", {});
    station.Answer(u"Third");
    RefreshTitle(app);
    ASSERT_TRUE(Settled());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
}

TEST(StreamOutputPaths, RelativeToTheFolderAbsoluteAsGivenUtf8Everywhere) {
    TempDir dir;
    EXPECT_TRUE(ResolveOutputPath(dir.path(), "").empty());
    EXPECT_EQ(ResolveOutputPath(dir.path(), "np.txt"), dir / "np.txt");
    EXPECT_EQ(ResolveOutputPath(dir.path(), "obs/np.txt"), dir.path() / "obs" / "np.txt");
    const std::u8string absolute = (dir / "abs.txt").u8string();
    const std::string absoluteText(absolute.begin(), absolute.end());
    EXPECT_EQ(ResolveOutputPath("elsewhere", absoluteText), dir / "abs.txt");

    // A name beyond ASCII names the same file on every platform.
    {
        StreamOutputs outputs(ResolveOutputPath(dir.path(), "n\xC3\xA4.txt"), {});
        outputs.PublishTitle("x");
        ASSERT_TRUE(outputs.WaitIdle(5000));
    }
    EXPECT_EQ(ReadFileBytes(dir.path() / std::filesystem::path(u8"n\u00e4.txt")), "x");
    EXPECT_EQ(OutputTitleText(u"Loading..."), "");
    EXPECT_EQ(OutputTitleText(u"Connecting..."), "");
}

TEST_F(TitleOutputs, HistoryKeepsTheLast50NewTitlesNewestFirst) {
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    state.currentChannelIndex = 1;
    station.Answer(u"Loading...");  // a station that sends a placeholder is not recorded
    RefreshTitle(app);
    for (int i = 0; i < 60; ++i) {
        station.Answer(u"Song " + Utf8ToUtf16(std::to_string(i)));
        RefreshTitle(app);
        RefreshTitle(app);  // the same title again is no new entry
    }
    state.currentChannelIndex = 2;
    SwitchChannel(app);  // "Loading..." is not recorded; the same title on another channel is
    const auto after = std::chrono::system_clock::now() + std::chrono::seconds(1);

    std::lock_guard<std::mutex> hold(history.lock);
    ASSERT_EQ(history.entries.size(), kTitleHistoryLength);
    EXPECT_EQ(history.entries[0].title, "Song 59");
    EXPECT_EQ(history.entries[0].channelIndex, 2);
    EXPECT_EQ(history.entries[0].channelId, "three");
    EXPECT_EQ(history.entries[1].title, "Song 59");
    EXPECT_EQ(history.entries[1].channelId, "two");
    EXPECT_EQ(history.entries[49].title, "Song 11");
    const auto seconds = [](auto t) {
        return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    };
    EXPECT_GE(history.entries[0].firstSeen, FormatUtcTime(seconds(before)));
    EXPECT_LE(history.entries[0].firstSeen, FormatUtcTime(seconds(after)));
}

TEST(TitleHistoryTime, UtcInIso8601) {
    const struct {
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {1796652909, "2026-12-07T14:15:09Z"},
        {951868799, "2000-02-29T23:59:59Z"},
        {INT64_MAX, "9999-12-31T23:59:59Z"},
        {INT64_MIN, "0000-01-01T00:00:00Z"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatUtcTime(c.seconds), c.text) << c.seconds;
}

}  // namespace
