#include "app/headless_loop.hpp"

#include "app/window_handlers.hpp"

bool HeadlessLoop::Post(unsigned message, std::uintptr_t wParam) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (message == MSG_CLOSE) {
            closeAsked_ = true;
        } else if (message == MSG_COVERS_CHANGED && coversQueued_) {
            return true;
        } else {
            if (message == MSG_COVERS_CHANGED) coversQueued_ = true;
            queue_.emplace_back(message, wParam);
        }
    }
    wake_.notify_one();
    return true;
}

void HeadlessLoop::SetTimer(unsigned id, unsigned periodMs) {
    const std::chrono::milliseconds period(periodMs);
    timers_[id] = Timer{period, Clock::now() + period};
}

void HeadlessLoop::KillTimer(unsigned id) { timers_.erase(id); }

void HeadlessLoop::Quit(int exitCode) {
    quit_ = true;
    exitCode_ = exitCode;
}

void HeadlessLoop::FireDueTimers(AppContext& app) {
    // Each due timer fires once; a timer killed or reset by a handler is looked up afresh.
    const auto now = Clock::now();
    for (unsigned id : {TIMER_REFRESH, TIMER_ROTATE}) {
        auto it = timers_.find(id);
        if (it == timers_.end() || it->second.due > now || quit_) continue;
        it->second.due = now + it->second.period;
        OnTimer(app, id);
    }
    for (auto& [id, timer] : timers_) {
        if (id != TIMER_REFRESH && id != TIMER_ROTATE && timer.due <= now) timer.due = now + timer.period;
    }
}

int HeadlessLoop::Run(AppContext& app) {
    while (!quit_) {
        std::pair<unsigned, std::uintptr_t> message{};
        bool haveMessage = false;
        bool close = false;
        {
            std::unique_lock<std::mutex> hold(lock_);
            auto next = Clock::time_point::max();
            for (const auto& [id, timer] : timers_) next = std::min(next, timer.due);
            const auto ready = [this] { return closeAsked_ || !queue_.empty(); };
            if (next == Clock::time_point::max()) {
                wake_.wait(hold, ready);
            } else {
                wake_.wait_until(hold, next, ready);
            }
            if (closeAsked_ && !destroyed_) {
                close = true;
                queue_.clear();
                coversQueued_ = false;
            } else if (!queue_.empty()) {
                message = queue_.front();
                queue_.pop_front();
                if (message.first == MSG_COVERS_CHANGED) coversQueued_ = false;
                haveMessage = !destroyed_;  // posts after the window is gone are lost, as on Windows
            }
            closeAsked_ = false;
        }
        if (close) {
            destroyed_ = true;
            OnDestroy(app);
            continue;
        }
        if (haveMessage) HandlePostedMessage(app, message.first, message.second);
        FireDueTimers(app);
    }
    return exitCode_;
}
