// Which file a Settings store reads and writes.
#pragma once

#include <filesystem>

#include "settings/app_config.hpp"

// settings.file when set, otherwise ConfigFilePath(), computed afresh on every call.
std::filesystem::path SettingsFilePath(const Settings& settings);
