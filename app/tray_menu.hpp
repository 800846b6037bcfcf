// The notification-area icon's decisions, apart from the Win32 calls that show them: its tooltip,
// its menu's items and commands, and when a new title is worth a notification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the icon's texts hold, terminator included (NOTIFYICONDATAW's szTip, szInfoTitle, szInfo).
constexpr std::size_t kTrayTipUnits = 128;
constexpr std::size_t kTrayInfoTitleUnits = 64;
constexpr std::size_t kTrayInfoUnits = 256;

// text into out (outUnits units, terminated); when it does not fit, as much as fits whole
// (never half a surrogate pair) followed by "...". Nothing is written when outUnits is 0.
void FitText(std::u16string_view text, char16_t* out, std::size_t outUnits);
// The tooltip: "<channel> - <title>", or the one that is not empty, cut to fit.
void TrayTooltip(std::u16string_view channel, std::u16string_view title, char16_t* out, std::size_t outUnits);

// The texts shown while no title is known; they are never announced or written to outputs.
bool IsPlaceholderTitle(std::u16string_view title);

// The menu's command ids: the channels from kTrayChannelFirst (one per row), then the rest.
constexpr unsigned kTrayChannelFirst = 0x7100;
constexpr unsigned kTrayPictures = 0x7180;
constexpr unsigned kTrayWebPage = 0x7181;
constexpr unsigned kTrayStartWithWindows = 0x7182;
constexpr unsigned kTrayExit = 0x7183;

struct TrayMenuItem {
    unsigned id = 0;  // 0 for a separator
    std::u16string text;
    bool checked = false;
};
// The menu, top to bottom: the channels (the one on show checked), the pictures switch, the web
// page, starting with Windows, and the exit.
std::vector<TrayMenuItem> BuildTrayMenu(const std::vector<std::u16string>& channels, int current, bool picturesShown,
                                        bool startWithWindows);

enum class TrayAction { None, Channel, Pictures, WebPage, StartWithWindows, Exit };
struct TrayCommand {
    TrayAction action = TrayAction::None;
    int channel = -1;  // for TrayAction::Channel: the row
};
// A menu id back to what it asks; a channel id beyond the table's channelCount rows is None.
TrayCommand DecodeTrayCommand(unsigned id, int channelCount);

// The web page's address in the default browser: this machine's name, or the one address the
// server listens on when listen_address names one (0.0.0.0 is every address).
std::u16string WebPageAddress(int port, std::string_view listenAddress = {});

// Whether a new title on show deserves a notification: never a placeholder, never the text last
// announced, and at most one within kNotifyGapMs of the last. Times are a steady clock's, in ms.
class TitleNotifier {
public:
    static constexpr std::int64_t kNotifyGapMs = 10000;
    bool Due(std::u16string_view title, std::int64_t nowMs);

private:
    std::u16string last_;
    bool any_ = false;
    std::int64_t lastMs_ = 0;
};
