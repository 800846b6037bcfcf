// Temporary stand-ins for the settings and cover-set operations, so the window's handlers can be
// tested before those modules are merged into this branch. Removed at the merge.
#include "covers/cover_set.hpp"
#include "settings/app_config.hpp"
#include "common/text.hpp"

#include <fstream>

namespace {
void WriteMarker(const Settings& settings) {
    if (settings.file.empty()) return;
    std::ofstream(settings.file, std::ios::binary) << "{}\r\n";
}
}  // namespace

AppConfig ReadConfig(const Settings& settings) {
    std::lock_guard<std::mutex> hold(settings.lock);
    return settings.config;
}
void SaveLastChannel(Settings& settings, int index) {
    {
        std::lock_guard<std::mutex> hold(settings.lock);
        settings.config.last_channel_index = index;
        if (index >= 0 && index < settings.config.channels.count)
            CopyText(settings.config.last_channel, View(settings.config.channels.entries[index].id));
    }
    WriteMarker(settings);
}
void SaveShowImages(Settings& settings, bool show) {
    {
        std::lock_guard<std::mutex> hold(settings.lock);
        settings.config.show_images = show;
    }
    WriteMarker(settings);
}
void StoreWindowSize(Settings& settings, int width, int height) {
    {
        std::lock_guard<std::mutex> hold(settings.lock);
        if (width < 200 || height < 200) return;
        if (width == settings.config.window_width && height == settings.config.window_height) return;
        settings.config.window_width = width;
        settings.config.window_height = height;
    }
    WriteMarker(settings);
}

void InitCoverSet(CoverSet& set) {
    std::lock_guard<std::mutex> hold(set.lock);
    FreeCoverSlots(set);
    set.imageId = 0;
    set.imagesEnabled = true;
    set.generation.fetch_add(1);
}
void FreeCoverSlots(CoverSet& set) {
    for (auto& slot : set.slots) slot = CoverSlot{};
    set.count = 0;
    set.currentIndex = 0;
}
void StartCoverSearch(CoverSet& set, std::u16string_view title) {
    if (title.empty() || title == u"Loading..." || title == u"Connecting...") return;
    std::lock_guard<std::mutex> hold(set.lock);
    if (title == View(set.query) && set.count > 0) return;
    set.generation.fetch_add(1);
    CopyText(set.query, title);
    FreeCoverSlots(set);
    ++set.imageId;
}
void SetImagesEnabled(CoverSet& set, bool on) {
    std::lock_guard<std::mutex> hold(set.lock);
    set.imagesEnabled = on;
    if (!on) {
        set.generation.fetch_add(1);
        FreeCoverSlots(set);
        ++set.imageId;
    }
}
void ClearCovers(CoverSet& set) {
    std::lock_guard<std::mutex> hold(set.lock);
    set.generation.fetch_add(1);
    set.query[0] = u'\0';
    FreeCoverSlots(set);
    ++set.imageId;
}
void RotateCover(CoverSet& set) {
    std::lock_guard<std::mutex> hold(set.lock);
    if (set.imagesEnabled && set.count > 1) {
        set.currentIndex = (set.currentIndex + 1) % set.count;
        ++set.imageId;
    }
}
bool GetCurrentCover(CoverSet& set, CoverBytes* bytes, std::uint32_t* size, std::int32_t* imageId) {
    std::lock_guard<std::mutex> hold(set.lock);
    if (set.count <= 0 || set.currentIndex >= set.count || !set.slots[set.currentIndex].data) return false;
    if (bytes) *bytes = set.slots[set.currentIndex].data;
    if (size) *size = set.slots[set.currentIndex].size;
    if (imageId) *imageId = set.imageId;
    return true;
}
bool WaitForCoverWorker(CoverSet&, int) { return true; }
