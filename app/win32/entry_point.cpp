// The Windows program's entry point: start-up in a fixed order, the message loop, and the
// teardown in the reverse order.
#include "app/geometry.hpp"
#include "app/process.hpp"
#include "app/win32/resource_ids.h"
#include "app/win32/win32_window.hpp"

#include <cstdio>

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
    // The large icon for Alt+Tab and the taskbar, the small one for the caption; each picked
    // from the icon's sizes for this display (shared icons: never destroyed by us).
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TOVREL_RADIO), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TOVREL_RADIO), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_SHARED));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = gBackgroundBrush;
    wc.lpszClassName = kWindowClassName;
    RegisterClassExW(&wc);

    // The saved size is in 96-DPI units: the window is created first, then sized for the DPI of
    // the screen it came up on.
    const AppConfig config = ReadConfig(gSettings);
    const Size created = InitialWindowSize(config.window_width, config.window_height, GetSystemMetrics(SM_CXSCREEN),
                                           GetSystemMetrics(SM_CYSCREEN), WindowDpi(nullptr));
    const HWND hwnd = CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                      CW_USEDEFAULT, created.width, created.height, nullptr, nullptr, instance,
                                      nullptr);
    if (!hwnd) {
        // Nothing to show it in: the reason goes where a console or a log that started us reads it.
        std::fprintf(stderr, "tovrel-radio: the window cannot be created (error %lu)\n", GetLastError());
        std::fflush(stderr);
        DeleteBrushes();
        return TearDown(gdiplusToken, 1);
    }
    const Size size = InitialWindowSize(config.window_width, config.window_height, GetSystemMetrics(SM_CXSCREEN),
                                        GetSystemMetrics(SM_CYSCREEN), WindowDpi(hwnd));
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
