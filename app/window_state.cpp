#include "app/window_state.hpp"

#include "common/text.hpp"
#include "settings/app_config.hpp"

#include <algorithm>
#include <mutex>

void SetCurrentTitle(WindowState& state, std::u16string_view title) {
    const std::size_t copied = CopyTextWhole(state.currentTitle, kTitleUnits, title);
    std::fill(state.currentTitle + copied, state.currentTitle + kTitleUnits, u'\0');
}

int ChannelCount(const Settings& settings) {
    std::lock_guard<std::mutex> hold(settings.lock);
    return std::clamp<int>(settings.config.channels.count, 0, MAX_CHANNELS);
}

std::optional<std::u16string> ChannelName(const Settings& settings, int index) {
    std::lock_guard<std::mutex> hold(settings.lock);
    const ChannelTable& table = settings.config.channels;
    if (index < 0 || index >= std::min<int>(table.count, MAX_CHANNELS)) return std::nullopt;
    return std::u16string(View(table.entries[index].name));
}

int ConfiguredPort(const Settings& settings) {
    std::lock_guard<std::mutex> hold(settings.lock);
    return settings.config.port;
}
