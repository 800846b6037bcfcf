// The pictures switch, shared by the window's button and "/api/images_toggle": the switch itself,
// which never waits for the disk (the server thread makes it), and its save, which the main
// thread makes afterwards.
#pragma once

#include <optional>

struct Settings;
struct CoverSet;

// Switches the cover set's pictures on or off and marks the switch unsaved; `on` empty means the
// opposite of the cover set's state at that moment. Two switches from two threads never
// interleave. Takes only short locks that are never held across disk work. Returns the new state.
bool SwitchPictures(CoverSet& covers, std::optional<bool> on);
// When a switch was made since the last save, saves show_images with the cover set's state at
// the time of the save (even when the file already holds it: it may have been edited meanwhile).
// Saves made one after another leave the file with the latest state, so every switch followed by
// one of these saves ends with config.json and the cover set agreeing. Main thread.
void SavePictures(Settings& settings, CoverSet& covers);
// Sets the cover set from the saved show_images (start-up), unless a switch made since is still
// unsaved: that switch is newer than the file. Returns the cover set's state.
bool ApplySavedPictures(Settings& settings, CoverSet& covers);
// The cover set's pictures switch, read under the cover lock.
bool PicturesOn(CoverSet& covers);
