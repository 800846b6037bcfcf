// The main window's geometry as pure functions of the client (or screen) size and the window's
// DPI. Every number is written once, at 96 DPI, and goes through ScaleToDpi.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

struct Size {
    int width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

constexpr int kBaseDpi = 96;
// A length of the 96-DPI layout at dpi: v * dpi / 96 rounded half away from zero (as MulDiv).
// A dpi below 1 counts as 96.
int ScaleToDpi(int v, int dpi);
// The other way: a length in pixels at dpi back to 96-DPI units.
int ScaleFromDpi(int v, int dpi);

constexpr int kDefaultWindowWidth = 500;
constexpr int kDefaultWindowHeight = 640;
constexpr int kListCreateHeight = 320;  // selection field and dropped list together
constexpr int kListLayoutHeight = 32;
constexpr int kButtonCreateTop = 132;

// Outer window size in pixels at start-up from the saved size (96-DPI units) and the primary
// screen's size (pixels).
Size InitialWindowSize(int savedWidth, int savedHeight, int screenWidth, int screenHeight, int dpi = kBaseDpi);
// The channel list at client width cx with the given control height (at 96 DPI).
Rect ChannelListRect(int cx, int height, int dpi = kBaseDpi);
// The picture button; its top depends on the client height cy.
Rect PictureButtonRect(int cx, int cy, int dpi = kBaseDpi);
// Smallest outer size the user may drag the window to.
Size MinTrackSize(bool picturesShown, int dpi = kBaseDpi);
// TIMER_ROTATE's period for the configured seconds (20 s below 1, bounded above).
unsigned RotatePeriodMs(std::int32_t rotateIntervalSeconds);
// The row shown at start: the saved one when it is a row of the table, else 0.
int InitialChannelIndex(std::int32_t lastChannelIndex, int channelCount);

// The painted bands of a client area cx x cy.
struct PaintLayout {
    Rect channelName;
    Rect title;
    bool coverPresent = false;  // pictures shown and the area wider and taller than 20
    Rect cover;
    bool footerPresent = false;
    Rect footer;
};
PaintLayout ComputePaintLayout(int cx, int cy, bool picturesShown, int dpi = kBaseDpi);

// Where a w x h picture goes in the cover area: scaled in single precision to the largest size
// that keeps its aspect ratio, cut toward zero, centred. False (out untouched) when w or h <= 0.
bool FitPicture(int w, int h, const Rect& cover, Rect& out);

// The footer line into out (outUnits units, terminated): short below a client width of 340.
void FooterText(int cx, int port, char16_t* out, std::size_t outUnits, int dpi = kBaseDpi);
constexpr std::size_t kFooterUnits = 128;

// The text in an empty cover area.
std::u16string_view NoPictureText(bool searching);
