#include "app/geometry.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

Size InitialWindowSize(int savedWidth, int savedHeight, int screenWidth, int screenHeight) {
    Size size{savedWidth < 200 ? kDefaultWindowWidth : savedWidth,
              savedHeight < 200 ? kDefaultWindowHeight : savedHeight};
    if (size.width > screenWidth) size.width = screenWidth - 40;
    if (size.height > screenHeight) size.height = screenHeight - 40;
    return size;
}

Rect ChannelListRect(int cx, int height) {
    const int width = std::max(cx - 40, 120);
    return {20, 14, 20 + width, 14 + height};
}

Rect PictureButtonRect(int cx, int cy) {
    const int left = (cx - 100) / 2;
    const int top = cy < 450 ? 118 : 132;
    return {left, top, left + 100, top + 24};
}

Size MinTrackSize(bool picturesShown) { return {220, picturesShown ? 240 : 190}; }

unsigned RotatePeriodMs(std::int32_t rotateIntervalSeconds) {
    if (rotateIntervalSeconds < 1) return 20000;
    // A timer period must stay a positive 32-bit value; a huge setting rotates as rarely as the
    // system allows instead of wrapping around to a tiny or negative period.
    constexpr std::int64_t kMaxPeriodMs = 0x7FFFFFFF;
    return static_cast<unsigned>(std::min<std::int64_t>(std::int64_t{rotateIntervalSeconds} * 1000, kMaxPeriodMs));
}

int InitialChannelIndex(std::int32_t lastChannelIndex, int channelCount) {
    return (lastChannelIndex >= 0 && lastChannelIndex < channelCount) ? lastChannelIndex : 0;
}

PaintLayout ComputePaintLayout(int cx, int cy, bool picturesShown) {
    PaintLayout layout;
    const int titleBottom = cy < 450 ? 114 : 128;
    layout.channelName = {20, 54, cx - 20, 72};
    layout.title = {20, 76, cx - 20, titleBottom};
    const int coverTop = titleBottom + 36;
    const int coverBottom = cy < 360 ? cy - 14 : cy - 34;
    layout.cover = {20, coverTop, cx - 20, coverBottom};
    layout.coverPresent = picturesShown && cx - 40 > 20 && coverBottom - coverTop > 20;
    layout.footerPresent = cy >= 360;
    layout.footer = {20, cy - 30, cx - 20, cy - 6};
    return layout;
}

bool FitPicture(int w, int h, const Rect& cover, Rect& out) {
    if (w <= 0 || h <= 0) return false;
    const int aw = cover.Width();
    const int ah = cover.Height();
    const float s = std::min(static_cast<float>(aw) / static_cast<float>(w),
                             static_cast<float>(ah) / static_cast<float>(h));
    const int dw = static_cast<int>(static_cast<float>(w) * s);
    const int dh = static_cast<int>(static_cast<float>(h) * s);
    const int x = cover.left + (aw - dw) / 2;
    const int y = cover.top + (ah - dh) / 2;
    out = {x, y, x + dw, y + dh};
    return true;
}

void FooterText(int cx, int port, char16_t* out, std::size_t outUnits) {
    char text[kFooterUnits];
    if (cx < 340) {
        std::snprintf(text, sizeof text, "Port: %d", port);
    } else {
        std::snprintf(text, sizeof text, "HTTP Web Server active: http://localhost:%d", port);
    }
    Utf8ToUtf16(text, out, outUnits);
}

std::u16string_view NoPictureText(bool searching) {
    return searching ? u"Searching image..." : u"No image available";
}
