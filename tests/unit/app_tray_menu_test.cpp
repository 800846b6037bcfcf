#include "app/tray_menu.hpp"

#include "common/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Tip(std::u16string_view channel, std::u16string_view title, std::size_t units = kTrayTipUnits) {
    std::u16string out(units + 1, u'#');  // a unit past the buffer shows any overrun
    TrayTooltip(channel, title, out.data(), units);
    EXPECT_EQ(out[units], u'#');
    return out.substr(0, out.find(u'\0'));
}

TEST(AppTray, TooltipIsCutWithEllipsisToWhatItHolds) {
    const std::u16string fits(124 - 6, u'a');  // "Ostrel - " + title = 127 units exactly
    const std::u16string pair = u"\U0001F3B5";
    struct Case {
        std::u16string channel, title;
        std::size_t units;
        std::u16string expected;
    } const cases[] = {
        {u"Ostrel", u"Artist - Song", kTrayTipUnits, u"Ostrel - Artist - Song"},
        {u"Ostrel", u"", kTrayTipUnits, u"Ostrel"},
        {u"", u"Song", kTrayTipUnits, u"Song"},
        {u"Ostrel", fits, kTrayTipUnits, u"Ostrel - " + fits},
        {u"Ostrel", fits + u"b", kTrayTipUnits, u"Ostrel - " + fits.substr(0, fits.size() - 3) + u"..."},
        // A pair that would be cut in half goes whole to the ellipsis.
        {u"A", pair + u"defgh", 9, u"A - ..."},
        {u"A", u"b" + pair + u"defgh", 10, u"A - b..."},
        {u"A", u"b" + pair + u"defgh", 11, u"A - b" + pair + u"..."},
        {u"Ostrel", u"Song", 3, u"Os"},
        {u"Ostrel", u"Song", 1, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.title) + " in " + std::to_string(c.units));
        const std::u16string tip = Tip(c.channel, c.title, c.units);
        EXPECT_EQ(tip, c.expected);
        EXPECT_LT(tip.size(), c.units);
    }
    char16_t untouched[1] = {u'x'};
    FitText(u"abc", untouched, 0);
    EXPECT_EQ(untouched[0], u'x');
}

TEST(AppTray, MenuItemsAndTheirCommands) {
    const std::vector<std::u16string> channels = {u"Ostrel", u"Kessa", u"Pavo"};
    const auto menu = BuildTrayMenu(channels, 1, true, false);
    std::u16string shown;
    for (const TrayMenuItem& item : menu) shown += (item.id == 0 ? u"-" : item.text) + (item.checked ? u"*|" : u"|");
    EXPECT_EQ(shown, u"Ostrel|Kessa*|Pavo|-|Hide Art|Open web page|Start with Windows|-|Exit|");
    const auto other = BuildTrayMenu(channels, -1, false, true);
    EXPECT_EQ(other[4].text, u"Show Art");
    EXPECT_TRUE(other[6].checked);
    for (int row = 0; row < 3; ++row) EXPECT_FALSE(other[static_cast<std::size_t>(row)].checked);

    // Every item's id leads back to what it shows; ids outside the table lead nowhere.
    struct Case {
        unsigned id;
        TrayAction action;
        int channel;
    } const cases[] = {
        {menu[0].id, TrayAction::Channel, 0},       {menu[2].id, TrayAction::Channel, 2},
        {menu[4].id, TrayAction::Pictures, -1},     {menu[5].id, TrayAction::WebPage, -1},
        {menu[6].id, TrayAction::StartWithWindows, -1}, {menu[8].id, TrayAction::Exit, -1},
        {kTrayChannelFirst + 3, TrayAction::None, -1}, {kTrayChannelFirst - 1, TrayAction::None, -1},
        {kTrayExit + 1, TrayAction::None, -1},      {0, TrayAction::None, -1},
    };
    for (const Case& c : cases) {
        const TrayCommand command = DecodeTrayCommand(c.id, 3);
        EXPECT_EQ(command.action, c.action) << c.id;
        EXPECT_EQ(command.channel, c.channel) << c.id;
    }
    EXPECT_EQ(WebPageAddress(7555), u"http://localhost:7555/");
    EXPECT_EQ(WebPageAddress(80, "192.168.1.10"), u"http://192.168.1.10:80/");
    EXPECT_EQ(WebPageAddress(80, "0.0.0.0"), u"http://localhost:80/");
    EXPECT_EQ(WebPageAddress(80, "my host"), u"http://localhost:80/");  // not an address: every interface
}

TEST(AppTray, NotificationsSkipPlaceholdersRepeatsAndBursts) {
    TitleNotifier notifier;
    struct Step {
        std::u16string title;
        std::int64_t ms;
        bool due;
    } const steps[] = {
        {u"Loading...", 0, false},  {u"Connecting...", 1, false}, {u"", 2, false},
        {u"A - One", 3, true},      {u"A - Two", 5000, false},    {u"A - Three", 10002, false},
        {u"A - Four", 10003, true}, {u"A - Four", 30000, false},  {u"Loading...", 40000, false},
        {u"A - Five", 40001, true},
    };
    for (const Step& s : steps) EXPECT_EQ(notifier.Due(s.title, s.ms), s.due) << Utf16ToUtf8(s.title);
}

}  // namespace
