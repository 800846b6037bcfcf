#include "app/cover_pick.hpp"
#include "app/window_handlers.hpp"
#include "platform/main_window.hpp"
#include "settings/config_reader.hpp"
#include "tests/support/app_fixture.hpp"
#include "web/picture_switch.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using Strings = std::vector<std::string>;
using WindowHandlers = AppTest;

TEST_F(WindowHandlers, CreationRestoresChannelAndPicturesThenStartsTimersAndRefreshes) {
    settings.config.last_channel_index = 2;
    settings.config.show_images = false;
    settings.config.rotate_interval_seconds = 3;
    station.Answer(u"Song");
    OnCreate(app);
    EXPECT_EQ(state.currentChannelIndex, 2);
    EXPECT_FALSE(state.picturesShown);
    EXPECT_FALSE(covers.imagesEnabled);
    EXPECT_EQ(view.calls, (Strings{"SelectListRow 2", "CreatePictureButton off", "AttachMessageTarget",
                                   "SetTimer 1 5000", "SetTimer 2 3000", "InvalidateClient"}));
    EXPECT_EQ(station.lastChannel, 2);
    EXPECT_EQ(Snapshot().name, "Three");
    EXPECT_FALSE(ConfigWritten());  // creation saves nothing
}

TEST_F(WindowHandlers, CreationFallsBackToRowZeroAndTheDefaultRotation) {
    for (int saved : {3, -1, 1000}) {
        settings.config.last_channel_index = saved;
        settings.config.rotate_interval_seconds = saved < 0 ? -5 : 0;
        view.calls.clear();
        OnCreate(app);
        EXPECT_EQ(state.currentChannelIndex, 0) << saved;
        EXPECT_TRUE(state.picturesShown);
        ASSERT_EQ(view.calls.size(), 5u);
        EXPECT_EQ(view.calls[0], "SelectListRow 0");
        EXPECT_EQ(view.calls[4], "SetTimer 2 20000");
    }
}

TEST_F(WindowHandlers, TheChannelAlreadyOnShowOrAnInvalidOneChangesAndSavesNothing) {
    state.currentChannelIndex = 1;
    SetCurrentTitle(state, u"Playing");
    OnChannelListSelection(app, 1);
    OnChannelListSelection(app, -1);
    OnChannelListSelection(app, 3);
    OnSelectChannel(app, 1);
    OnSelectChannel(app, 3);
    OnSelectChannel(app, std::numeric_limits<std::uintptr_t>::max());  // -1 as a message parameter
    if constexpr (sizeof(std::uintptr_t) > 4) {
        OnSelectChannel(app, (std::uintptr_t{1} << 32) + 2);  // must not pass as row 2
    }
    EXPECT_TRUE(view.calls.empty());
    EXPECT_EQ(station.calls, 0);
    EXPECT_EQ(state.currentChannelIndex, 1);
    EXPECT_EQ(Title(), u"Playing");
    EXPECT_FALSE(ConfigWritten());
}

TEST_F(WindowHandlers, ListSelectionSavesAndSwitches) {
    OnChannelListSelection(app, 2);
    EXPECT_EQ(state.currentChannelIndex, 2);
    EXPECT_TRUE(ConfigWritten());
    EXPECT_EQ(settings.config.last_channel_index, 2);
    EXPECT_EQ(std::string(settings.config.last_channel), "three");
    // The list already shows the row: no selection is pushed back into it.
    EXPECT_EQ(view.calls, (Strings{"DestroyDecodedCover", "InvalidateClient"}));
    EXPECT_EQ(Snapshot().track, "Loading...");
    EXPECT_EQ(station.lastChannel, 2);
}

TEST_F(WindowHandlers, SelectChannelMessageSavesSelectsTheRowAndSwitches) {
    station.Answer(u"Tune");
    OnSelectChannel(app, 1);
    EXPECT_EQ(state.currentChannelIndex, 1);
    EXPECT_EQ(settings.config.last_channel_index, 1);
    EXPECT_TRUE(ConfigWritten());
    EXPECT_EQ(view.calls, (Strings{"SelectListRow 1", "DestroyDecodedCover", "InvalidateClient", "InvalidateClient"}));
    const Snap s = Snapshot();
    EXPECT_EQ(s.index, 1);
    EXPECT_EQ(s.track, "Tune");
}

