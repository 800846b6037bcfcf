#include "web/picture_switch.hpp"

#include "covers/cover_set.hpp"
#include "settings/app_config.hpp"

#include <mutex>

namespace {
// Makes reading the switch and setting it one step. Held only for that step (and for the
// start-up's apply), never across a save: the server thread takes it and must not wait for the
// disk. Never taken with the cover lock or the settings locks held.
std::mutex gSwitchLock;
// Held by a save from taking the state to the end of the write, so that two saves reach the
// file in the order in which they took the state. The server thread never takes it.
std::mutex gSaveLock;
}  // namespace

bool PicturesOn(CoverSet& covers) {
    std::lock_guard<std::mutex> hold(covers.lock);
    return covers.imagesEnabled;
}

bool SwitchPictures(CoverSet& covers, std::optional<bool> on) {
    std::lock_guard<std::mutex> hold(gSwitchLock);
    const bool next = on.value_or(!PicturesOn(covers));
    SetImagesEnabled(covers, next);
    {
        // Marked after the state is set: a save that clears the mark reads this state or a later one.
        std::lock_guard<std::mutex> coverHold(covers.lock);
        covers.imagesSwitchUnsaved = true;
    }
    return next;
}

void SavePictures(Settings& settings, CoverSet& covers) {
    std::lock_guard<std::mutex> hold(gSaveLock);
    bool state;
    {
        std::lock_guard<std::mutex> coverHold(covers.lock);
        if (!covers.imagesSwitchUnsaved) return;
        covers.imagesSwitchUnsaved = false;
        state = covers.imagesEnabled;
    }
    SaveShowImages(settings, state);
}

bool ApplySavedPictures(Settings& settings, CoverSet& covers) {
    std::lock_guard<std::mutex> hold(gSwitchLock);
    {
        std::lock_guard<std::mutex> coverHold(covers.lock);
        if (covers.imagesSwitchUnsaved) return covers.imagesEnabled;
    }
    const bool saved = ReadConfig(settings).show_images;
    SetImagesEnabled(covers, saved);
    return saved;
}
