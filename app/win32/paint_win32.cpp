// Painting the client area off-screen and decoding the current cover picture with GDI+.
#include "app/cover_pick.hpp"
#include "app/geometry.hpp"
#include "app/process.hpp"
#include "app/win32/win32_window.hpp"
#include "common/text.hpp"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <string>

namespace {

void FillSolid(HDC hdc, const Rect& r, COLORREF colour) {
    const RECT rect{r.left, r.top, r.right, r.bottom};
    const HBRUSH brush = CreateSolidBrush(colour);
    FillRect(hdc, &rect, brush);
    DeleteObject(brush);
}

// DT_NOPREFIX everywhere: a title such as "Simon & Garfunkel" must not lose its ampersand to
// an underlined mnemonic.
void DrawTextIn(HDC hdc, std::u16string_view text, const Rect& r, HFONT font, COLORREF colour, UINT format) {
    RECT rect{r.left, r.top, r.right, r.bottom};
    const HGDIOBJ old = font ? SelectObject(hdc, font) : nullptr;
    SetTextColor(hdc, colour);
    DrawTextW(hdc, reinterpret_cast<const wchar_t*>(text.data()), static_cast<int>(text.size()), &rect,
              format | DT_NOPREFIX);
    if (old) SelectObject(hdc, old);
}

void DrawCover(HDC hdc, const Rect& area) {
    Gdiplus::Graphics graphics(hdc);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    const int w = static_cast<int>(gWin.decodedCover->GetWidth());
    const int h = static_cast<int>(gWin.decodedCover->GetHeight());
    Rect fit;
    if (FitPicture(w, h, area, fit)) {
        graphics.DrawImage(gWin.decodedCover, fit.left, fit.top, fit.Width(), fit.Height());
    }
}

}  // namespace

void DestroyDecodedCover() {
    delete gWin.decodedCover;
    gWin.decodedCover = nullptr;
}

void DecodeCurrentCover() {
    WindowState& state = *gApp.state;
    CoverToDecode pick;
    switch (PickCoverToDecode(*gApp.covers, state.lastDecodedImageId, pick)) {
    case CoverPick::Drop:
        DestroyDecodedCover();
        state.lastDecodedImageId = -1;
        return;
    case CoverPick::Keep:
        return;
    case CoverPick::Decode:
        break;
    }
    // The bytes are shared with the cover set and immutable, so they are copied here without the
    // cover lock; the set may free its slot meanwhile without harm.
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, pick.size);
    if (!block) return;
    void* dst = GlobalLock(block);
    if (!dst) {
        GlobalFree(block);
        return;
    }
    std::memcpy(dst, pick.bytes->data(), pick.size);
    GlobalUnlock(block);

    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
        GlobalFree(block);
        return;
    }
    // The bitmap holds its own reference to the stream for as long as it needs the bytes.
    // GDI+ objects come from GdipAlloc through their own operator new, which gives null on failure.
    auto* bitmap = new Gdiplus::Bitmap(stream);
    stream->Release();
    if (!bitmap) return;
    if (bitmap->GetLastStatus() != Gdiplus::Ok) {
        delete bitmap;  // not a picture GDI+ decodes: the last good one stays
        return;
    }
    DestroyDecodedCover();
    gWin.decodedCover = bitmap;
    state.lastDecodedImageId = pick.imageId;
}

void PaintWindow(HWND hwnd, HDC hdc) {
    RECT client{};
    GetClientRect(hwnd, &client);
    const int cx = client.right - client.left;
    const int cy = client.bottom - client.top;
    if (cx <= 0 || cy <= 0) return;

    const HDC mem = CreateCompatibleDC(hdc);
    const HBITMAP bitmap = CreateCompatibleBitmap(hdc, cx, cy);
    if (!mem || !bitmap) {
        if (bitmap) DeleteObject(bitmap);
        if (mem) DeleteDC(mem);
        return;
    }
    const HGDIOBJ oldBitmap = SelectObject(mem, bitmap);

    FillRect(mem, &client, gBackgroundBrush);
    SetBkMode(mem, TRANSPARENT);

    const WindowState& state = *gApp.state;
    const PaintLayout layout = ComputePaintLayout(cx, cy, state.picturesShown, gWin.dpi);
    const std::u16string name = ChannelName(gSettings, state.currentChannelIndex).value_or(std::u16string());
    DrawTextIn(mem, name, layout.channelName, gWin.captionFont, RGB(140, 150, 165), DT_SINGLELINE | DT_LEFT | DT_END_ELLIPSIS);
    DrawTextIn(mem, View(state.currentTitle), layout.title, gWin.titleFont, RGB(240, 245, 252),
               DT_WORDBREAK | DT_END_ELLIPSIS);

    if (state.picturesShown && layout.coverPresent) {
        FillSolid(mem, layout.cover, RGB(24, 28, 35));
        DecodeCurrentCover();
        if (gWin.decodedCover) {
            DrawCover(mem, layout.cover);
        } else {
            const bool searching = gApp.covers->searching.load() == 1;
            DrawTextIn(mem, NoPictureText(searching), layout.cover, gWin.captionFont, RGB(80, 90, 105),
                       DT_SINGLELINE | DT_CENTER | DT_VCENTER);
        }
    }

    if (layout.footerPresent) {
        char16_t footer[kFooterUnits] = {};
        FooterText(cx, ConfiguredPort(gSettings), footer, kFooterUnits, gWin.dpi);
        DrawTextIn(mem, View(footer), layout.footer, gWin.smallFont, RGB(100, 115, 130), DT_SINGLELINE | DT_CENTER | DT_TOP);
    }

    BitBlt(hdc, 0, 0, cx, cy, mem, 0, 0, SRCCOPY);
    SelectObject(mem, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(mem);
}
