#include "platform/main_window.hpp"

#include <atomic>
#include <mutex>

namespace {
std::atomic<MessageTarget*> gMainWindowTarget{nullptr};
// A close asked for while no target was set (the web server runs before the window exists):
// "/stop" has already sent its shut-down page, so the close is kept and delivered to the first
// target set, instead of leaving the program running after it said it would stop.
std::atomic<bool> gCloseAsked{false};
// A close was posted to the current target.
std::atomic<bool> gClosePosted{false};

// The waiting message of one coalesced kind: whether one is queued, and the value it delivers.
struct Slot {
    bool waiting = false;
    std::uintptr_t value = 0;
};
std::mutex gSlotLock;  // guards gSlots
Slot gSlots[2];

Slot* SlotOf(unsigned message) {
    if (message == MSG_SELECT_CHANNEL) return &gSlots[0];
    if (message == MSG_SET_IMAGES) return &gSlots[1];
    return nullptr;
}

bool PostCoalesced(MessageTarget& target, Slot& slot, unsigned message, std::uintptr_t wParam) {
    {
        std::lock_guard<std::mutex> hold(gSlotLock);
        slot.value = wParam;
        if (slot.waiting) return true;  // the queued message will deliver this value
        slot.waiting = true;
    }
    if (target.Post(message, wParam)) return true;
    // Nothing was queued (the queue is full or the window is gone): a later post tries again.
    std::lock_guard<std::mutex> hold(gSlotLock);
    slot.waiting = false;
    return false;
}

void ForgetWaiting() {
    std::lock_guard<std::mutex> hold(gSlotLock);
    for (Slot& slot : gSlots) slot = Slot{};
}
}  // namespace

void SetMainWindowTarget(MessageTarget* target) {
    gMainWindowTarget.store(target);
    ForgetWaiting();
    gClosePosted.store(false);
    // Clearing the target (the window going away) also forgets a close nobody took.
    if (target == nullptr) {
        gCloseAsked.store(false);
        return;
    }
    if (gCloseAsked.exchange(false) && target->Post(MSG_CLOSE, 0)) gClosePosted.store(true);
}

bool HasMainWindowTarget() { return gMainWindowTarget.load(std::memory_order_acquire) != nullptr; }

bool PostToMainWindow(unsigned message, std::uintptr_t wParam) {
    MessageTarget* target = gMainWindowTarget.load();
    if (target != nullptr) {
        if (Slot* slot = SlotOf(message)) return PostCoalesced(*target, *slot, message, wParam);
        const bool posted = target->Post(message, wParam);
        if (posted && message == MSG_CLOSE) gClosePosted.store(true);
        return posted;
    }
    if (message != MSG_CLOSE) return false;
    gCloseAsked.store(true);
    // A target set between the load above and the store: whichever side takes the flag first
    // delivers the close, and only once (sequentially consistent on both sides).
    target = gMainWindowTarget.load();
    if (target != nullptr && gCloseAsked.exchange(false) && target->Post(MSG_CLOSE, 0)) {
        gClosePosted.store(true);
        return true;
    }
    return false;
}

std::uintptr_t TakePostedValue(unsigned message, std::uintptr_t posted) {
    Slot* slot = SlotOf(message);
    if (slot == nullptr) return posted;
    std::lock_guard<std::mutex> hold(gSlotLock);
    if (!slot->waiting) return posted;
    slot->waiting = false;
    return slot->value;
}

bool ClosePosted() { return gClosePosted.load(); }
