// The title refresh cycle: poll the station, and when the title on air changes, bring the web
// snapshot, the cover search and the window up to date. Main thread only.
#pragma once

#include "app/window_state.hpp"

#include <optional>
#include <string_view>

// Polls the current channel; a failed fetch or the title already on show changes nothing.
void RefreshTitle(AppContext& app);
// Copies the current channel index, the channel name (when given) and the current title into the
// web snapshot under its lock; texts too long for their fields are cut at a whole UTF-8 character.
void UpdateWebSnapshot(AppContext& app, std::optional<std::u16string_view> channelName);
// The common tail of a channel change; the new index is already stored and saved.
void SwitchChannel(AppContext& app);
// Drops the view's decoded cover and forgets its image id.
void DropDecodedCover(AppContext& app);
