// The notification-area icon: added with the window, added again when Explorer restarts,
// removed with the window; its tooltip and notifications follow the title on show, its menu
// drives the same handlers as the window's controls. Also the Run value of starting with Windows.
// Main thread only.
#include "app/process.hpp"
#include "app/tray_menu.hpp"
#include "app/win32/resource_ids.h"
#include "app/win32/win32_window.hpp"
#include "app/window_handlers.hpp"
#include "common/text.hpp"
#include "settings/app_config.hpp"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr UINT kTrayIconId = 1;
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Radio Tovrel";

struct TrayState {
    HWND window = nullptr;
    bool added = false;
    bool version4 = false;
    UINT taskbarCreated = 0;
    std::u16string tip;
    std::u16string lastTitle;  // the title the last refresh saw, announced or not
    TitleNotifier notifier;
};
TrayState& gTray = *new TrayState;

// Test hook: with TOVREL_TEST_TRAY_LOG naming a file, every call to the shell and every menu
// command is appended to it as a line of UTF-8. Normal runs have no such variable and log nothing.
void TrayLog(std::string_view line) {
    static const std::wstring path = [] {
        wchar_t buffer[1024] = {};
        const DWORD n = GetEnvironmentVariableW(L"TOVREL_TEST_TRAY_LOG", buffer, 1024);
        return (n > 0 && n < 1024) ? std::wstring(buffer, n) : std::wstring();
    }();
    if (path.empty()) return;
    FILE* file = _wfopen(path.c_str(), L"ab");
    if (!file) return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
    std::fclose(file);
}

bool Logging() {
    wchar_t probe[2];
    return GetEnvironmentVariableW(L"TOVREL_TEST_TRAY_LOG", probe, 2) > 0;
}

NOTIFYICONDATAW IconData() {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = gTray.window;
    data.uID = kTrayIconId;
    return data;
}

bool Notify(DWORD command, NOTIFYICONDATAW& data, std::string_view what) {
    const bool ok = Shell_NotifyIconW(command, &data) != FALSE;
    TrayLog(std::string(what) + (ok ? " ok" : " failed"));
    return ok;
}

// The quoted full path of the running program, or nothing when it does not fit the buffer.
std::wstring QuotedProgramPath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return {};
    return L"\"" + std::wstring(buffer.data(), n) + L"\"";
}

// The Run value's text, or nothing when there is none (or it is not a short text).
std::wstring ReadRunValue() {
    wchar_t data[2048] = {};
    DWORD bytes = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(data);
}

bool RunValueOn() { return !ReadRunValue().empty(); }

