// The link from worker and server threads to the main window: messages are posted, never sent,
// and only while a window is set.
#pragma once

#include <cstdint>

constexpr unsigned MSG_COVERS_CHANGED = 1125;  // WM_USER + 101
constexpr unsigned MSG_SELECT_CHANNEL = 1126;  // WM_USER + 102, wParam = channel index
constexpr unsigned MSG_SET_IMAGES = 1127;      // WM_USER + 103, wParam = 1 on / 0 off
constexpr unsigned MSG_CLOSE = 0x0010;         // WM_CLOSE

// Something that queues a message for the main window's thread (PostMessageW on Windows, the
// headless loop's queue elsewhere, a recorder in tests). Must live as long as the process, since
// a late thread may still post to it after it was unset.
class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual bool Post(unsigned message, std::uintptr_t wParam) = 0;
};

// Sets (or with null, clears) the main window's target.
void SetMainWindowTarget(MessageTarget* target);
bool HasMainWindowTarget();
// Posts to the main window; returns false, posting nothing, while no target is set. A MSG_CLOSE
// posted then is kept and delivered when a target is set (clearing the target forgets it).
bool PostToMainWindow(unsigned message, std::uintptr_t wParam);
