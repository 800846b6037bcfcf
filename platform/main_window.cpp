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

// The message of one coalesced kind: whether one is queued for the target, whether one was
// asked for while no target was set, and the value it delivers.
struct Slot {
    bool waiting = false;
    bool kept = false;
    std::uintptr_t value = 0;
};
// Guards gSlots, and is held while the target is replaced, so that a switch asked for while no
// target is set is either kept before the target is set (and delivered by SetMainWindowTarget)
// or posted to the new target: never kept after the delivery and left behind.
std::mutex gSlotLock;
Slot gSlots[2];

Slot* SlotOf(unsigned message) {
    if (message == MSG_SELECT_CHANNEL) return &gSlots[0];
    if (message == MSG_SET_IMAGES) return &gSlots[1];
    return nullptr;
}

// Hands one queued message of slot's kind to target (posted outside the lock: a post never
// waits for the lock that posts take).
bool PostQueued(MessageTarget& target, Slot& slot, unsigned message, std::uintptr_t wParam) {
    if (target.Post(message, wParam)) return true;
    // Nothing was queued (the queue is full or the window is gone): a later post tries again.
    std::lock_guard<std::mutex> hold(gSlotLock);
    slot.waiting = false;
    return false;
}

bool PostCoalesced(Slot& slot, unsigned message, std::uintptr_t wParam) {
    MessageTarget* target = nullptr;
    {
        std::lock_guard<std::mutex> hold(gSlotLock);
        slot.value = wParam;
        target = gMainWindowTarget.load();
        if (target == nullptr) {
            // The server answers before the window exists: the request is kept for it, and the
            // answer ("ok") stays true.
            slot.kept = true;
            return true;
        }
        if (slot.waiting) return true;  // the queued message will deliver this value
        slot.waiting = true;
    }
    return PostQueued(*target, slot, message, wParam);
}
}  // namespace

void SetMainWindowTarget(MessageTarget* target) {
    gClosePosted.store(false);
    // Messages queued for an earlier target are forgotten (that target will not take them);
    // requests kept while no target was set go to the new one, and are forgotten on clearing.
    bool deliver[2] = {};
    std::uintptr_t values[2] = {};
    {
        std::lock_guard<std::mutex> hold(gSlotLock);
        gMainWindowTarget.store(target);
        for (int i = 0; i < 2; ++i) {
            deliver[i] = target != nullptr && gSlots[i].kept;
            values[i] = gSlots[i].value;
            gSlots[i] = Slot{deliver[i], false, deliver[i] ? values[i] : 0};
        }
    }
    if (target == nullptr) {
        // Clearing the target (the window going away) also forgets a close nobody took.
        gCloseAsked.store(false);
        return;
    }
    // The switches go first: a close behind them still finds them waiting (see OnDestroy).
    if (deliver[0]) PostQueued(*target, gSlots[0], MSG_SELECT_CHANNEL, values[0]);
    if (deliver[1]) PostQueued(*target, gSlots[1], MSG_SET_IMAGES, values[1]);
    if (gCloseAsked.exchange(false) && target->Post(MSG_CLOSE, 0)) gClosePosted.store(true);
}

bool HasMainWindowTarget() { return gMainWindowTarget.load(std::memory_order_acquire) != nullptr; }

bool PostToMainWindow(unsigned message, std::uintptr_t wParam) {
    if (Slot* slot = SlotOf(message)) return PostCoalesced(*slot, message, wParam);
    MessageTarget* target = gMainWindowTarget.load();
    if (target != nullptr) {
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
