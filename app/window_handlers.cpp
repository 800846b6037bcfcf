#include "app/window_handlers.hpp"

#include "app/geometry.hpp"
#include "app/title_outputs.hpp"
#include "app/title_refresh.hpp"
#include "covers/cover_set.hpp"
#include "platform/main_window.hpp"
#include "settings/app_config.hpp"
#include "web/picture_switch.hpp"

namespace {

// A channel change is taken only for another row of the table. The index arrives as an
// unsigned message parameter, so "negative" shows up as a huge value: compare it unsigned,
// never narrowed first (a narrowed 2^32 + 1 would pass as row 1).
bool IsNewChannel(const AppContext& app, std::uintptr_t index) {
    const int count = ChannelCount(*app.settings);
    return index < static_cast<std::uintptr_t>(count) &&
           static_cast<std::int32_t>(index) != app.state->currentChannelIndex;
}

void ShowOrDropCover(AppContext& app) {
    if (app.state->picturesShown) {
        app.view->DecodeCurrentCover();
    } else {
        DropDecodedCover(app);
    }
    app.view->InvalidateButton();
    app.view->InvalidateClient();
}

}  // namespace

void OnCreate(AppContext& app) {
    const AppConfig config = ReadConfig(*app.settings);
    const int index = InitialChannelIndex(config.last_channel_index, ChannelCount(*app.settings));
    app.state->currentChannelIndex = index;
    app.view->SelectListRow(index);

    app.state->picturesShown = ApplySavedPictures(*app.settings, *app.covers);

    app.view->CreatePictureButton(app.state->picturesShown);
    // The server runs already: a channel or pictures switch it took before the target was
    // attached arrives now as a message (the pictures switch is in the cover set already).
    app.view->AttachMessageTarget();
    app.state->picturesShown = PicturesOn(*app.covers);
    app.view->SetTimer(TIMER_REFRESH, kRefreshPeriodMs);
    app.view->SetTimer(TIMER_ROTATE, RotatePeriodMs(config.rotate_interval_seconds));
    RefreshTitle(app);
}

void OnChannelListSelection(AppContext& app, int selection) {
    if (selection < 0 || !IsNewChannel(app, static_cast<std::uintptr_t>(selection))) return;
    app.state->currentChannelIndex = selection;
    SaveLastChannel(*app.settings, selection);
    SwitchChannel(app);
}

void OnSelectChannel(AppContext& app, std::uintptr_t wParam) {
    // Coalesced posts: the latest channel asked for, whatever this message carried.
    wParam = TakePostedValue(MSG_SELECT_CHANNEL, wParam);
    if (!IsNewChannel(app, wParam)) return;
    const int index = static_cast<int>(wParam);
    app.state->currentChannelIndex = index;
    SaveLastChannel(*app.settings, index);
    app.view->SelectListRow(index);
    // With a close on its way the station is not asked (that may take the whole refresh
    // budget): the channel is saved, and nothing would show the title.
    if (!ClosePosted()) SwitchChannel(app);
}

void OnSetImages(AppContext& app, std::uintptr_t wParam) {
    TakePostedValue(MSG_SET_IMAGES, wParam);
    // The server switched the cover set; its save is made here, off the server's thread.
    SavePictures(*app.settings, *app.covers);
    // The cover set is the state, not the message: the button and the server may each have
    // switched it since this message was posted, and the window must end up showing its value.
    app.state->picturesShown = PicturesOn(*app.covers);
    ShowOrDropCover(app);
}

void OnTogglePictures(AppContext& app) {
    // The press asks for the opposite of what the button shows.
    app.state->picturesShown = SwitchPictures(*app.covers, !app.state->picturesShown);
    SavePictures(*app.settings, *app.covers);
    ShowOrDropCover(app);
}

void OnTimer(AppContext& app, unsigned timerId) {
    if (timerId == TIMER_REFRESH) {
        RefreshTitle(app);
    } else if (timerId == TIMER_ROTATE) {
        RotateCover(*app.covers);
        PublishCover(app);
        app.view->InvalidateClient();
    }
}

void OnCoversChanged(AppContext& app) {
    PublishCover(app);
    app.view->InvalidateClient();
}

void SaveWindowSize(AppContext& app) {
    int width = 0;
    int height = 0;
    if (app.view->ReadWindowSize(width, height)) StoreWindowSize(*app.settings, width, height);
}

void OnDestroy(AppContext& app) {
    // A channel asked for whose message the close overtook is still the one saved.
    const std::uintptr_t waiting = TakePostedValue(MSG_SELECT_CHANNEL, ~std::uintptr_t{0});
    if (IsNewChannel(app, waiting)) app.state->currentChannelIndex = static_cast<int>(waiting);
    // So is a pictures switch whose message it overtook.
    SavePictures(*app.settings, *app.covers);
    SaveWindowSize(app);
    SaveLastChannel(*app.settings, app.state->currentChannelIndex);
    app.view->KillTimer(TIMER_REFRESH);
    app.view->KillTimer(TIMER_ROTATE);
    DropDecodedCover(app);
    app.view->DeleteFonts();
    app.view->PostQuit(0);
}

bool HandlePostedMessage(AppContext& app, unsigned message, std::uintptr_t wParam) {
    switch (message) {
    case MSG_COVERS_CHANGED: OnCoversChanged(app); return true;
    case MSG_SELECT_CHANNEL: OnSelectChannel(app, wParam); return true;
    case MSG_SET_IMAGES: OnSetImages(app, wParam); return true;
    default: return false;
    }
}
