// The web server as the benchmark drives it: 32 channels each with a title and listeners on the
// board, a filled snapshot, a 100 KB picture and a stored history of 100,000 plays held in memory
// (as a store would hand them out, newest first). Prints "port <n>" once it listens, serves until
// it is killed or --seconds pass.
#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "history/play_history.hpp"
#include "nowplaying/station_board.hpp"
#include "platform/descriptors.hpp"
#include "platform/http_client.hpp"
#include "settings/app_config.hpp"
#include "web/web_server.hpp"
#include "web/web_snapshot.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    int seconds = 600;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    }
    SetDescriptorLimit(kNoDescriptorLimit);  // as the program does at start-up
    static Settings settings;
    static CoverSet covers;
    static WebSnapshot snapshot;
    ResetConfigDefaults(settings.config);
    settings.file = std::filesystem::temp_directory_path() / "tovrel-bench-config.json";
    ChannelTable& table = settings.config.channels;
    table.count = MAX_CHANNELS;
    for (int i = 0; i < MAX_CHANNELS; ++i) {
        const std::string id = "channel-" + std::to_string(i);
        CopyText(table.entries[i].id, id);
        CopyText(table.entries[i].name, Utf8ToUtf16("Channel " + std::to_string(i) + " \xe2\x80\x93 \"Evening\" mix"));
    }
    InitCoverSet(covers);
    covers.sessionFactory = [](const char*) { return std::unique_ptr<HttpSession>(); };
    {
        auto picture = std::make_shared<std::vector<std::uint8_t>>(100 * 1024);
        for (std::size_t i = 0; i < picture->size(); ++i) (*picture)[i] = static_cast<std::uint8_t>(i * 7);
        (*picture)[0] = 0xFF;
        (*picture)[1] = 0xD8;
        std::lock_guard<std::mutex> guard(covers.lock);
        covers.slots[0].data = picture;
        covers.slots[0].size = static_cast<std::uint32_t>(picture->size());
        covers.count = 1;
        covers.imageId = 42;
    }
    {
        std::lock_guard<std::mutex> guard(snapshot.lock);
        snapshot.channelIndex = 3;
        CopyText(snapshot.channelName, "Channel 3 \xe2\x80\x93 \"Evening\" mix");
        CopyText(snapshot.track, "Some Artist - A Rather Long Title (Extended \"Club\" Version)\t[2024]");
    }
    static StationBoard board;
    {
        std::vector<ChannelOnAir> rows;
        for (int i = 0; i < MAX_CHANNELS; ++i) {
            rows.push_back({"channel-" + std::to_string(i), "Channel " + std::to_string(i) + " \xe2\x80\x93 \"Evening\" mix", "",
                            0, kListenersUnknown});
        }
        SetBoardChannels(board, std::move(rows), 3);
        for (int i = 0; i < MAX_CHANNELS; ++i) {
            SetBoardTitle(board, i, "Some Artist " + std::to_string(i) + " - A Rather Long Title (Extended \"Club\" Version)",
                          1796724005 - i * 60);
            SetBoardListeners(board, i, 10 + i);
        }
    }
    static std::vector<PlayRecord> plays;
    for (int i = 0; i < 100000; ++i) {
        const int channel = i % MAX_CHANNELS;
        plays.push_back({"channel-" + std::to_string(channel), "Channel " + std::to_string(channel),
                         "Some Artist " + std::to_string(i) + " - A Rather Long Title, \"Club\" Version",
                         1796724005 - i * 30, 1796724035 - i * 30, 10, 12});
    }
    static WebContext context;
    context.settings = &settings;
    context.covers = &covers;
    context.snapshot = &snapshot;
    context.board = &board;
    context.queryPlays = [](const PlayQuery& q, const std::function<bool(const PlayRecord&)>& each) {
        std::size_t n = 0;
        for (const PlayRecord& p : plays) {
            if (!q.channelId.empty() && p.channelId != q.channelId) continue;
            if (n++ == q.limit || !each(p)) break;
        }
        return true;
    };
    if (!StartWebServer(context, 0)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    std::printf("port %d\n", WebServerPort());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    StopWebServer();
    return 0;
}
