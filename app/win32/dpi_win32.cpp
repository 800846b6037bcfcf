// The window's DPI, and the fonts made for it: every height is the 96-DPI one scaled.
#include "app/geometry.hpp"
#include "app/win32/win32_window.hpp"

#include <windows.h>

#include <initializer_list>

namespace {

HFONT MakeFont(int height, int weight, const wchar_t* face) {
    return CreateFontW(ScaleToDpi(height, gWin.dpi), 0, 0, 0, weight, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS | DEFAULT_PITCH, face);
}

// Whether the font draws both of the picture button's arrows with glyphs of its own.
bool HasArrows(HFONT font) {
    const HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return false;
    const HGDIOBJ old = SelectObject(dc, font);
    WORD glyphs[2] = {};
    const bool found = GetGlyphIndicesW(dc, L"\u25B2\u25BC", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS) == 2 &&
                       glyphs[0] != 0xFFFF && glyphs[1] != 0xFFFF;
    SelectObject(dc, old);
    DeleteDC(dc);
    return found;
}

}  // namespace

int WindowDpi(HWND hwnd) {
    // GetDpiForWindow exists from Windows 10 1607 on; before it the system DPI applies.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr && hwnd != nullptr) {
        const UINT dpi = getDpiForWindow(hwnd);
        if (dpi > 0) return static_cast<int>(dpi);
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kBaseDpi;
}

void CreateFonts() {
    gWin.listFont = MakeFont(17, 700, L"Tahoma");
    gWin.titleFont = MakeFont(19, 700, L"Tahoma");
    gWin.captionFont = MakeFont(14, 600, L"Tahoma");
    gWin.smallFont = MakeFont(13, 400, L"Tahoma");
    // The button's arrows come from the first font that has them when its own does not.
    gWin.arrowFont = nullptr;
    if (gWin.smallFont == nullptr || HasArrows(gWin.smallFont)) return;
    for (const wchar_t* face : {L"Segoe UI Symbol", L"Arial Unicode MS", L"Lucida Sans Unicode", L"DejaVu Sans"}) {
        const HFONT font = MakeFont(13, 400, face);
        if (font != nullptr && HasArrows(font)) {
            gWin.arrowFont = font;
            return;
        }
        if (font != nullptr) DeleteObject(font);
    }
}
