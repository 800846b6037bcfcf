// The server thread against the main thread's writers: the snapshot, the cover set, the station's
// board and the settings saves change while clients read, switch and query the stored history
// (answered on the server's workers). Bounded in count and time.
#include "common/text.hpp"
#include "tests/unit/web_test_env.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

TEST(WebServerConcurrency, ClientsAndWritersAtTheSameTime) {
    WebTestEnv env;
    RecordingTarget window;
    SetMainWindowTarget(&window);
    env.context.eventCheckMs = 2;  // the pushes race the writers as often as the requests do
    env.context.listenersEventMs = 5;
    FakePlays plays;
    for (int i = 0; i < 200; ++i) plays.plays.push_back({"ostrel", "Ostrel", "Song " + std::to_string(i), 1796724005 - i, -1, 3, 4});
    env.context.queryPlays = plays.Function();
    env.context.board = &env.board;
    SetBoardChannels(env.board, {{"ostrel", "Ostrel", "", 0, -1}, {"pavo", "Pavo", "", 0, -1}}, 0);
    ASSERT_TRUE(StartWebServer(env.context, 0));
    const auto deadline = Clock::now() + std::chrono::seconds(20);

    std::atomic<int> bad{0};
    std::atomic<bool> clientsDone{false};
    std::atomic<bool> subscriberDone{false};
    std::vector<std::thread> clients;
    const char* const targets[] = {"/api/info", "/image", "/api/images_toggle", "/api/channels", "/api/channel?index=1",
                                   "/api/nowplaying", "/api/history?limit=20", "/api/history.csv?limit=20"};
    for (int c = 0; c < 2; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 60 && Clock::now() < deadline; ++i) {
                const std::string route = targets[(i + c) % 8];
                const std::string answer = WebGet(route);
                const std::string body = BodyOf(answer);
                const auto lengthAt = answer.find("Content-Length: ");
                if (lengthAt == std::string::npos ||
                    std::stoul(answer.substr(lengthAt + 16)) != body.size()) {
                    ++bad;
                    continue;
                }
                Json parsed;
                if (route != "/image" && route.find(".csv") == std::string::npos && !Json::Parse(body, &parsed)) ++bad;
                if (route.starts_with("/api/history") && answer.rfind("HTTP/1.1 200 OK", 0) != 0) ++bad;
            }
        });
    }
    // A subscriber reads the pushed events meanwhile, and on after the clients until it has seen
    // a change pushed (the writer goes on until then); each one carries a whole, valid object.
    std::atomic<int> events{0};
    std::thread subscriber([&] {
        std::string got;
        const socket_t s = Subscribe(got, 10000);
        if (s == kInvalidSocket) {
            ++bad;
            subscriberDone = true;
            return;
        }
        while ((!clientsDone.load() || events.load() < 2) && Clock::now() < deadline) {
            if (!ReadUntil(s, got, "\n\n", 200)) continue;
            std::size_t at = 0;
            for (std::size_t end; (end = got.find("\n\n", at)) != std::string::npos; at = end + 2) {
                const std::size_t data = got.find("data: ", at);
                if (data == std::string::npos || data > end) continue;
                Json parsed;
                if (!Json::Parse(got.substr(data + 6, end - data - 6), &parsed)) ++bad;
                ++events;
            }
            got.erase(0, at);  // keep only an event not yet whole
        }
        CloseSocket(s);
        subscriberDone = true;
    });
    std::thread writer([&] {
        for (int i = 0; !(clientsDone.load() && subscriberDone.load()) && Clock::now() < deadline; ++i) {
            {
                std::lock_guard<std::mutex> guard(env.snapshot.lock);
                env.snapshot.channelIndex = i % 8;
                CopyText(env.snapshot.track, "Track \"" + std::to_string(i) + "\"\t\\");
            }
            if (i % 3 == 0) env.ShowPicture(std::string(1000 + i, static_cast<char>('a' + i % 26)));
            if (i % 5 == 0) ClearCovers(env.covers);
            if (i % 7 == 0) SaveLastChannel(env.settings, i % 8);
            SetBoardTitle(env.board, i % 2, "Title " + std::to_string(i), 1796724005 + i);
            SetBoardListeners(env.board, i % 2, i);
            if (i % 4 == 0) SelectBoardChannel(env.board, (i / 4) % 2);
            RotateCover(env.covers);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (auto& t : clients) t.join();
    clientsDone = true;
    writer.join();
    subscriber.join();
    EXPECT_GT(events.load(), 1);
    StopWebServer();
    SetMainWindowTarget(nullptr);
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
