#include "app/window_handlers.hpp"
#include "tests/support/app_loop_fixture.hpp"

#include <gtest/gtest.h>

TEST_F(HeadlessLoopTest, TimersTickUntilTheCloseTakesTheWindowsPath) {
    int fetches = 0;
    app.fetch = [&](int, char16_t* out, std::size_t units) {
        if (++fetches == 3) loop.Post(MSG_CLOSE, 0);
        CopyText(out, units, u"Song");
        return true;
    };
    loop.SetTimer(TIMER_REFRESH, 5);
    loop.SetTimer(TIMER_ROTATE, 7);
    state.currentChannelIndex = 2;
    EXPECT_EQ(loop.Run(app), 0);
    EXPECT_EQ(fetches, 3);
    EXPECT_EQ(Title(), u"Song");
    // The close saved the channel as the window's destruction does.
    EXPECT_TRUE(ConfigWritten());
    EXPECT_EQ(settings.config.last_channel_index, 2);
}

TEST_F(HeadlessLoopTest, PostedMessagesRunInOrderAndTheCloseOvertakesTheRest) {
    app.fetch = [&](int channel, char16_t* out, std::size_t units) {
        if (channel == 2) {
            // Queued behind the close: the close goes first, and this one is lost with the window.
            loop.Post(MSG_SELECT_CHANNEL, 1);
            loop.Post(MSG_CLOSE, 0);
        }
        CopyText(out, units, u"Tune");
        return true;
    };
    SetImagesEnabled(covers, false);
    loop.Post(MSG_SET_IMAGES, 1);
    loop.Post(MSG_SELECT_CHANNEL, 2);
    loop.Post(MSG_COVERS_CHANGED, 0);
    EXPECT_EQ(loop.Run(app), 0);
    EXPECT_FALSE(state.picturesShown);
    EXPECT_EQ(state.currentChannelIndex, 2);
    EXPECT_EQ(Snapshot().track, "Tune");
    EXPECT_EQ(settings.config.last_channel_index, 2);
}

TEST_F(HeadlessLoopTest, TimersFireWhileMessagesKeepComing) {
    // Every handled message brings the next, so the queue is never empty: the timers still fire
    // between messages, and the close ends it all.
    int refreshes = 0;
    app.fetch = [&](int, char16_t*, std::size_t) {
        if (++refreshes == 3) loop.Post(MSG_CLOSE, 0);
        return false;
    };
    struct Repost : TestLoopView {
        using TestLoopView::TestLoopView;
        HeadlessLoop* loop = nullptr;
        void InvalidateClient() override { loop->Post(MSG_COVERS_CHANGED, 0); }
    } reposting{loop};
    reposting.loop = &loop;
    app.view = &reposting;
    loop.SetTimer(TIMER_REFRESH, 2);
    loop.Post(MSG_COVERS_CHANGED, 0);
    loop.Post(MSG_COVERS_CHANGED, 0);  // one queued already: adds nothing
    EXPECT_EQ(loop.Run(app), 0);
    EXPECT_EQ(refreshes, 3);
}
