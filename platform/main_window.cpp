#include "platform/main_window.hpp"

#include <atomic>

namespace {
std::atomic<MessageTarget*> gMainWindowTarget{nullptr};
// A close asked for while no target was set (the web server runs before the window exists):
// "/stop" has already sent its shut-down page, so the close is kept and delivered to the first
// target set, instead of leaving the program running after it said it would stop.
std::atomic<bool> gCloseAsked{false};
}  // namespace

void SetMainWindowTarget(MessageTarget* target) {
    gMainWindowTarget.store(target);
    // Clearing the target (the window going away) also forgets a close nobody took.
    if (target == nullptr) {
        gCloseAsked.store(false);
        return;
    }
    if (gCloseAsked.exchange(false)) target->Post(MSG_CLOSE, 0);
}

bool HasMainWindowTarget() { return gMainWindowTarget.load(std::memory_order_acquire) != nullptr; }

bool PostToMainWindow(unsigned message, std::uintptr_t wParam) {
    MessageTarget* target = gMainWindowTarget.load();
    if (target != nullptr) return target->Post(message, wParam);
    if (message != MSG_CLOSE) return false;
    gCloseAsked.store(true);
    // A target set between the load above and the store: whichever side takes the flag first
    // delivers the close, and only once (sequentially consistent on both sides).
    target = gMainWindowTarget.load();
    if (target != nullptr && gCloseAsked.exchange(false)) return target->Post(MSG_CLOSE, 0);
    return false;
}
