#include "platform/main_window.hpp"

#include <atomic>

namespace {
std::atomic<MessageTarget*> gMainWindowTarget{nullptr};
}

void SetMainWindowTarget(MessageTarget* target) { gMainWindowTarget.store(target, std::memory_order_release); }

bool HasMainWindowTarget() { return gMainWindowTarget.load(std::memory_order_acquire) != nullptr; }

bool PostToMainWindow(unsigned message, std::uintptr_t wParam) {
    MessageTarget* target = gMainWindowTarget.load(std::memory_order_acquire);
    return target != nullptr && target->Post(message, wParam);
}
