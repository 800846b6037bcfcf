#include "app/window_handlers.hpp"
#include "settings/config_reader.hpp"
#include "tests/support/app_loop_fixture.hpp"
#include "tests/unit/web_test_env.hpp"
#include "web/picture_switch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Workers and the server post while the loop ticks its timers; the close arrives last.
TEST_F(HeadlessLoopTest, PostsFromManyThreadsWhileTimersRun) {
    station.Answer(u"Song");
    loop.SetTimer(TIMER_REFRESH, 1);
    loop.SetTimer(TIMER_ROTATE, 1);
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([this, t] {
            for (int i = 0; i < 300; ++i) {
                loop.Post(MSG_COVERS_CHANGED, 0);
                loop.Post(MSG_SET_IMAGES, static_cast<std::uintptr_t>((i + t) % 2));
                if (i % 50 == 0) loop.Post(MSG_SELECT_CHANNEL, static_cast<std::uintptr_t>(i / 50 % 3));
            }
        });
    }
    std::thread closer([&] {
        for (auto& p : posters) p.join();
        loop.Post(MSG_CLOSE, 0);
    });
    EXPECT_EQ(loop.Run(app), 0);
    closer.join();
    EXPECT_TRUE(ConfigWritten());
}

// A client floods channel switches through the server's post while the loop fetches the station
// slowly; a close follows. The flood starts before the loop is made the target (the server runs
// before the window exists). The switches are coalesced, the close comes without waiting for
// them, and the last channel asked for is the one saved.
TEST_F(HeadlessLoopTest, FloodOfSwitchesThenACloseEndsAtOnceWithTheLastChannel) {
    std::atomic<int> fetches{0};
    app.fetch = [&](int, char16_t* out, std::size_t units) {
        ++fetches;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        CopyText(out, units, u"Song");
        return true;
    };
    loop.SetTimer(TIMER_REFRESH, 1);
    SetMainWindowTarget(nullptr);
    std::atomic<bool> closed{false};
    std::atomic<int> posted{0};
    std::thread server([&] {
        for (int i = 0; i < 1000; ++i) {
            PostToMainWindow(MSG_SELECT_CHANNEL, static_cast<std::uintptr_t>(i % 3));
            posted.store(i + 1);
        }
        PostToMainWindow(MSG_SELECT_CHANNEL, 1);
        PostToMainWindow(MSG_CLOSE, 0);
        closed = true;
    });
    // Some of the flood is kept, the rest posted to the target.
    for (int i = 0; i < 2000 && posted.load() < 100; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    SetMainWindowTarget(&loop);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.Run(app), 0);
    server.join();
    SetMainWindowTarget(nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_LT(fetches.load(), 500);
    EXPECT_EQ(settings.config.last_channel_index, 1);
    EXPECT_EQ(std::string(settings.config.last_channel), "two");
}

// The picture button on the window's thread and "/api/images_toggle" on the server's interleave;
// once the posted messages are handled, the window, the cover set and config.json agree. When
// the window closes instead and its queue is dropped, the teardown's save still gives the file
// the cover set's state.
TEST_F(HeadlessLoopTest, PictureButtonAndServerSwitchAgreeAfterAnyInterleaving) {
    struct Queue : MessageTarget {
        std::mutex lock;
        std::vector<std::pair<unsigned, std::uintptr_t>> queued;
        bool Post(unsigned message, std::uintptr_t wParam) override {
            std::lock_guard<std::mutex> hold(lock);
            queued.emplace_back(message, wParam);
            return true;
        }
        std::vector<std::pair<unsigned, std::uintptr_t>> Take() {
            std::lock_guard<std::mutex> hold(lock);
            return std::exchange(queued, {});
        }
    };
    static Queue& window = *new Queue;  // a target lives as long as the process
    state.picturesShown = PicturesOn(covers);
    SetMainWindowTarget(&window);
    WebContext web;
    web.settings = &settings;
    web.covers = &covers;
    web.snapshot = &snapshot;
    ASSERT_TRUE(StartWebServer(web, 0));
    const auto deliver = [&] {
        for (const auto& [message, wParam] : window.Take()) HandlePostedMessage(app, message, wParam);
    };
    int disagreements = 0;
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> serverDone{false};
        std::thread server([&] {
            const char* const targets[] = {"/api/images_toggle", "/api/images_toggle?enabled=1",
                                           "/api/images_toggle?enabled=0"};
            for (int i = 0; i < 8; ++i) WebGet(targets[(i + round) % 3]);
            serverDone = true;
        });
        for (int i = 0; !serverDone.load() && i < 100000; ++i) {
            OnTogglePictures(app);
            if (i % 4 == 0) deliver();
        }
        server.join();
        // A press while the server's last message may still be on its way, which arrives after it.
        if (round % 2 == 0) OnTogglePictures(app);
        if (round % 3 == 2) {
            for (const auto& [message, wParam] : window.Take()) TakePostedValue(message, wParam);
            SavePictures(settings, covers);
            state.picturesShown = PicturesOn(covers);  // a new window would start from the set
        } else {
            deliver();
        }
        const bool set = PicturesOn(covers);
        if (state.picturesShown != set || ReadConfig(settings).show_images != set) ++disagreements;
    }
    StopWebServer();
    SetMainWindowTarget(nullptr);
    EXPECT_EQ(disagreements, 0);
    const bool set = PicturesOn(covers);
    AppConfig file{};
    ParseConfigText(ReadFileBytes(settings.file), file);
    EXPECT_EQ(file.show_images, set);
}
