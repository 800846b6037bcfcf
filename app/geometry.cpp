#include "app/geometry.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

int ScaleToDpi(int v, int dpi) {
    if (dpi < 1) dpi = kBaseDpi;
    const std::int64_t product = std::int64_t{v} * dpi;
    const std::int64_t half = kBaseDpi / 2;
    return static_cast<int>(product >= 0 ? (product + half) / kBaseDpi : (product - half) / kBaseDpi);
}

int ScaleFromDpi(int v, int dpi) {
    if (dpi < 1) dpi = kBaseDpi;
    const std::int64_t product = std::int64_t{v} * kBaseDpi;
    const std::int64_t half = dpi / 2;
    return static_cast<int>(product >= 0 ? (product + half) / dpi : (product - half) / dpi);
}

Size InitialWindowSize(int savedWidth, int savedHeight, int screenWidth, int screenHeight, int dpi) {
    Size size{ScaleToDpi(savedWidth < 200 ? kDefaultWindowWidth : savedWidth, dpi),
              ScaleToDpi(savedHeight < 200 ? kDefaultWindowHeight : savedHeight, dpi)};
    if (size.width > screenWidth) size.width = screenWidth - ScaleToDpi(40, dpi);
    if (size.height > screenHeight) size.height = screenHeight - ScaleToDpi(40, dpi);
    return size;
}

Rect ChannelListRect(int cx, int height, int dpi) {
    const auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
    const int width = std::max(cx - s(40), s(120));
    return {s(20), s(14), s(20) + width, s(14) + s(height)};
}

Rect PictureButtonRect(int cx, int cy, int dpi) {
    const auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
    const int left = (cx - s(100)) / 2;
    const int top = cy < s(450) ? s(118) : s(132);
    return {left, top, left + s(100), top + s(24)};
}

Size MinTrackSize(bool picturesShown, int dpi) {
    return {ScaleToDpi(220, dpi), ScaleToDpi(picturesShown ? 240 : 190, dpi)};
}

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

PaintLayout ComputePaintLayout(int cx, int cy, bool picturesShown, int dpi) {
    const auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
    PaintLayout layout;
    const int titleBottom = cy < s(450) ? s(114) : s(128);
    layout.channelName = {s(20), s(54), cx - s(20), s(72)};
    layout.title = {s(20), s(76), cx - s(20), titleBottom};
    const int coverTop = titleBottom + s(36);
    const int coverBottom = cy < s(360) ? cy - s(14) : cy - s(34);
    layout.cover = {s(20), coverTop, cx - s(20), coverBottom};
    layout.coverPresent = picturesShown && cx - s(40) > s(20) && coverBottom - coverTop > s(20);
    layout.footerPresent = cy >= s(360);
    layout.footer = {s(20), cy - s(30), cx - s(20), cy - s(6)};
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

void FooterText(int cx, int port, char16_t* out, std::size_t outUnits, int dpi) {
    char text[kFooterUnits];
    if (cx < ScaleToDpi(340, dpi)) {
        std::snprintf(text, sizeof text, "Port: %d", port);
    } else {
        std::snprintf(text, sizeof text, "HTTP Web Server active: http://localhost:%d", port);
    }
    Utf8ToUtf16(text, out, outUnits);
}

std::u16string_view NoPictureText(bool searching) {
    return searching ? u"Searching image..." : u"No image available";
}
