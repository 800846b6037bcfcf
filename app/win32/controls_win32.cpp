// The owner-drawn controls: the pill-shaped picture button and the channel list's items.
#include "app/process.hpp"
#include "app/win32/win32_window.hpp"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

namespace {

struct ButtonColours {
    Gdiplus::Color fill, border;
    COLORREF text;
};

// "▲ Hide Art" / "▼ Show Art" centred; the arrow from the arrow font when the text's font lacks it.
void DrawButtonLabel(HDC hdc, const RECT& rc, bool shown) {
    constexpr UINT kFormat = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
    const wchar_t* label = shown ? L"\u25B2 Hide Art" : L"\u25BC Show Art";
    const HGDIOBJ old = gWin.smallFont ? SelectObject(hdc, gWin.smallFont) : nullptr;
    if (gWin.arrowFont == nullptr) {
        RECT text = rc;
        DrawTextW(hdc, label, -1, &text, kFormat | DT_CENTER);
    } else {
        SIZE rest{};
        GetTextExtentPoint32W(hdc, label + 1, lstrlenW(label + 1), &rest);
        SelectObject(hdc, gWin.arrowFont);
        SIZE arrow{};
        GetTextExtentPoint32W(hdc, label, 1, &arrow);
        const LONG left = rc.left + (rc.right - rc.left - arrow.cx - rest.cx) / 2;
        RECT part{left, rc.top, left + arrow.cx, rc.bottom};
        DrawTextW(hdc, label, 1, &part, kFormat | DT_LEFT);
        SelectObject(hdc, gWin.smallFont);
        part = {left + arrow.cx, rc.top, rc.right, rc.bottom};
        DrawTextW(hdc, label + 1, -1, &part, kFormat | DT_LEFT);
    }
    if (old) SelectObject(hdc, old);
}

}  // namespace

void DrawPictureButton(const DRAWITEMSTRUCT& item) {
    const HDC hdc = item.hDC;
    const RECT& rc = item.rcItem;
    if (gBackgroundBrush) {
        FillRect(hdc, &rc, gBackgroundBrush);
    } else {
        const HBRUSH fallback = CreateSolidBrush(RGB(18, 20, 24));
        FillRect(hdc, &rc, fallback);
        DeleteObject(fallback);
    }

    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const ButtonColours colours =
        pressed ? ButtonColours{Gdiplus::Color(255, 45, 52, 64), Gdiplus::Color(255, 88, 166, 255), RGB(240, 246, 252)}
                : ButtonColours{Gdiplus::Color(255, 37, 43, 52), Gdiplus::Color(255, 55, 62, 72), RGB(157, 167, 179)};
    {
        Gdiplus::Graphics graphics(hdc);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        const int w = rc.right - rc.left - 1;
        const int h = rc.bottom - rc.top - 1;
        Gdiplus::GraphicsPath path(Gdiplus::FillModeAlternate);
        path.AddArc(static_cast<int>(rc.left), static_cast<int>(rc.top), h, h, 90.0f, 180.0f);
        path.AddArc(static_cast<int>(rc.left) + w - h, static_cast<int>(rc.top), h, h, 270.0f, 180.0f);
        path.CloseFigure();
        Gdiplus::SolidBrush fill(colours.fill);
        graphics.FillPath(&fill, &path);
        Gdiplus::Pen pen(colours.border, static_cast<float>(gWin.dpi) / static_cast<float>(kBaseDpi));
        graphics.DrawPath(&pen, &path);
    }

    const bool shown = gApp.state == nullptr || gApp.state->picturesShown;
    SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, colours.text);
    DrawButtonLabel(hdc, rc, shown);
}

void DrawChannelListItem(const DRAWITEMSTRUCT& item) {
    if (static_cast<int>(item.itemID) < 0) return;
    const HDC hdc = item.hDC;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    const HBRUSH fill = CreateSolidBrush(selected ? RGB(45, 55, 70) : RGB(28, 32, 38));
    FillRect(hdc, &item.rcItem, fill);
    DeleteObject(fill);

    wchar_t text[128] = {};
    // CB_GETLBTEXT has no size argument: only a row that fits the buffer is fetched (names are
    // at most 127 units, but the list is another process's to change in principle).
    const auto length = SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0);
    if (length >= 0 && length < 128) {
        SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(text));
    }
    RECT r = item.rcItem;
    r.left += Px(8);
    SetBkMode(hdc, TRANSPARENT);
    const HGDIOBJ old = gWin.listFont ? SelectObject(hdc, gWin.listFont) : nullptr;
    SetTextColor(hdc, selected ? RGB(255, 255, 255) : RGB(240, 245, 252));
    DrawTextW(hdc, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
    if (old) SelectObject(hdc, old);
    if (item.itemState & ODS_FOCUS) DrawFocusRect(hdc, &item.rcItem);
}
