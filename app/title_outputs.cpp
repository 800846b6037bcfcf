#include "app/title_outputs.hpp"

#include "app/stream_outputs.hpp"
#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "nowplaying/station_board.hpp"
#include "settings/app_config.hpp"
#include "web/title_history.hpp"

#include <chrono>
#include <mutex>

namespace {

std::string ChannelId(const Settings& settings, int index) {
    std::lock_guard<std::mutex> hold(settings.lock);
    const ChannelTable& table = settings.config.channels;
    if (index < 0 || index >= table.count || index >= MAX_CHANNELS) return {};
    return std::string(View(table.entries[index].id));
}

}  // namespace

void PublishNewTitle(AppContext& app) {
    const std::u16string_view title = View(app.state->currentTitle);
    const std::string text = OutputTitleText(title);
    const auto now = std::chrono::system_clock::now();
    if (app.board != nullptr && !text.empty()) {
        SetBoardTitle(*app.board, app.state->currentChannelIndex, Utf16ToUtf8(title),
                      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
    }
    if (app.history != nullptr && !text.empty()) {
        TitleHistoryEntry entry;
        entry.channelIndex = app.state->currentChannelIndex;
        entry.channelId = ChannelId(*app.settings, app.state->currentChannelIndex);
        entry.title = Utf16ToUtf8(title);
        entry.firstSeen = FormatUtcTime(
            std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
        AddToTitleHistory(*app.history, std::move(entry));
    }
    if (app.outputs != nullptr) app.outputs->PublishTitle(text);
}

void PublishPlaceholderTitle(AppContext& app) {
    if (app.outputs != nullptr) app.outputs->PublishTitle(std::string());
}

void PublishCover(AppContext& app) {
    if (app.outputs == nullptr) return;
    CoverBytes picture;
    if (!GetCurrentCover(*app.covers, &picture, nullptr, nullptr)) picture.reset();
    app.outputs->PublishCover(std::move(picture));
}
