// Saves from the main thread and the server thread at the same time, and a reload while another
// thread reads the channel table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/text.hpp"
#include "settings/app_config.hpp"
#include "settings/config_reader.hpp"
#include "settings/config_writer.hpp"
#include "tests/support/test_support.hpp"

namespace {

constexpr int kRounds = 100;

// A file that a reader may find at any moment: whole, in the written layout.
bool IsCompleteFile(const std::string& bytes) {
    if (bytes.rfind("{\r\n  \"rotate_interval_seconds\": ", 0) != 0) return false;
    if (!bytes.ends_with("    }\r\n  ]\r\n}\r\n")) return false;
    auto cfg = std::make_unique<AppConfig>();
    ParseConfigText(bytes, *cfg);
    return cfg->channels.count == 8 && View(cfg->channels.entries[7].id) == "kessa";
}

// The main thread stores sizes and channels while the server thread switches the pictures.
void SaveFromTwoThreads(Settings& settings, int round) {
    std::thread server([&] {
        for (int i = 0; i < kRounds; ++i) SaveShowImages(settings, (i + round) % 2 == 0);
    });
    for (int i = 0; i < kRounds; ++i) {
        StoreWindowSize(settings, 300 + i, 400 + i + round);
        SaveLastChannel(settings, (i + round) % 8);
    }
    server.join();
}

TEST(SettingsConcurrency, SavesFromTwoThreadsAlwaysLeaveAValidFile) {
    TempDir dir;
    Settings settings;
    settings.file = dir / "config.json";
    LoadConfig(settings);

    std::atomic<bool> stop{false};
    std::atomic<int> checked{0};
    std::atomic<int> broken{0};
    // Reads until it has checked a file and the saves are over, however late it starts.
    std::thread reader([&] {
        while (!stop.load() || checked.load() == 0) {
            const std::string bytes = ReadFileBytes(settings.file);
            // Windows may refuse the open while the file is being replaced; that read is lost,
            // never half a file.
            if (bytes.empty()) continue;
            if (!IsCompleteFile(bytes) && broken.fetch_add(1) == 0) ADD_FAILURE() << bytes;
            checked.fetch_add(1);
            // A pause between reads, or on Windows every replace would wait for the reader.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    SaveFromTwoThreads(settings, 0);
    stop.store(true);
    reader.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_GT(checked.load(), 0);

    // Without a reader holding the file open (which may make a replace on Windows fail), the
    // last file written holds every change made in memory, whichever thread made it.
    SaveFromTwoThreads(settings, 1);
    const AppConfig last = ReadConfig(settings);
    EXPECT_EQ(ReadFileBytes(settings.file), FormatConfigText(last));
    EXPECT_EQ(last.window_width, 300 + kRounds - 1);
    EXPECT_EQ(last.window_height, 400 + kRounds);
    EXPECT_EQ(last.last_channel_index, kRounds % 8);
    EXPECT_EQ(last.show_images, kRounds % 2 == 0);
}

TEST(SettingsConcurrency, ReloadNeverShowsAHalfReplacedTable) {
    TempDir dir;
    Settings settings;
    settings.file = dir / "config.json";
    const std::string twoChannels =
        "{\"channels\": [{\"id\": \"x\", \"name\": \"X\", \"endpoint\": \"http://127.0.0.1/x\"},"
        " {\"id\": \"y\", \"name\": \"Y\", \"endpoint\": \"http://127.0.0.1/y\"}]}";
    const std::string defaults = FormatConfigText([] {
        AppConfig cfg{};
        ResetConfigDefaults(cfg);
        return cfg;
    }());
    ASSERT_TRUE(WriteFileBytes(settings.file, defaults));
    LoadConfig(settings);

    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::thread server([&] {
        while (!stop.load()) {
            const AppConfig cfg = ReadConfig(settings);
            const std::string first(View(cfg.channels.entries[0].id));
            const std::string last(View(cfg.channels.entries[cfg.channels.count - 1].id));
            const bool whole = (cfg.channels.count == 2 && first == "x" && last == "y") ||
                               (cfg.channels.count == 8 && first == "ostrel" && last == "kessa");
            if (!whole) mixed.fetch_add(1);
            SaveShowImages(settings, true);
        }
    });
    for (int i = 0; i < kRounds / 3; ++i) {
        {
            // Keep the test's own file change apart from the server thread's saves.
            std::lock_guard<std::mutex> guard(settings.saveLock);
            WriteFileBytes(settings.file, i % 2 == 0 ? twoChannels : defaults);
        }
        LoadConfig(settings);
    }
    stop.store(true);
    server.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
