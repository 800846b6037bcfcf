// Several threads each open their own session at the same moment (as cover-search workers do)
// while the first use of the client initialises the library.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_client.hpp"
#include "tests/support/sim_client.hpp"
#include "tests/support/test_support.hpp"

namespace {

TEST(HttpClientThreads, SessionsOnSeveralThreads) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.SetBody("/threads", "payload"));
    const std::string url = sim.BaseUrl() + "/threads";
    std::atomic<int> ok{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            auto session = OpenHttpSession("Lavf/57.83.100");
            if (!session) return;
            session->SetTimeouts(3000, 3000);
            for (int i = 0; i < 5; ++i) {
                auto r = session->OpenUrl(url.c_str(), kHttpReload | kHttpNoCookies, 64);
                char buf[64];
                std::size_t got = 0;
                if (r && r->Read(buf, sizeof buf, got) && std::string(buf, got) == "payload") ++ok;
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 20);
}

}  // namespace
