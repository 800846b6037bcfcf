// The main window's state, the view interface its handlers drive, and what they work on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct Settings;
struct CoverSet;
struct WebSnapshot;
struct TitleHistory;
struct StationBoard;
class StreamOutputs;

constexpr std::size_t kTitleUnits = 512;  // 511 units of text and the terminating zero
constexpr std::u16string_view kLoadingTitle = u"Loading...";

constexpr unsigned TIMER_REFRESH = 1;
constexpr unsigned TIMER_ROTATE = 2;
constexpr unsigned kRefreshPeriodMs = 5000;

// Owned by the main thread; nothing else reads it.
struct WindowState {
    std::int32_t currentChannelIndex = 0;
    char16_t currentTitle[kTitleUnits] = u"Loading...";
    bool picturesShown = true;
    // The cover set's imageId from which the view's decoded cover was made; -1 for none.
    std::int32_t lastDecodedImageId = -1;
};

// Replaces the current title: at most 511 units (never half a surrogate pair), the rest zero.
void SetCurrentTitle(WindowState& state, std::u16string_view title);

// What the handlers ask of the window. The Win32 window translates each call into its API calls;
// the headless loop implements most of them as nothing; tests record them.
class WindowView {
public:
    virtual ~WindowView() = default;
    virtual void SelectListRow(int index) = 0;
    // Creation steps that depend on the pictures flag: the picture button, then the fonts.
    virtual void CreatePictureButton(bool picturesShown) = 0;
    // Makes this window the target of the messages the workers and the server post.
    virtual void AttachMessageTarget() = 0;
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual void KillTimer(unsigned id) = 0;
    virtual void InvalidateClient() = 0;       // whole client area, without erasing
    virtual void InvalidateButton() = 0;       // the picture button, with erasing
    virtual void DecodeCurrentCover() = 0;     // updates state.lastDecodedImageId itself
    virtual void DestroyDecodedCover() = 0;    // the held picture only; the id is the caller's
    virtual void DeleteFonts() = 0;
    // Outer size of the window's normal (restored) position; false when it cannot be read.
    virtual bool ReadWindowSize(int& width, int& height) = 0;
    virtual void PostQuit(int exitCode) = 0;
};

// The now-playing source: fills out (outUnits units, terminated) with the title on air on the
// channel and returns true, or returns false leaving out as it was. Blocks for its requests.
using NowPlayingFetch = std::function<bool(int channelIndex, char16_t* out, std::size_t outUnits)>;

// Everything the handlers work on. The process builds one from its process-wide instances;
// tests build their own.
struct AppContext {
    Settings* settings = nullptr;
    CoverSet* covers = nullptr;
    WebSnapshot* snapshot = nullptr;
    WindowState* state = nullptr;
    WindowView* view = nullptr;
    NowPlayingFetch fetch;
    // Optional: the titles seen, for the web API, and the files for streaming software.
    TitleHistory* history = nullptr;
    StreamOutputs* outputs = nullptr;
    // Optional: every channel's title on air; the refresh keeps the row of the channel on show.
    StationBoard* board = nullptr;
};

// Reads under the settings lock (the server thread may be saving at the same time).
int ChannelCount(const Settings& settings);
// The channel's name, or nothing when index is not a row of the table.
std::optional<std::u16string> ChannelName(const Settings& settings, int index);
int ConfiguredPort(const Settings& settings);