// Adds (the quoted path of this program) or removes the Run value. True when the registry now
// agrees.
bool WriteRunValue(bool on) {
    LSTATUS status;
    if (on) {
        const std::wstring path = QuotedProgramPath();
        if (path.empty()) return false;
        HKEY key = nullptr;
        status = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
        if (status == ERROR_SUCCESS) {
            status = RegSetValueExW(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                    static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
    } else {
        HKEY key = nullptr;
        status = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key);
        if (status == ERROR_SUCCESS) {
            status = RegDeleteValueW(key, kRunValue);
            RegCloseKey(key);
        }
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    TrayLog(std::string(on ? "run on" : "run off") + (status == ERROR_SUCCESS ? " ok" : " failed"));
    return status == ERROR_SUCCESS;
}

std::u16string TooltipNow() {
    char16_t tip[kTrayTipUnits] = {};
    const std::u16string name = gApp.state ? ChannelName(gSettings, gApp.state->currentChannelIndex).value_or(u"")
                                           : std::u16string();
    TrayTooltip(name, gApp.state ? View(gApp.state->currentTitle) : std::u16string_view(), tip, kTrayTipUnits);
    return std::u16string(View(tip));
}

void ShowWindowForward() {
    const HWND hwnd = gTray.window;
    ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd);
    TrayLog("show");
}

void ShowMenu(POINT at) {
    const HMENU menu = CreatePopupMenu();
    if (!menu) return;
    std::vector<std::u16string> channels;
    const int count = ChannelCount(gSettings);
    for (int row = 0; row < count; ++row) channels.push_back(ChannelName(gSettings, row).value_or(u""));
    const WindowState* state = gApp.state;
    const auto items = BuildTrayMenu(channels, state ? state->currentChannelIndex : -1,
                                     state == nullptr || state->picturesShown, RunValueOn());
    std::string logged = "menu";
    for (const TrayMenuItem& item : items) {
        if (item.id == 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            logged += " |-";
            continue;
        }
        AppendMenuW(menu, MF_STRING | (item.checked ? MF_CHECKED : MF_UNCHECKED), item.id,
                    reinterpret_cast<const wchar_t*>(item.text.c_str()));
        logged += " |" + Utf16ToUtf8(item.text) + (item.checked ? "*" : "");
    }
    TrayLog(logged);
    // The menu closes when the user clicks elsewhere only while the window is in front; the
    // message after it lets the menu close at once on the next click (the shell's known need).
    SetForegroundWindow(gTray.window);
    TrackPopupMenuEx(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, at.x, at.y, gTray.window, nullptr);
    PostMessageW(gTray.window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

}  // namespace

void TrayAdd(HWND hwnd) {
    gTray.window = hwnd;
    if (gTray.taskbarCreated == 0) gTray.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    NOTIFYICONDATAW data = IconData();
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    data.uCallbackMessage = MSG_TRAY;
    data.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TOVREL_RADIO),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    gTray.tip = TooltipNow();
    CopyText(reinterpret_cast<char16_t*>(data.szTip), kTrayTipUnits, gTray.tip);
    gTray.added = Notify(NIM_ADD, data, "add " + Utf16ToUtf8(gTray.tip));
    if (!gTray.added) return;
    data.uVersion = NOTIFYICON_VERSION_4;
    gTray.version4 = Notify(NIM_SETVERSION, data, "version 4");
}

void TrayRemove() {
    if (!gTray.added) return;
    NOTIFYICONDATAW data = IconData();
    Notify(NIM_DELETE, data, "delete");
    gTray.added = false;
}

bool TrayTaskbarCreated(UINT message) {
    if (gTray.taskbarCreated == 0 || message != gTray.taskbarCreated || gTray.window == nullptr) return false;
    // Explorer started anew with an empty notification area: the icon is added again (any
    // left of it removed first, for a shell that kept it).
    NOTIFYICONDATAW data = IconData();
    Shell_NotifyIconW(NIM_DELETE, &data);
    gTray.added = false;
    TrayAdd(gTray.window);
    return true;
}

void TrayRefresh() {
    if (gTray.window == nullptr || gApp.state == nullptr) return;
    const std::u16string tip = TooltipNow();
    if (gTray.added && tip != gTray.tip) {
        NOTIFYICONDATAW data = IconData();
        data.uFlags = NIF_TIP | NIF_SHOWTIP;
        CopyText(reinterpret_cast<char16_t*>(data.szTip), kTrayTipUnits, tip);
        if (Notify(NIM_MODIFY, data, "tip " + Utf16ToUtf8(tip))) gTray.tip = tip;
    }
    const std::u16string_view title = View(gApp.state->currentTitle);
    if (title == gTray.lastTitle) return;
    gTray.lastTitle = title;
    if (!gTray.added || !FlagOn(ReadConfig(gSettings).notify_new_title)) return;
    if (!gTray.notifier.Due(title, static_cast<std::int64_t>(GetTickCount64()))) return;
    NOTIFYICONDATAW data = IconData();
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO | NIIF_NOSOUND | NIIF_RESPECT_QUIET_TIME;
    const std::u16string name = ChannelName(gSettings, gApp.state->currentChannelIndex).value_or(u"");
    FitText(name, reinterpret_cast<char16_t*>(data.szInfoTitle), kTrayInfoTitleUnits);
    FitText(title, reinterpret_cast<char16_t*>(data.szInfo), kTrayInfoUnits);
    Notify(NIM_MODIFY, data, "info " + Utf16ToUtf8(name) + ": " + Utf16ToUtf8(title));
}

void TrayEvent(WPARAM wParam, LPARAM lParam) {
    // Version 4 puts the event in the low word and the anchor point in wParam; before it, the
    // mouse message is all of lParam.
    const UINT event = gTray.version4 ? LOWORD(lParam) : static_cast<UINT>(lParam);
    POINT at{};
    if (gTray.version4) {
        at = {static_cast<short>(LOWORD(wParam)), static_cast<short>(HIWORD(wParam))};
    } else {
        GetCursorPos(&at);
    }
    if (gTray.version4 ? (event == NIN_SELECT || event == NIN_KEYSELECT) : event == WM_LBUTTONUP) {
        ShowWindowForward();
    } else if (gTray.version4 ? event == WM_CONTEXTMENU : event == WM_RBUTTONUP) {
        ShowMenu(at);
    }
}

bool TrayCommandChosen(unsigned id) {
    const TrayCommand command = DecodeTrayCommand(id, ChannelCount(gSettings));
    if (command.action == TrayAction::None) return false;
    TrayLog("command " + std::to_string(id));
    switch (command.action) {
    case TrayAction::Channel:
        // As the list does it: the row selected, then its selection handled.
        SendMessageW(gWin.channelList, CB_SETCURSEL, static_cast<WPARAM>(command.channel), 0);
        OnChannelListSelection(gApp, command.channel);
        break;
    case TrayAction::Pictures: OnTogglePictures(gApp); break;
    case TrayAction::WebPage: {
        const AppConfig config = ReadConfig(gSettings);
        const std::u16string address = WebPageAddress(config.port, View(config.listen_address));
        TrayLog("open " + Utf16ToUtf8(address));
        // Under the test hook the address is only logged: a test machine has no browser to start.
        if (!Logging()) {
            ShellExecuteW(gTray.window, L"open", reinterpret_cast<const wchar_t*>(address.c_str()), nullptr, nullptr,
                          SW_SHOWNORMAL);
        }
        break;
    }
    case TrayAction::StartWithWindows: {
        const bool on = !RunValueOn();
        if (WriteRunValue(on)) SaveStartWithWindows(gSettings, on);
        break;
    }
    case TrayAction::Exit: PostMessageW(gTray.window, WM_CLOSE, 0, 0); break;
    case TrayAction::None: break;
    }
    TrayRefresh();
    return true;
}

void TrayMinimized() {
    if (FlagOn(ReadConfig(gSettings).minimize_to_tray) && gTray.added) {
        ShowWindow(gTray.window, SW_HIDE);
        TrayLog("hidden");
    }
}

void ApplyStartWithWindows() {
    const std::int8_t wanted = ReadConfig(gSettings).start_with_windows;
    if (wanted == kFlagAbsent) return;
    const std::wstring now = ReadRunValue();
    if (wanted != 0 ? now != QuotedProgramPath() : !now.empty()) WriteRunValue(wanted != 0);
}
