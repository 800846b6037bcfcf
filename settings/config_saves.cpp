// The three save operations. Each one holds settings.saveLock from changing the record until the
// file is written, so saves from the main thread and the server thread reach the file in the
// order in which they changed the record, and the last file written holds every change.
#include <cstring>

#include "common/text.hpp"
#include "settings/app_config.hpp"
#include "settings/config_paths.hpp"

namespace {

// Applies change to the record under the lock; when it returns true, writes a copy of the
// record. The copy keeps the lock short: readers on other threads never wait for the disk.
template <typename Change>
void SaveWith(Settings& settings, Change change) {
    std::lock_guard<std::mutex> saveGuard(settings.saveLock);
    AppConfig snapshot;
    {
        std::lock_guard<std::mutex> guard(settings.lock);
        if (!change(settings.config)) return;
        snapshot = settings.config;
    }
    WriteConfigFile(SettingsFilePath(settings), snapshot);
}

}  // namespace

void SaveLastChannel(Settings& settings, int currentChannelIndex) {
    SaveWith(settings, [currentChannelIndex](AppConfig& cfg) {
        if (currentChannelIndex < 0 || currentChannelIndex >= cfg.channels.count) return false;
        cfg.last_channel_index = currentChannelIndex;
        std::memset(cfg.last_channel, 0, sizeof cfg.last_channel);
        CopyText(cfg.last_channel, View(cfg.channels.entries[currentChannelIndex].id));
        return true;
    });
}

void SaveShowImages(Settings& settings, bool show) {
    // Written even when the value is unchanged: the file may have been edited meanwhile.
    SaveWith(settings, [show](AppConfig& cfg) {
        cfg.show_images = show;
        return true;
    });
}

void StoreWindowSize(Settings& settings, int width, int height) {
    if (width < 200 || height < 200) return;
    SaveWith(settings, [width, height](AppConfig& cfg) {
        if (cfg.window_width == width && cfg.window_height == height) return false;
        cfg.window_width = width;
        cfg.window_height = height;
        return true;
    });
}

void SaveStartWithWindows(Settings& settings, bool on) {
    SaveWith(settings, [on](AppConfig& cfg) {
        if (cfg.start_with_windows == kFlagAbsent) return false;
        cfg.start_with_windows = on ? 1 : 0;
        return true;
    });
}
