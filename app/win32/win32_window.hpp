// The Win32 half of the main window: handles, fonts, brushes and the decoded cover, and the view
// through which the portable handlers drive them. Main thread only.
#pragma once

#include "app/geometry.hpp"
#include "app/window_state.hpp"

#include <windows.h>

namespace Gdiplus {
class Bitmap;
}

constexpr int kChannelListId = 101;
constexpr int kPictureButtonId = 102;
constexpr UINT MSG_TRAY = WM_APP + 1;  // the notification-area icon's events
constexpr wchar_t kWindowClassName[] = L"TovrelRadioMonitorWnd";
constexpr wchar_t kWindowTitle[] = L"Radio Tovrel Monitor & Server";

struct Win32Window {
    HWND main = nullptr;
    HWND channelList = nullptr;
    HWND pictureButton = nullptr;
    HFONT listFont = nullptr;
    HFONT titleFont = nullptr;
    HFONT captionFont = nullptr;
    HFONT smallFont = nullptr;
    HFONT arrowFont = nullptr;  // the button's arrows when smallFont lacks them, else null
    int dpi = 96;               // the window's; every length of the layout is scaled by it
    Gdiplus::Bitmap* decodedCover = nullptr;
};

extern Win32Window gWin;
extern HBRUSH gBackgroundBrush;  // RGB(18,20,24), also the class background
extern HBRUSH gListBrush;        // RGB(28,32,38)
// The handlers' context over the process-wide instances and the Win32 view.
extern AppContext gApp;

class Win32View : public WindowView {
public:
    void SelectListRow(int index) override;
    void CreatePictureButton(bool picturesShown) override;
    void AttachMessageTarget() override;
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void InvalidateClient() override;
    void InvalidateButton() override;
    void DecodeCurrentCover() override;
    void DestroyDecodedCover() override;
    void DeleteFonts() override;
    bool ReadWindowSize(int& width, int& height) override;  // in 96-DPI units
    static bool ReadWindowPixels(int& width, int& height);
    void PostQuit(int exitCode) override;
};

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Painting and picture decoding (paint_win32.cpp).
void PaintWindow(HWND hwnd, HDC hdc);
void DecodeCurrentCover();
void DestroyDecodedCover();

// The owner-drawn controls (controls_win32.cpp).
void DrawPictureButton(const DRAWITEMSTRUCT& item);
void DrawChannelListItem(const DRAWITEMSTRUCT& item);

// The window's DPI (the system's before Windows 10), and the fonts at gWin.dpi (dpi_win32.cpp).
int WindowDpi(HWND hwnd);
void CreateFonts();
// A length of the 96-DPI layout at the window's DPI.
inline int Px(int v) { return ScaleToDpi(v, gWin.dpi); }

// The notification-area icon and starting with Windows (tray_win32.cpp).
void TrayAdd(HWND hwnd);
void TrayRemove();
// True when message is the shell's TaskbarCreated (the icon is then added again).
bool TrayTaskbarCreated(UINT message);
// The tooltip (and, when asked for, a notification) after the title or the channel changed.
void TrayRefresh();
void TrayEvent(WPARAM wParam, LPARAM lParam);
// A menu choice; false for an id that is not the menu's.
bool TrayCommandChosen(unsigned id);
void TrayMinimized();
// With start_with_windows in config.json: the Run value made to agree with it.
void ApplyStartWithWindows();

// Wide text for the Win32 calls (wchar_t is 16-bit on Windows).
inline const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
