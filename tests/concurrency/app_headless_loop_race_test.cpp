#include "app/window_handlers.hpp"
#include "tests/support/app_loop_fixture.hpp"

#include <gtest/gtest.h>

#include <thread>
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
