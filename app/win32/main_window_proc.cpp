// The main window procedure: a thin translation of the window messages into the portable
// handlers, plus the Win32 work of creating and placing the controls.
#include "app/geometry.hpp"
#include "app/process.hpp"
#include "app/win32/win32_window.hpp"
#include "app/window_handlers.hpp"
#include "platform/main_window.hpp"

#include <windows.h>

#include <atomic>

Win32Window gWin;
HBRUSH gBackgroundBrush = nullptr;
HBRUSH gListBrush = nullptr;
AppContext gApp;

namespace {

// Posts to the main window. Lives for the process: a late worker may still post through it.
// A repaint notice is posted only while none is queued: one repaint shows every change, and a
// flood of them (a client switching channels in a loop clears the pictures each time) must not
// fill the thread's message queue, where a later WM_CLOSE would find no room.
class WindowPoster : public MessageTarget {
public:
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> coversQueued{false};
    bool Post(unsigned message, std::uintptr_t wParam) override {
        const HWND hwnd = window.load();
        if (hwnd == nullptr) return false;
        if (message == MSG_COVERS_CHANGED && coversQueued.exchange(true)) return true;
        const bool posted = PostMessageW(hwnd, message, static_cast<WPARAM>(wParam), 0) != 0;
        if (!posted && message == MSG_COVERS_CHANGED) coversQueued.store(false);
        return posted;
    }
};
WindowPoster& gPoster = *new WindowPoster;

void SetListItemHeights() {
    SendMessageW(gWin.channelList, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), Px(32));
    SendMessageW(gWin.channelList, CB_SETITEMHEIGHT, 0, Px(28));
}

void CreateChannelList(HWND hwnd) {
    RECT client{};
    GetClientRect(hwnd, &client);
    const Rect r = ChannelListRect(client.right - client.left, kListCreateHeight, gWin.dpi);
    gWin.channelList = CreateWindowExW(
        0, L"COMBOBOX", L"",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS,
        r.left, r.top, r.Width(), r.Height(), hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kChannelListId)),
        GetModuleHandleW(nullptr), nullptr);
    SetListItemHeights();
    const AppConfig config = ReadConfig(gSettings);
    for (int i = 0; i < config.channels.count && i < MAX_CHANNELS; ++i) {
        SendMessageW(gWin.channelList, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(Wide(config.channels.entries[i].name)));
    }
}

void Layout(int cx, int cy) {
    // The list keeps the height it was created with: that height is also the room of the
    // dropped list, and the selection field's height comes from the item height alone.
    if (gWin.channelList) {
        const Rect r = ChannelListRect(cx, kListCreateHeight, gWin.dpi);
        MoveWindow(gWin.channelList, r.left, r.top, r.Width(), r.Height(), TRUE);
    }
    if (gWin.pictureButton) {
        const Rect r = PictureButtonRect(cx, cy, gWin.dpi);
        MoveWindow(gWin.pictureButton, r.left, r.top, r.Width(), r.Height(), TRUE);
    }
    InvalidateRect(gWin.main, nullptr, FALSE);
}

}  // namespace

void Win32View::SelectListRow(int index) { SendMessageW(gWin.channelList, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void Win32View::CreatePictureButton(bool picturesShown) {
    RECT client{};
    GetClientRect(gWin.main, &client);
    const int width = client.right - client.left;
    gWin.pictureButton = CreateWindowExW(
        0, L"BUTTON", picturesShown ? L"Hide Art" : L"Show Art", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW,
        (width - Px(100)) / 2, Px(kButtonCreateTop), Px(100), Px(24), gWin.main,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPictureButtonId)), GetModuleHandleW(nullptr), nullptr);
    CreateFonts();
    SendMessageW(gWin.channelList, WM_SETFONT, reinterpret_cast<WPARAM>(gWin.listFont), TRUE);
}

void Win32View::AttachMessageTarget() {
    gPoster.window.store(gWin.main);
    SetMainWindowTarget(&gPoster);
}

void Win32View::SetTimer(unsigned id, unsigned periodMs) { ::SetTimer(gWin.main, id, periodMs, nullptr); }
void Win32View::KillTimer(unsigned id) { ::KillTimer(gWin.main, id); }
void Win32View::InvalidateClient() {
    InvalidateRect(gWin.main, nullptr, FALSE);
    // Every change of the title or the channel repaints: the icon's texts follow it here.
    TrayRefresh();
}
void Win32View::InvalidateButton() { InvalidateRect(gWin.pictureButton, nullptr, TRUE); }
void Win32View::DecodeCurrentCover() { ::DecodeCurrentCover(); }
void Win32View::DestroyDecodedCover() { ::DestroyDecodedCover(); }

void Win32View::DeleteFonts() {
    for (HFONT* font : {&gWin.listFont, &gWin.titleFont, &gWin.captionFont, &gWin.smallFont, &gWin.arrowFont}) {
        if (*font) DeleteObject(*font);
        *font = nullptr;
    }
}

// The size is stored in 96-DPI units: the same apparent size on a screen of any scale.
bool Win32View::ReadWindowSize(int& width, int& height) {
    if (!ReadWindowPixels(width, height)) return false;
    width = ScaleFromDpi(width, gWin.dpi);
    height = ScaleFromDpi(height, gWin.dpi);
    return true;
}