TEST_F(WindowHandlers, SetImagesMessageFollowsTheCoverSetAndSavesTheServersSwitch) {
    // The message says on, but the set was switched off again since it was posted.
    state.lastDecodedImageId = 4;
    OnSetImages(app, 1);
    EXPECT_FALSE(state.picturesShown);
    EXPECT_EQ(state.lastDecodedImageId, -1);
    EXPECT_EQ(view.calls, (Strings{"DestroyDecodedCover", "InvalidateButton", "InvalidateClient"}));

    view.calls.clear();
    SetImagesEnabled(covers, true);
    OnSetImages(app, 0);
    EXPECT_TRUE(state.picturesShown);
    EXPECT_EQ(view.calls, (Strings{"DecodeCurrentCover", "InvalidateButton", "InvalidateClient"}));
    EXPECT_FALSE(ConfigWritten());  // no switch was made: nothing to save

    // The server's switch leaves the file to the window, which saves it once.
    SwitchPictures(covers, false);
    EXPECT_FALSE(ConfigWritten());
    OnSetImages(app, 0);
    EXPECT_FALSE(ReadConfig(settings).show_images);
    EXPECT_TRUE(ConfigWritten());
}

// Records what the server's posts queue for the window (repaint notices left out).
struct QueueCounter : MessageTarget {
    std::vector<std::pair<unsigned, std::uintptr_t>> queued;
    bool Post(unsigned message, std::uintptr_t wParam) override {
        if (message != MSG_COVERS_CHANGED) queued.emplace_back(message, wParam);
        return true;
    }
};

TEST_F(WindowHandlers, CoalescedSwitchesActOnTheLatestAndACloseCutsThemShort) {
    QueueCounter queue;
    SetMainWindowTarget(&queue);
    // Three channel requests while none is handled queue one message; it brings the last.
    for (std::uintptr_t index : {1u, 0u, 2u}) PostToMainWindow(MSG_SELECT_CHANNEL, index);
    PostToMainWindow(MSG_SET_IMAGES, 1);
    PostToMainWindow(MSG_SET_IMAGES, 0);
    ASSERT_EQ(queue.queued, (decltype(queue.queued){{MSG_SELECT_CHANNEL, 1}, {MSG_SET_IMAGES, 1}}));
    station.Answer(u"Two's song");
    HandlePostedMessage(app, MSG_SELECT_CHANNEL, 1);
    EXPECT_EQ(state.currentChannelIndex, 2);
    EXPECT_EQ(settings.config.last_channel_index, 2);
    EXPECT_EQ(station.lastChannel, 2);
    HandlePostedMessage(app, MSG_SET_IMAGES, 1);
    EXPECT_FALSE(state.picturesShown);  // the set's state (off), not the message's

    // Handled, so the next request queues a message again. With a close posted behind it, the
    // switch is saved but the station is not asked.
    PostToMainWindow(MSG_SELECT_CHANNEL, 1);
    PostToMainWindow(MSG_CLOSE, 0);
    EXPECT_EQ(queue.queued.size(), 4u);
    const int fetches = station.calls;
    OnSelectChannel(app, 1);
    EXPECT_EQ(state.currentChannelIndex, 1);
    EXPECT_EQ(settings.config.last_channel_index, 1);
    EXPECT_EQ(station.calls, fetches);

    // A request whose message the close overtakes is still the channel saved, and a pictures
    // switch is still saved.
    PostToMainWindow(MSG_SELECT_CHANNEL, 0);
    ASSERT_TRUE(settings.config.show_images);
    SwitchPictures(covers, false);
    PostToMainWindow(MSG_SET_IMAGES, 0);
    OnDestroy(app);
    EXPECT_EQ(settings.config.last_channel_index, 0);
    EXPECT_FALSE(settings.config.show_images);
    SetMainWindowTarget(nullptr);
}

