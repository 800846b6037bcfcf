// The pictures switch as one step, shared by the window's button and "/api/images_toggle".
#pragma once

#include <optional>

struct Settings;
struct CoverSet;

// Switches the cover set's pictures on or off and saves show_images, both under one lock, so
// that two switches from two threads never interleave: after any sequence of them the cover set
// and config.json hold the same value. `on` empty means the opposite of the cover set's state at
// that moment. The save is made even when nothing changed. Returns the new state.
bool SwitchPictures(Settings& settings, CoverSet& covers, std::optional<bool> on);
// Sets the cover set from the saved show_images, under the same lock (start-up). Returns it.
bool ApplySavedPictures(Settings& settings, CoverSet& covers);
// The cover set's pictures switch, read under the cover lock.
bool PicturesOn(CoverSet& covers);
