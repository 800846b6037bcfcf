// Where the running executable lives.
#pragma once

#include <filesystem>

// The folder that holds the running executable, or an empty path when the system cannot say
// (callers then fall back to the current folder).
std::filesystem::path ExecutableDirectory();
