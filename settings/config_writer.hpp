// Producing the text of config.json, and the test seam of the save.
#pragma once

#include <filesystem>
#include <string>

#include "settings/app_config.hpp"

// The whole file for cfg in its fixed layout: CR LF line ends, two spaces per level, the
// optional URLs after "window_height" only when set. Text values are escaped so that the reader
// gives back what was written: \" \\ \r \n \t; other control characters are left out.
std::string FormatConfigText(const AppConfig& cfg);

// For tests: called after the new text is safely in its temporary file and before that file
// replaces config.json. Returning false stops the save at that point, as a crash there would
// (the temporary file is left behind). Pass null to remove the hook.
using ConfigSaveInterruption = bool (*)(const std::filesystem::path& tempFile);
void SetConfigSaveInterruptionForTest(ConfigSaveInterruption hook);
