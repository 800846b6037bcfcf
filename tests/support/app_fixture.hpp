// A window's handlers under test: a recording view, a scripted now-playing source, and settings,
// cover set and snapshot of the test's own.
#pragma once

#include "app/window_state.hpp"
#include "common/text.hpp"
#include "covers/cover_set.hpp"
#include "settings/app_config.hpp"
#include "tests/support/test_support.hpp"
#include "web/web_snapshot.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

class RecordingView : public WindowView {
public:
    std::vector<std::string> calls;
    bool sizeReadable = true;
    int width = 640, height = 480;

    void SelectListRow(int index) override { Add("SelectListRow " + std::to_string(index)); }
    void CreatePictureButton(bool shown) override { Add(shown ? "CreatePictureButton on" : "CreatePictureButton off"); }
    void AttachMessageTarget() override { Add("AttachMessageTarget"); }
    void SetTimer(unsigned id, unsigned ms) override { Add("SetTimer " + std::to_string(id) + " " + std::to_string(ms)); }
    void KillTimer(unsigned id) override { Add("KillTimer " + std::to_string(id)); }
    void InvalidateClient() override { Add("InvalidateClient"); }
    void InvalidateButton() override { Add("InvalidateButton"); }
    void DecodeCurrentCover() override { Add("DecodeCurrentCover"); }
    void DestroyDecodedCover() override { Add("DestroyDecodedCover"); }
    void DeleteFonts() override { Add("DeleteFonts"); }
    bool ReadWindowSize(int& w, int& h) override {
        Add("ReadWindowSize");
        if (!sizeReadable) return false;
        w = width;
        h = height;
        return true;
    }
    void PostQuit(int code) override { Add("PostQuit " + std::to_string(code)); }
    void Add(std::string call) { calls.push_back(std::move(call)); }
};

// Answers every fetch with `title` (or fails), recording the channel it was asked for.
struct FakeStation {
    bool answers = false;
    std::u16string title;
    int calls = 0;
    int lastChannel = -1;

    NowPlayingFetch Fetch() {
        return [this](int channel, char16_t* out, std::size_t units) {
            ++calls;
            lastChannel = channel;
            if (!answers) return false;
            CopyText(out, units, title);
            return true;
        };
    }
    void Answer(std::u16string_view text) {
        answers = true;
        title = text;
    }
};

class AppTest : public ::testing::Test {
protected:
    TempDir dir;
    Settings settings;
    CoverSet covers;
    WebSnapshot snapshot;
    WindowState state;
    RecordingView view;
    FakeStation station;
    AppContext app;

    void SetUp() override {
        settings.file = dir / "config.json";
        AppConfig& cfg = settings.config;
        cfg = AppConfig{};
        cfg.rotate_interval_seconds = 20;
        cfg.port = 7555;
        cfg.show_images = true;
        cfg.window_width = 500;
        cfg.window_height = 640;
        const char* ids[] = {"one", "two", "three"};
        const char16_t* names[] = {u"One", u"Two", u"Three"};
        for (int i = 0; i < 3; ++i) {
            CopyText(cfg.channels.entries[i].id, ids[i]);
            CopyText(cfg.channels.entries[i].name, names[i]);
            CopyText(cfg.channels.entries[i].endpoint, "http://127.0.0.1:1/np");
        }
        cfg.channels.count = 3;

        InitCoverSet(covers);
        // Searches never leave the machine: a refused loopback port ends any worker at once.
        CopyText(covers.imageSearchUrl, "http://127.0.0.1:1/images/async");
        // Pictures off in the set keeps a started search from running a worker at all.
        SetImagesEnabled(covers, false);

        app.settings = &settings;
        app.covers = &covers;
        app.snapshot = &snapshot;
        app.state = &state;
        app.view = &view;
        app.fetch = station.Fetch();
    }

    // Every worker, a superseded one too, is gone before the set it works on: on a loaded machine
    // one may still be on its way out of a refused connection.
    void TearDown() override { EXPECT_TRUE(StopCoverSearches(covers, 10000)); }

    bool ConfigWritten() const { return std::filesystem::exists(settings.file); }
    std::u16string Title() const { return std::u16string(View(state.currentTitle)); }
    std::u16string Query() {
        std::lock_guard<std::mutex> hold(covers.lock);
        return std::u16string(View(covers.query));
    }
    struct Snap {
        int index;
        std::string name, track;
    };
    Snap Snapshot() {
        std::lock_guard<std::mutex> hold(snapshot.lock);
        return {snapshot.channelIndex, snapshot.channelName, snapshot.track};
    }
};
