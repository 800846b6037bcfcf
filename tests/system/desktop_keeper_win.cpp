// Test helper run under Wine for the whole of a Windows test run, beside the persistent
// wineserver: a window that is never shown, so that the desktop always has a program of its own.
// Wine closes a desktop (its explorer ends) about a second after the last program on it ended,
// and a program that starts in that moment can find no desktop and fail to create its window.
// The tests start one program right after another, so without it a run now and then lost one.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = L"TovrelDesktopKeeper";
    if (!RegisterClassW(&wc)) return 1;
    if (!CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr)) {
        return 1;
    }
    // Ended with the wineserver at the end of the run.
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}
