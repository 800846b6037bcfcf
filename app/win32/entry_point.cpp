// The Windows program's entry point: start-up in a fixed order, the message loop, and the
// teardown in the reverse order.
#include "app/geometry.hpp"
#include "app/process.hpp"
#include "app/win32/win32_window.hpp"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

namespace {

Win32View& gView = *new Win32View;

void DeleteBrushes() {
    if (gBackgroundBrush) DeleteObject(gBackgroundBrush);
    if (gListBrush) DeleteObject(gListBrush);
    gBackgroundBrush = nullptr;
    gListBrush = nullptr;
}

// Shutdown from the web server on (the window is gone by now), then the end of the process. A
// cover search still running after its wait may be inside WinINet: the process then ends with
// ExitProcess, which stops that thread before any library is unloaded, rather than returning
// into the runtime's clean-ups at exit, which would run beside it.
int TearDown(ULONG_PTR gdiplusToken, int exitCode) {
    const bool searchesEnded = StopServices();
    Gdiplus::GdiplusShutdown(gdiplusToken);
    CoUninitialize();
    if (!searchesEnded) ExitProcess(static_cast<UINT>(exitCode));
    return exitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    CoInitialize(nullptr);
    Gdiplus::GdiplusStartupInput gdiplusInput;
    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);

    // Settings, shared session, cover set, web server (its failure leaves the window working).
    StartServices();
    gApp = MakeProcessContext(gView);

    gBackgroundBrush = CreateSolidBrush(RGB(18, 20, 24));
    gListBrush = CreateSolidBrush(RGB(28, 32, 38));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = gBackgroundBrush;
    wc.lpszClassName = kWindowClassName;
    RegisterClassExW(&wc);

    const AppConfig config = ReadConfig(gSettings);
    const Size size = InitialWindowSize(config.window_width, config.window_height, GetSystemMetrics(SM_CXSCREEN),
                                        GetSystemMetrics(SM_CYSCREEN));
    const HWND hwnd = CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                      CW_USEDEFAULT, size.width, size.height, nullptr, nullptr, instance, nullptr);
    if (!hwnd) {
        DeleteBrushes();
        return TearDown(gdiplusToken, 1);
    }
    SetWindowPos(hwnd, nullptr, 0, 0, size.width, size.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(hwnd, showCommand);
    UpdateWindow(hwnd);

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    DeleteBrushes();
    return TearDown(gdiplusToken, static_cast<int>(msg.wParam));
}