TEST_F(WindowHandlers, SwitchesAskedBeforeTheWindowExistsAreTakenOnceItDoes) {
    // The server answers before the window is created: two channel requests and a pictures
    // switch (the file says pictures on; the switch turns them off).
    SetMainWindowTarget(nullptr);
    ASSERT_TRUE(settings.config.show_images);
    EXPECT_TRUE(PostToMainWindow(MSG_SELECT_CHANNEL, 2));
    EXPECT_TRUE(PostToMainWindow(MSG_SELECT_CHANNEL, 1));
    EXPECT_FALSE(SwitchPictures(covers, false));
    EXPECT_TRUE(PostToMainWindow(MSG_SET_IMAGES, 0));
    EXPECT_FALSE(PostToMainWindow(MSG_COVERS_CHANGED, 0));  // a repaint notice is not kept

    // Creation must not undo the switch with the file's value. Its target (set here, as the
    // view's AttachMessageTarget does) gets the latest of each kind.
    OnCreate(app);
    EXPECT_FALSE(state.picturesShown);
    EXPECT_FALSE(PicturesOn(covers));
    QueueCounter window;
    SetMainWindowTarget(&window);
    ASSERT_EQ(window.queued, (decltype(window.queued){{MSG_SELECT_CHANNEL, 1}, {MSG_SET_IMAGES, 0}}));
    station.Answer(u"Two's song");
    for (const auto& [message, wParam] : window.queued) HandlePostedMessage(app, message, wParam);
    EXPECT_EQ(state.currentChannelIndex, 1);
    EXPECT_EQ(station.lastChannel, 1);
    EXPECT_EQ(Title(), u"Two's song");
    AppConfig file{};
    ParseConfigText(ReadFileBytes(settings.file), file);
    EXPECT_EQ(file.last_channel_index, 1);
    EXPECT_FALSE(file.show_images);

    // Requests kept without a target are forgotten when the target is cleared; a message queued
    // for one target is not waited for by the next, which gets the kept requests.
    window.queued.clear();
    PostToMainWindow(MSG_SELECT_CHANNEL, 0);  // queued for `window`, never handled
    SetMainWindowTarget(nullptr);
    PostToMainWindow(MSG_SELECT_CHANNEL, 2);
    SetMainWindowTarget(nullptr);
    PostToMainWindow(MSG_SET_IMAGES, 1);
    QueueCounter next;
    SetMainWindowTarget(&next);
    PostToMainWindow(MSG_SELECT_CHANNEL, 2);
    EXPECT_EQ(next.queued, (decltype(next.queued){{MSG_SET_IMAGES, 1}, {MSG_SELECT_CHANNEL, 2}}));
    EXPECT_EQ(window.queued, (decltype(window.queued){{MSG_SELECT_CHANNEL, 0}}));
    SetMainWindowTarget(nullptr);
}

TEST_F(WindowHandlers, PictureButtonAsksForTheOppositeOfWhatTheWindowShows) {
    // The server switched the set off and its message is still on the way: the window shows
    // pictures, and a press means "hide".
    SetImagesEnabled(covers, false);
    state.picturesShown = true;
    OnTogglePictures(app);
    EXPECT_FALSE(state.picturesShown);
    EXPECT_FALSE(covers.imagesEnabled);
    EXPECT_FALSE(settings.config.show_images);
    OnSetImages(app, 0);
    EXPECT_FALSE(state.picturesShown);
}

TEST_F(WindowHandlers, PictureButtonTogglesSwitchesTheSetAndSavesEachTime) {
    settings.config.show_images = true;
    state.picturesShown = true;
    OnTogglePictures(app);
    EXPECT_FALSE(state.picturesShown);
    EXPECT_FALSE(covers.imagesEnabled);
    EXPECT_FALSE(settings.config.show_images);
    EXPECT_TRUE(ConfigWritten());
    EXPECT_EQ(view.calls, (Strings{"DestroyDecodedCover", "InvalidateButton", "InvalidateClient"}));

    std::filesystem::remove(settings.file);
    view.calls.clear();
    OnTogglePictures(app);
    EXPECT_TRUE(state.picturesShown);
    EXPECT_TRUE(covers.imagesEnabled);
    EXPECT_TRUE(settings.config.show_images);
    EXPECT_TRUE(ConfigWritten());
    EXPECT_EQ(view.calls, (Strings{"DecodeCurrentCover", "InvalidateButton", "InvalidateClient"}));
}

TEST_F(WindowHandlers, TimersRefreshAndRotate) {
    station.Answer(u"Song");
    OnTimer(app, TIMER_REFRESH);
    EXPECT_EQ(station.calls, 1);
    EXPECT_EQ(Title(), u"Song");

    // Two pictures in the set: a rotation moves to the next and changes the image id.
    {
        std::lock_guard<std::mutex> hold(covers.lock);
        covers.imagesEnabled = true;
        for (int i = 0; i < 2; ++i) {
            covers.slots[i].data = std::make_shared<const std::vector<std::uint8_t>>(3, std::uint8_t{1});
            covers.slots[i].size = 3;
        }
        covers.count = 2;
    }
    const std::int32_t before = covers.imageId;
    view.calls.clear();
    OnTimer(app, TIMER_ROTATE);
    EXPECT_EQ(covers.currentIndex, 1);
    EXPECT_NE(covers.imageId, before);
    EXPECT_EQ(view.calls, Strings{"InvalidateClient"});

    view.calls.clear();
    OnTimer(app, 99);
    EXPECT_TRUE(view.calls.empty());
    EXPECT_EQ(station.calls, 1);
}

