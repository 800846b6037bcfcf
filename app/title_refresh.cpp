#include "app/title_refresh.hpp"

#include "app/title_outputs.hpp"
#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "covers/cover_sources.hpp"
#include "nowplaying/station_board.hpp"
#include "settings/app_config.hpp"
#include "web/web_snapshot.hpp"

#include <mutex>
#include <string>

namespace {

// The current channel's name, or the empty text when the index is not a row of the table.
std::u16string CurrentChannelName(const AppContext& app) {
    return ChannelName(*app.settings, app.state->currentChannelIndex).value_or(std::u16string());
}

// The current channel's "logo" setting, or the empty text.
std::string CurrentChannelLogo(const AppContext& app) {
    std::lock_guard<std::mutex> hold(app.settings->lock);
    const ChannelTable& table = app.settings->config.channels;
    const std::int32_t index = app.state->currentChannelIndex;
    if (index < 0 || index >= table.count || index >= MAX_CHANNELS) return std::string();
    return std::string(View(table.entries[index].logo));
}

}  // namespace

void RefreshTitle(AppContext& app) {
    char16_t fetched[kTitleUnits] = {};
    if (!app.fetch || !app.fetch(app.state->currentChannelIndex, fetched, kTitleUnits)) return;
    fetched[kTitleUnits - 1] = u'\0';
    const std::u16string_view title = View(fetched);
    // An empty answer is no title; showing it would blank the window and start nothing.
    if (title.empty() || title == View(app.state->currentTitle)) return;

    SetCurrentTitle(*app.state, title);
    UpdateWebSnapshot(app, CurrentChannelName(app));
    PublishNewTitle(app);
    // The search for this title falls back to this channel's logo.
    SetCoverLogo(*app.covers, CurrentChannelLogo(app));
    StartCoverSearch(*app.covers, View(app.state->currentTitle));
    app.view->InvalidateClient();
}

void UpdateWebSnapshot(AppContext& app, std::optional<std::u16string_view> channelName) {
    const std::int32_t index = app.state->currentChannelIndex;
    if (app.board != nullptr) SelectBoardChannel(*app.board, index);
    WebSnapshot& snapshot = *app.snapshot;
    std::lock_guard<std::mutex> hold(snapshot.lock);
    snapshot.channelIndex = index;
    if (channelName) {
        Utf16ToUtf8(*channelName, snapshot.channelName);
        snapshot.channelName[sizeof snapshot.channelName - 1] = '\0';
    }
    Utf16ToUtf8(View(app.state->currentTitle), snapshot.track);
    snapshot.track[sizeof snapshot.track - 1] = '\0';
}

void DropDecodedCover(AppContext& app) {
    app.view->DestroyDecodedCover();
    app.state->lastDecodedImageId = -1;
}

void SwitchChannel(AppContext& app) {
    SetCurrentTitle(*app.state, kLoadingTitle);
    UpdateWebSnapshot(app, CurrentChannelName(app));
    ClearCovers(*app.covers);
    PublishPlaceholderTitle(app);
    PublishCover(app);
    DropDecodedCover(app);
    app.view->InvalidateClient();
    RefreshTitle(app);
}
