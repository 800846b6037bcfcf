// The copy of channel and title that the web server reads, written by the main thread.
#pragma once

#include <cstdint>
#include <mutex>

struct WebSnapshot {
    std::mutex lock;  // the snapshot lock
    std::int32_t channelIndex = 0;
    char channelName[256] = "Radio Tovrel";
    char track[1024] = "Connecting...";
};