TEST_F(WindowHandlers, PostedMessagesAreRouted) {
    EXPECT_TRUE(HandlePostedMessage(app, MSG_COVERS_CHANGED, 0));
    EXPECT_EQ(view.calls, Strings{"InvalidateClient"});
    EXPECT_FALSE(HandlePostedMessage(app, MSG_CLOSE, 0));
    EXPECT_TRUE(HandlePostedMessage(app, MSG_SET_IMAGES, 0));
    EXPECT_FALSE(state.picturesShown);
    EXPECT_TRUE(HandlePostedMessage(app, MSG_SELECT_CHANNEL, 2));
    EXPECT_EQ(state.currentChannelIndex, 2);
}

TEST_F(WindowHandlers, DestructionSavesSizeAndChannelThenReleasesAndQuits) {
    state.currentChannelIndex = 1;
    view.width = 700;
    view.height = 520;
    OnDestroy(app);
    EXPECT_EQ(view.calls, (Strings{"ReadWindowSize", "KillTimer 1", "KillTimer 2", "DestroyDecodedCover",
                                   "DeleteFonts", "PostQuit 0"}));
    EXPECT_EQ(settings.config.window_width, 700);
    EXPECT_EQ(settings.config.window_height, 520);
    EXPECT_EQ(settings.config.last_channel_index, 1);
    EXPECT_TRUE(ConfigWritten());
}

TEST_F(WindowHandlers, AnUnreadableSizeIsNotSavedButTheChannelIs) {
    view.sizeReadable = false;
    state.currentChannelIndex = 2;
    SaveWindowSize(app);
    EXPECT_FALSE(ConfigWritten());
    OnDestroy(app);
    EXPECT_EQ(settings.config.window_width, 500);
    EXPECT_EQ(settings.config.last_channel_index, 2);
    EXPECT_TRUE(ConfigWritten());
}

TEST_F(WindowHandlers, ACoverIsDecodedOncePerImageId) {
    CoverToDecode pick;
    EXPECT_EQ(PickCoverToDecode(covers, -1, pick), CoverPick::Drop);  // empty set

    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(16, std::uint8_t{7});
    {
        std::lock_guard<std::mutex> hold(covers.lock);
        covers.slots[0].data = bytes;
        covers.slots[0].size = 16;
        covers.count = 1;
        covers.imageId = 9;
    }
    ASSERT_EQ(PickCoverToDecode(covers, -1, pick), CoverPick::Decode);
    EXPECT_EQ(pick.bytes, bytes);
    EXPECT_EQ(pick.size, 16u);
    EXPECT_EQ(pick.imageId, 9);
    EXPECT_EQ(PickCoverToDecode(covers, 9, pick), CoverPick::Keep);

    // An empty picture, or a size the buffer does not hold, is never handed to the decoder.
    for (std::uint32_t size : {0u, 17u}) {
        std::lock_guard<std::mutex> hold(covers.lock);
        covers.slots[0].size = size;
        covers.imageId = 10 + static_cast<int>(size);
    }
    EXPECT_EQ(PickCoverToDecode(covers, 9, pick), CoverPick::Keep);
    {
        std::lock_guard<std::mutex> hold(covers.lock);
        covers.slots[0].size = 0;
    }
    EXPECT_EQ(PickCoverToDecode(covers, 9, pick), CoverPick::Keep);

    // The bytes handed out stay valid after the set frees its slots.
    {
        std::lock_guard<std::mutex> hold(covers.lock);
        covers.slots[0].size = 16;
        covers.imageId = 30;
    }
    ASSERT_EQ(PickCoverToDecode(covers, 9, pick), CoverPick::Decode);
    bytes.reset();
    ClearCovers(covers);
    EXPECT_EQ((*pick.bytes)[15], 7);
    EXPECT_EQ(PickCoverToDecode(covers, 30, pick), CoverPick::Drop);
}
