// The link from worker and server threads to the main window: messages are posted, never sent,
// to the window that is set; a few kinds asked for before it is set are kept for it.
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

// Sets (or with null, clears) the main window's target. Messages queued for an earlier target
// and the close mark are forgotten; what was asked for while no target was set (the latest
// channel, the latest pictures switch, a close) is posted to the new target, or forgotten when
// the target is cleared.
void SetMainWindowTarget(MessageTarget* target);
bool HasMainWindowTarget();
// Posts to the main window. While no target is set, posts nothing and returns false, except for
// the kinds below, which are kept and delivered when a target is set (the web server answers
// before the window exists, and its answers say the request was taken): MSG_CLOSE (returns
// false), MSG_SELECT_CHANNEL and MSG_SET_IMAGES (the latest value of each; returns true).
//
// MSG_SELECT_CHANNEL and MSG_SET_IMAGES are coalesced: while one of a kind waits to be handled,
// a later post of that kind only replaces the value it will deliver (and returns true), so a
// client that switches in a loop queues at most one message of each kind, and the handler acts
// on the latest request. The handler takes that value with TakePostedValue.
bool PostToMainWindow(unsigned message, std::uintptr_t wParam);
// For the handler of MSG_SELECT_CHANNEL or MSG_SET_IMAGES: the latest value posted for that kind
// through PostToMainWindow, which then counts as handled (the next post queues a new message).
// Gives `posted` (the message's own wParam) when none is waiting: a message posted straight to a
// target, or any other kind of message.
std::uintptr_t TakePostedValue(unsigned message, std::uintptr_t posted);
// Whether a MSG_CLOSE has been posted to the current target: the close is coming, so a handler
// that runs before it may leave out slow work whose result nobody would see.
bool ClosePosted();
