// The files for streaming software against a reader that polls them, and the title history
// written by one thread while the server thread formats it.
#include "app/stream_outputs.hpp"
#include "tests/support/test_support.hpp"
#include "web/title_history.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

namespace {

TEST(StreamOutputsRace, PollingReaderSeesWholeTitlesOnly) {
    TempDir dir;
    const std::filesystem::path file = dir / "np.txt";
    // Texts of very different lengths (the long ones beyond any stream buffer): a file caught
    // emptied or half written would show up as a text that was never published.
    const auto text = [](int i) { return std::string(i % 2 == 0 ? 200000 : 3, static_cast<char>('a' + i % 26)); };
    std::set<std::string> published;
    for (int i = 0; i < 60; ++i) published.insert(text(i));

    StreamOutputs outputs(file, {});
    outputs.PublishTitle(text(0));
    ASSERT_TRUE(outputs.WaitIdle(5000));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::string torn;
    std::thread reader([&] {
        // At least one read, however late the thread starts.
        for (bool first = true; first || !done.load(); first = false) {
            const std::string seen = ReadFileBytes(file);
            ++reads;
            if (published.count(seen) == 0 && torn.empty()) torn = seen.substr(0, 40);
        }
    });
    for (int i = 0; i < 60; ++i) {
        outputs.PublishTitle(text(i));
        if (i % 4 == 0) outputs.WaitIdle(5000);
    }
    EXPECT_TRUE(outputs.WaitIdle(5000));
    done.store(true);
    reader.join();
    EXPECT_TRUE(torn.empty()) << "a partial file was read: " << torn;
    EXPECT_GT(reads.load(), 0);
    // The latest request wins. (On Windows a replace can lose against the reader's open handle;
    // the next change writes again, so one more change after the reader has gone lands.)
    outputs.PublishTitle("final");
    EXPECT_TRUE(outputs.WaitIdle(5000));
    EXPECT_EQ(ReadFileBytes(file), "final");
    outputs.Stop(1500);
    outputs.PublishTitle("after the stop");
    EXPECT_EQ(ReadFileBytes(file), "final");
}

TEST(TitleHistoryRace, ServerFormatsWhileTheMainThreadAdds) {
    TitleHistory history;
    std::atomic<bool> done{false};
    std::thread server([&] {
        while (!done.load()) {
            const std::string body = FormatTitleHistoryJson(&history);
            ASSERT_TRUE(body.front() == '[' && body.back() == ']');
        }
    });
    for (int i = 0; i < 500; ++i) {
        AddToTitleHistory(history, {i, "id", "Song " + std::to_string(i), FormatUtcTime(i)});
    }
    done.store(true);
    server.join();
    std::lock_guard<std::mutex> hold(history.lock);
    EXPECT_EQ(history.entries.size(), kTitleHistoryLength);
    EXPECT_EQ(history.entries.front().title, "Song 499");
}

}  // namespace
