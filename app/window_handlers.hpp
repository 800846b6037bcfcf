// The main window's decisions, shared by the Win32 window and the headless loop: which channel,
// when to save, what to repaint. Main thread only.
#pragma once

#include "app/window_state.hpp"

#include <cstdint>

// After the channel list exists: the initial channel and pictures flag, the rest of the
// controls, the message target, both timers and the first refresh.
void OnCreate(AppContext& app);
// A new selection in the channel list (CBN_SELCHANGE), with the list's current selection.
void OnChannelListSelection(AppContext& app, int selection);
// MSG_SELECT_CHANNEL from the web server: the latest channel posted (see TakePostedValue), or
// wParam. With a close posted the channel is saved but not switched to.
void OnSelectChannel(AppContext& app, std::uintptr_t wParam);
// MSG_SET_IMAGES from the web server (which has already switched the cover set): saves the
// switch, and the window takes the cover set's state, whatever wParam says.
void OnSetImages(AppContext& app, std::uintptr_t wParam);
// The picture button: switches the cover set and saves the opposite of what the window shows.
void OnTogglePictures(AppContext& app);
void OnTimer(AppContext& app, unsigned timerId);
void OnCoversChanged(AppContext& app);
// WM_EXITSIZEMOVE and the first step of the teardown.
void SaveWindowSize(AppContext& app);
// The teardown; a channel switch still waiting (overtaken by the close) is made current first,
// so that it is the channel saved, and a pictures switch not yet saved is saved.
void OnDestroy(AppContext& app);

// Routes one of the posted messages (MSG_COVERS_CHANGED, MSG_SELECT_CHANNEL, MSG_SET_IMAGES) to
// its handler. Returns false for any other message.
bool HandlePostedMessage(AppContext& app, unsigned message, std::uintptr_t wParam);
