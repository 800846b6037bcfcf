// Several threads each open their own session at the same moment (as cover-search workers do)
// while the first use of the client initialises the library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// Requests on several threads are stopped at once by a check that another thread turns true,
// while the other threads keep opening and closing requests of their own.
TEST(HttpClientThreads, CancelWhileOthersRun) {
    if (SimulatorPort() == 0) GTEST_SKIP() << "no station simulator";
    SimControl sim(SimulatorPort());
    ASSERT_TRUE(sim.Set(R"({"path":"/drip","body":"abcdefghij","trickle_ms":1000,"chunk":1})"));
    ASSERT_TRUE(sim.SetBody("/quick", "payload"));
    const std::string drip = sim.BaseUrl() + "/drip";
    const std::string quick = sim.BaseUrl() + "/quick";
    std::atomic<bool> cancelled{false};
    std::atomic<bool> done{false};
    std::atomic<int> stoppedInTime{0};
    std::atomic<int> quickOk{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            auto session = OpenHttpSession("Lavf/57.83.100");
            if (!session) return;
            session->SetTimeouts(5000, 5000);
            session->SetCancelCheck([&cancelled] { return cancelled.load(); });
            auto r = session->OpenUrl(drip.c_str(), kHttpReload, 64);
            char buf[64];
            std::size_t got = 0;
            while (r && r->Read(buf, sizeof buf, got) && got > 0) {
            }
            if (cancelled.load()) ++stoppedInTime;
        });
    }
    threads.emplace_back([&] {
        auto session = OpenHttpSession("Lavf/57.83.100");
        if (!session) return;
        session->SetTimeouts(3000, 3000);
        for (int i = 0; i < 200 && !done.load(); ++i) {
            auto r = session->OpenUrl(quick.c_str(), kHttpReload, 64);
            char buf[64];
            std::size_t got = 0;
            if (r && r->Read(buf, sizeof buf, got) && std::string(buf, got) == "payload") ++quickOk;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    cancelled = true;
    const auto flipped = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < 3; ++i) threads[i].join();
    // Each drip has some 9 s to go; a stop noticed within the clients' 50 ms check comes well
    // inside 3 s even on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - flipped, std::chrono::milliseconds(3000));
    done = true;
    threads[3].join();
    EXPECT_EQ(stoppedInTime.load(), 3);
    EXPECT_GT(quickOk.load(), 0);
}

}  // namespace