bool Win32View::ReadWindowPixels(int& width, int& height) {
    const HWND hwnd = gWin.main;
    if (hwnd == nullptr || !IsWindow(hwnd)) return false;
    if (IsIconic(hwnd) || IsZoomed(hwnd)) {
        WINDOWPLACEMENT placement{};
        placement.length = sizeof placement;
        if (!GetWindowPlacement(hwnd, &placement)) return false;
        width = placement.rcNormalPosition.right - placement.rcNormalPosition.left;
        height = placement.rcNormalPosition.bottom - placement.rcNormalPosition.top;
        return true;
    }
    RECT r{};
    if (!GetWindowRect(hwnd, &r)) return false;
    width = r.right - r.left;
    height = r.bottom - r.top;
    return true;
}

void Win32View::PostQuit(int exitCode) { PostQuitMessage(exitCode); }

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        gWin.main = hwnd;
        gWin.dpi = WindowDpi(hwnd);
        CreateChannelList(hwnd);
        OnCreate(gApp);
        ApplyStartWithWindows();
        TrayAdd(hwnd);
        return 0;
    case WM_DESTROY:
        TrayRemove();
        OnDestroy(gApp);
        return 0;
    case WM_ENDSESSION:
        // Windows ends the process after this answer, without a WM_DESTROY.
        if (wParam) TrayRemove();
        return 0;
    case WM_SIZE:
        Layout(LOWORD(lParam), HIWORD(lParam));
        if (wParam == SIZE_MINIMIZED) TrayMinimized();
        return 0;
    case WM_DPICHANGED: {
        // Moved to a screen of another scale: the suggested rectangle keeps the apparent size,
        // and the fonts, the list's rows and the layout are made anew for the new DPI.
        gWin.dpi = HIWORD(wParam) > 0 ? HIWORD(wParam) : kBaseDpi;
        gApp.view->DeleteFonts();
        CreateFonts();
        SendMessageW(gWin.channelList, WM_SETFONT, reinterpret_cast<WPARAM>(gWin.listFont), FALSE);
        SetListItemHeights();
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        RECT client{};
        GetClientRect(hwnd, &client);
        Layout(client.right - client.left, client.bottom - client.top);
        InvalidateRect(gWin.pictureButton, nullptr, TRUE);
        InvalidateRect(gWin.channelList, nullptr, TRUE);
        return 0;
    }
    case MSG_TRAY:
        TrayEvent(wParam, lParam);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        const HDC hdc = BeginPaint(hwnd, &ps);
        if (hdc) PaintWindow(hwnd, hdc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        const Size min = MinTrackSize(gApp.state ? gApp.state->picturesShown : true, WindowDpi(hwnd));
        info->ptMinTrackSize.x = min.width;
        info->ptMinTrackSize.y = min.height;
        return 0;
    }
    case WM_MEASUREITEM: {
        auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        if (item->CtlID != kChannelListId) return 0;
        item->itemHeight = static_cast<UINT>(item->itemID == static_cast<UINT>(-1) ? Px(32) : Px(28));
        return 1;
    }
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID == kPictureButtonId) {
            DrawPictureButton(*item);
            return 1;
        }
        if (item->CtlID == kChannelListId) {
            DrawChannelListItem(*item);
            return 1;
        }
        return 0;
    }
    case WM_COMMAND:
        // Every press counts, whatever the notification code: an owner-drawn button reports the
        // second press of a double click as BN_DOUBLECLICKED instead of a second BN_CLICKED, so
        // two quick presses must toggle on both codes to toggle twice.
        if (LOWORD(wParam) == kPictureButtonId && (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == BN_DOUBLECLICKED)) {
            OnTogglePictures(gApp);
        } else if (LOWORD(wParam) == kChannelListId && HIWORD(wParam) == CBN_SELCHANGE) {
            const auto selection = SendMessageW(gWin.channelList, CB_GETCURSEL, 0, 0);
            OnChannelListSelection(gApp, static_cast<int>(selection));
        } else if (HIWORD(wParam) == 0 && lParam == 0) {
            TrayCommandChosen(LOWORD(wParam));
        }
        return 0;
    case WM_TIMER:
        OnTimer(gApp, static_cast<unsigned>(wParam));
        return 0;
    case WM_CTLCOLORLISTBOX: {
        const HDC hdc = reinterpret_cast<HDC>(wParam);
        SetBkColor(hdc, RGB(28, 32, 38));
        SetTextColor(hdc, RGB(240, 245, 252));
        return reinterpret_cast<LRESULT>(gListBrush);
    }
    case WM_CTLCOLORBTN:
        return reinterpret_cast<LRESULT>(gBackgroundBrush);
    case WM_EXITSIZEMOVE:
        SaveWindowSize(gApp);
        return 0;
    case MSG_COVERS_CHANGED:
        // Cleared before the repaint is asked for: a change after this point posts anew.
        gPoster.coversQueued.store(false);
        HandlePostedMessage(gApp, message, static_cast<std::uintptr_t>(wParam));
        return 0;
    case MSG_SELECT_CHANNEL:
    case MSG_SET_IMAGES:
        HandlePostedMessage(gApp, message, static_cast<std::uintptr_t>(wParam));
        return 0;
    default:
        if (TrayTaskbarCreated(message)) return 0;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
