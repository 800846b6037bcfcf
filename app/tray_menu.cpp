#include "app/tray_menu.hpp"

#include "app/window_state.hpp"
#include "common/ipv4.hpp"
#include "common/text.hpp"

#include <algorithm>

void FitText(std::u16string_view text, char16_t* out, std::size_t outUnits) {
    if (outUnits == 0) return;
    if (text.size() < outUnits) {
        CopyText(out, outUnits, text);
        return;
    }
    constexpr std::u16string_view kEllipsis = u"...";
    if (outUnits <= kEllipsis.size()) {
        CopyTextWhole(out, outUnits, text);
        return;
    }
    const std::size_t kept = CopyTextWhole(out, outUnits - kEllipsis.size(), text);
    CopyText(out + kept, outUnits - kept, kEllipsis);
}

void TrayTooltip(std::u16string_view channel, std::u16string_view title, char16_t* out, std::size_t outUnits) {
    std::u16string text(channel);
    if (!channel.empty() && !title.empty()) text += u" - ";
    text += title;
    FitText(text, out, outUnits);
}

bool IsPlaceholderTitle(std::u16string_view title) { return title == kLoadingTitle || title == u"Connecting..."; }

std::vector<TrayMenuItem> BuildTrayMenu(const std::vector<std::u16string>& channels, int current, bool picturesShown,
                                        bool startWithWindows) {
    std::vector<TrayMenuItem> menu;
    const std::size_t rows = std::min<std::size_t>(channels.size(), kTrayPictures - kTrayChannelFirst);
    for (std::size_t row = 0; row < rows; ++row) {
        menu.push_back({kTrayChannelFirst + static_cast<unsigned>(row), channels[row],
                        static_cast<int>(row) == current});
    }
    menu.push_back({});
    menu.push_back({kTrayPictures, picturesShown ? u"Hide Art" : u"Show Art", false});
    menu.push_back({kTrayWebPage, u"Open web page", false});
    menu.push_back({kTrayStartWithWindows, u"Start with Windows", startWithWindows});
    menu.push_back({});
    menu.push_back({kTrayExit, u"Exit", false});
    return menu;
}

TrayCommand DecodeTrayCommand(unsigned id, int channelCount) {
    if (id >= kTrayChannelFirst && id < kTrayPictures) {
        const int row = static_cast<int>(id - kTrayChannelFirst);
        if (row < channelCount) return {TrayAction::Channel, row};
        return {};
    }
    switch (id) {
    case kTrayPictures: return {TrayAction::Pictures, -1};
    case kTrayWebPage: return {TrayAction::WebPage, -1};
    case kTrayStartWithWindows: return {TrayAction::StartWithWindows, -1};
    case kTrayExit: return {TrayAction::Exit, -1};
    default: return {};
    }
}

std::u16string WebPageAddress(int port, std::string_view listenAddress) {
    std::uint32_t address = 0;
    const bool one = ParseIpv4(listenAddress, &address) && address != 0;
    return u"http://" + (one ? Utf8ToUtf16(listenAddress) : std::u16string(u"localhost")) + u":" +
           Utf8ToUtf16(std::to_string(port)) + u"/";
}

bool TitleNotifier::Due(std::u16string_view title, std::int64_t nowMs) {
    if (title.empty() || IsPlaceholderTitle(title) || (any_ && title == last_)) return false;
    if (any_ && nowMs - lastMs_ < kNotifyGapMs) return false;
    last_ = title;
    lastMs_ = nowMs;
    any_ = true;
    return true;
}
