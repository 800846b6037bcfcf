// The message loop of the program without a window: a queue that other threads post to, the
// window's timers, and the close that ends it. Portable (standard threads only).
#pragma once

#include "app/window_state.hpp"
#include "platform/main_window.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

class HeadlessLoop : public MessageTarget {
public:
    // Queues a message for the loop's thread. Any thread; never blocks for long. A MSG_CLOSE is
    // not queued but marked, and a MSG_COVERS_CHANGED while one is queued adds nothing (one
    // repaint shows every change), so neither can pile up behind a flood of other messages.
    bool Post(unsigned message, std::uintptr_t wParam) override;

    // Timers as a window has them: a tick every period, ticks never pile up.
    void SetTimer(unsigned id, unsigned periodMs);
    void KillTimer(unsigned id);
    // Ends Run after the message being handled; the exit code is Run's result.
    void Quit(int exitCode);

    // Runs until Quit: posted messages in order, with the timers that are due fired after each
    // message and whenever the queue is empty. A close goes before every queued message: it
    // takes the window's close path (OnDestroy, which saves and quits) once the message being
    // handled is done, and what is still queued is dropped, as posts to a destroyed window are.
    int Run(AppContext& app);

private:
    using Clock = std::chrono::steady_clock;
    void FireDueTimers(AppContext& app);
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::pair<unsigned, std::uintptr_t>> queue_;
    bool closeAsked_ = false;           // guarded by lock_
    bool coversQueued_ = false;         // a MSG_COVERS_CHANGED is in queue_; guarded by lock_
    std::map<unsigned, Timer> timers_;  // loop thread only
    bool quit_ = false;                 // loop thread only
    int exitCode_ = 0;
    bool destroyed_ = false;
};

// The view of the window that is not there: it keeps the timers and the quit in the loop, and
// has no size to save and no picture to decode.
class HeadlessView : public WindowView {
public:
    explicit HeadlessView(HeadlessLoop& loop) : loop_(loop) {}
    void SelectListRow(int) override {}
    void CreatePictureButton(bool) override {}
    void AttachMessageTarget() override { SetMainWindowTarget(&loop_); }
    void SetTimer(unsigned id, unsigned periodMs) override { loop_.SetTimer(id, periodMs); }
    void KillTimer(unsigned id) override { loop_.KillTimer(id); }
    void InvalidateClient() override {}
    void InvalidateButton() override {}
    void DecodeCurrentCover() override {}
    void DestroyDecodedCover() override {}
    void DeleteFonts() override {}
    bool ReadWindowSize(int&, int&) override { return false; }
    void PostQuit(int exitCode) override { loop_.Quit(exitCode); }

private:
    HeadlessLoop& loop_;
};
