// Turning the text of config.json into an AppConfig.
#pragma once

#include <cstddef>
#include <string_view>

#include "settings/app_config.hpp"

// Files outside these sizes are not read at all (and are left as they are).
constexpr std::size_t kConfigMinBytes = 11;
constexpr std::size_t kConfigMaxBytes = 262144;

// Resets cfg to the defaults and applies every setting and the channel table found in text.
// The text ends at its first NUL byte. Never fails: whatever is missing or out of range keeps
// its default.
void ParseConfigText(std::string_view text, AppConfig& cfg);
