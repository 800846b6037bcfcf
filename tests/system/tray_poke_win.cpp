// Test helper run under Wine beside the program: plays the shell's and the user's part toward the
// running window, which a test on the Linux side cannot reach.
//   tray_poke taskbar-created     broadcast the shell's TaskbarCreated
//   tray_poke event <code>        the tray icon's callback with this event (version 4 form)
//   tray_poke command <id>        WM_COMMAND with a menu id
//   tray_poke key <vk>...         key presses (an open menu reads them from the window's queue)
//   tray_poke minimize            the window's minimise command
//   tray_poke state               prints "visible iconic" as two 0/1 digits
// Exit code 0 when the message was posted, 1 when the window is missing or the call failed.
#include "app/win32/win32_window.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const wchar_t* what = argv[1];
    const unsigned long arg = argc > 2 ? std::wcstoul(argv[2], nullptr, 0) : 0;
    if (std::wcscmp(what, L"taskbar-created") == 0) {
        return PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0) ? 0 : 1;
    }
    const HWND hwnd = FindWindowW(kWindowClassName, nullptr);
    if (!hwnd) return 1;
    BOOL ok = FALSE;
    if (std::wcscmp(what, L"event") == 0) {
        ok = PostMessageW(hwnd, MSG_TRAY, MAKEWPARAM(40, 40), MAKELPARAM(arg, 1));
    } else if (std::wcscmp(what, L"command") == 0) {
        ok = PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(arg, 0), 0);
    } else if (std::wcscmp(what, L"key") == 0) {
        ok = TRUE;
        for (int i = 2; i < argc && ok; ++i) {
            ok = PostMessageW(hwnd, WM_KEYDOWN, std::wcstoul(argv[i], nullptr, 0), 1);
        }
    } else if (std::wcscmp(what, L"minimize") == 0) {
        ok = PostMessageW(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    } else if (std::wcscmp(what, L"state") == 0) {
        std::printf("%d%d\n", IsWindowVisible(hwnd) ? 1 : 0, IsIconic(hwnd) ? 1 : 0);
        ok = TRUE;
    }
    return ok ? 0 : 1;
}
