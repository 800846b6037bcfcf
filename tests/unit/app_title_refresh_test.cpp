#include "app/title_refresh.hpp"
#include "tests/support/app_fixture.hpp"

#include <gtest/gtest.h>

#include <string>

using TitleRefresh = AppTest;

TEST_F(TitleRefresh, BeforeAnyTitleTheSnapshotKeepsItsInitialTextsWhateverChannelIsShown) {
    state.currentChannelIndex = 2;
    RefreshTitle(app);  // the station does not answer
    EXPECT_EQ(station.calls, 1);
    EXPECT_EQ(station.lastChannel, 2);
    const Snap s = Snapshot();
    EXPECT_EQ(s.index, 0);
    EXPECT_EQ(s.name, "Radio Tovrel");
    EXPECT_EQ(s.track, "Connecting...");
    EXPECT_EQ(Title(), u"Loading...");
    EXPECT_TRUE(view.calls.empty());
}

TEST_F(TitleRefresh, NewTitleReachesWindowSnapshotAndCoverSearchOnce) {
    state.currentChannelIndex = 1;
    station.Answer(u"Artist - Song");
    RefreshTitle(app);
    EXPECT_EQ(Title(), u"Artist - Song");
    Snap s = Snapshot();
    EXPECT_EQ(s.index, 1);
    EXPECT_EQ(s.name, "Two");
    EXPECT_EQ(s.track, "Artist - Song");
    EXPECT_EQ(Query(), u"Artist - Song");
    EXPECT_EQ(view.calls, (std::vector<std::string>{"InvalidateClient"}));

    // The same title again: nothing is copied, searched or repainted.
    view.calls.clear();
    {
        std::lock_guard<std::mutex> hold(snapshot.lock);
        CopyText(snapshot.track, "sentinel");
    }
    const std::int32_t imageId = covers.imageId;
    RefreshTitle(app);
    EXPECT_EQ(station.calls, 2);
    EXPECT_TRUE(view.calls.empty());
    EXPECT_EQ(Snapshot().track, "sentinel");
    EXPECT_EQ(covers.imageId, imageId);

    // A title differing only in case is a new title.
    station.Answer(u"artist - song");
    RefreshTitle(app);
    EXPECT_EQ(Title(), u"artist - song");
    EXPECT_EQ(Snapshot().track, "artist - song");
}

TEST_F(TitleRefresh, EmptyAnswerIsNoTitle) {
    station.Answer(u"");
    RefreshTitle(app);
    EXPECT_EQ(Title(), u"Loading...");
    EXPECT_EQ(Snapshot().track, "Connecting...");
    EXPECT_TRUE(view.calls.empty());
}

TEST_F(TitleRefresh, ChannelOutsideTheTableGivesAnEmptyName) {
    state.currentChannelIndex = 7;
    station.Answer(u"Song");
    RefreshTitle(app);
    const Snap s = Snapshot();
    EXPECT_EQ(s.index, 7);
    EXPECT_EQ(s.name, "");
    EXPECT_EQ(s.track, "Song");
}

TEST_F(TitleRefresh, LongTextsAreKeptOrCutAtWholeCharacters) {
    // 511 units stay whole in the window; their UTF-8 form (1 + 510 * 3 bytes) is cut to the
    // last whole character within 1023 bytes.
    std::u16string title = u"a" + std::u16string(510, u'\u20AC');
    station.Answer(title);
    RefreshTitle(app);
    EXPECT_EQ(Title(), title);
    std::string expected = "a";
    for (int i = 0; i < 340; ++i) expected += "\xE2\x82\xAC";  // 1021 bytes; one more is 1024
    EXPECT_EQ(Snapshot().track, expected);

    // A source that fills all 512 units without a terminator still yields 511.
    app.fetch = [](int, char16_t* out, std::size_t units) {
        std::fill(out, out + units, u'x');
        return true;
    };
    RefreshTitle(app);
    EXPECT_EQ(Title(), std::u16string(511, u'x'));
    EXPECT_EQ(Snapshot().track, std::string(511, 'x'));
}

TEST_F(TitleRefresh, ChannelNameIsCutToWholeCharactersWithin255Bytes) {
    const std::u16string name = u"a" + std::u16string(126, u'\u20AC');  // 1 + 378 bytes of UTF-8
    CopyText(settings.config.channels.entries[0].name, name);
    UpdateWebSnapshot(app, name);
    std::string expected = "a";
    for (int i = 0; i < 84; ++i) expected += "\xE2\x82\xAC";  // 253 bytes; one more would be 256
    EXPECT_EQ(Snapshot().name, expected);

    // No name given: the name stays, index and track follow the state.
    state.currentChannelIndex = 2;
    SetCurrentTitle(state, u"T");
    UpdateWebSnapshot(app, std::nullopt);
    const Snap s = Snapshot();
    EXPECT_EQ(s.index, 2);
    EXPECT_EQ(s.name, expected);
    EXPECT_EQ(s.track, "T");
}

TEST_F(TitleRefresh, SwitchShowsLoadingForTheNewChannelUntilATitleArrives) {
    station.Answer(u"Old song");
    RefreshTitle(app);
    state.lastDecodedImageId = 5;
    view.calls.clear();

    station.answers = false;
    state.currentChannelIndex = 2;
    SwitchChannel(app);
    EXPECT_EQ(Title(), u"Loading...");
    const Snap s = Snapshot();
    EXPECT_EQ(s.index, 2);
    EXPECT_EQ(s.name, "Three");
    EXPECT_EQ(s.track, "Loading...");
    EXPECT_EQ(Query(), u"");  // the old title's pictures are gone
    EXPECT_EQ(state.lastDecodedImageId, -1);
    EXPECT_EQ(view.calls, (std::vector<std::string>{"DestroyDecodedCover", "InvalidateClient"}));
    EXPECT_EQ(station.lastChannel, 2);

    // The same title on the new channel is news again.
    station.answers = true;
    RefreshTitle(app);
    EXPECT_EQ(Title(), u"Old song");
    EXPECT_EQ(Snapshot().track, "Old song");
    EXPECT_EQ(Query(), u"Old song");
}

TEST_F(TitleRefresh, SwitchRefreshesAtOnce) {
    station.Answer(u"New channel song");
    state.currentChannelIndex = 1;
    SwitchChannel(app);
    EXPECT_EQ(Title(), u"New channel song");
    EXPECT_EQ(Snapshot().track, "New channel song");
    EXPECT_EQ(Snapshot().name, "Two");
}
