// Reading a whole small file in one call, without the C++ streams: they would bring the whole
// locale machinery of the C++ runtime into the program for three small reads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

enum class SmallFileRead {
    kRead,         // out holds the file's bytes (fewer than its size when it shrank meanwhile)
    kNotOpened,    // it cannot be opened: missing, not allowed, or a name the system cannot take
    kSizeOutside,  // its size is outside the bounds, or it is no regular file (a folder, a pipe)
    kFailed,       // a read failed, or there was no memory for the bytes
};

// Reads the file at path when its size, taken once it is open, lies within [minBytes,
// maxBytes]. Never waits on a pipe or a device put in the file's place. On any result but kRead
// out is empty.
SmallFileRead ReadSmallFile(const std::filesystem::path& path, std::size_t minBytes, std::size_t maxBytes,
                            std::string& out);
