#include "web/picture_switch.hpp"

#include "covers/cover_set.hpp"
#include "settings/app_config.hpp"

#include <mutex>

namespace {
// Held from reading the switch to the end of the save. Never taken with the cover lock or the
// settings locks held; the operations below take those themselves, one at a time.
std::mutex gSwitchLock;
}  // namespace

bool PicturesOn(CoverSet& covers) {
    std::lock_guard<std::mutex> hold(covers.lock);
    return covers.imagesEnabled;
}

bool SwitchPictures(Settings& settings, CoverSet& covers, std::optional<bool> on) {
    std::lock_guard<std::mutex> hold(gSwitchLock);
    const bool next = on.value_or(!PicturesOn(covers));
    SetImagesEnabled(covers, next);
    SaveShowImages(settings, next);
    return next;
}

bool ApplySavedPictures(Settings& settings, CoverSet& covers) {
    std::lock_guard<std::mutex> hold(gSwitchLock);
    const bool saved = ReadConfig(settings).show_images;
    SetImagesEnabled(covers, saved);
    return saved;
}
