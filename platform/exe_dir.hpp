// Where the running executable lives.
#pragma once

#include <filesystem>

// The folder that holds the running executable, or an empty path when the system cannot say
// (callers then fall back to the current folder).
std::filesystem::path ExecutableDirectory();

// The folder part of an executable's full path as the system reports it, or an empty path when
// it has none. A folder that is the root of a drive keeps its separator ("E:\", not "E:", which
// would mean the current folder of drive E: and so depend on how the program was started).
std::filesystem::path FolderOfExecutable(const std::filesystem::path& executable);
