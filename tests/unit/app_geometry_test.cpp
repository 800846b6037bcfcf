#include "app/geometry.hpp"
#include "common/text.hpp"

#include <gtest/gtest.h>

#include <string>

TEST(AppGeometry, InitialWindowSizeFromTheSavedSizeAndTheScreen) {
    struct Case {
        int savedW, savedH, screenW, screenH;
        Size expected;
    } cases[] = {
        {199, 199, 1024, 768, {500, 640}},   // too small: the defaults
        {200, 200, 1024, 768, {200, 200}},   // kept as saved
        {1025, 700, 1024, 768, {984, 700}},  // wider than the screen
        {600, 769, 1024, 768, {600, 728}},   // taller than the screen
        {1024, 768, 1024, 768, {1024, 768}}, // exactly the screen
        {0, 0, 400, 600, {360, 560}},        // defaults larger than a small screen
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InitialWindowSize(c.savedW, c.savedH, c.screenW, c.screenH), c.expected)
            << c.savedW << "x" << c.savedH;
    }
}

TEST(AppGeometry, ControlsFollowTheClientSize) {
    EXPECT_EQ(ChannelListRect(484, kListCreateHeight), (Rect{20, 14, 464, 334}));
    EXPECT_EQ(ChannelListRect(159, kListLayoutHeight), (Rect{20, 14, 140, 46}));  // stays 120 wide
    EXPECT_EQ(ChannelListRect(0, kListLayoutHeight), (Rect{20, 14, 140, 46}));

    EXPECT_EQ(PictureButtonRect(484, 449), (Rect{192, 118, 292, 142}));
    EXPECT_EQ(PictureButtonRect(484, 450), (Rect{192, 132, 292, 156}));
    EXPECT_EQ(PictureButtonRect(101, 450).left, 0);   // (101 - 100) / 2
    EXPECT_EQ(PictureButtonRect(99, 450).left, 0);    // -1 / 2 cuts toward zero

    EXPECT_EQ(MinTrackSize(true), (Size{220, 240}));
    EXPECT_EQ(MinTrackSize(false), (Size{220, 190}));
}

TEST(AppGeometry, RotationPeriodAndInitialChannel) {
    EXPECT_EQ(RotatePeriodMs(0), 20000u);
    EXPECT_EQ(RotatePeriodMs(-3), 20000u);
    EXPECT_EQ(RotatePeriodMs(1), 1000u);
    EXPECT_EQ(RotatePeriodMs(20), 20000u);
    EXPECT_EQ(RotatePeriodMs(2147483), 2147483000u);
    EXPECT_EQ(RotatePeriodMs(2147484), 0x7FFFFFFFu);  // would overflow a 32-bit period
    EXPECT_EQ(RotatePeriodMs(0x7FFFFFFF), 0x7FFFFFFFu);

    EXPECT_EQ(InitialChannelIndex(2, 3), 2);
    EXPECT_EQ(InitialChannelIndex(3, 3), 0);
    EXPECT_EQ(InitialChannelIndex(-1, 3), 0);
}

TEST(AppGeometry, PaintBandsAtTheThresholds) {
    const PaintLayout small = ComputePaintLayout(400, 359, true);
    EXPECT_EQ(small.channelName, (Rect{20, 54, 380, 72}));
    EXPECT_EQ(small.title, (Rect{20, 76, 380, 114}));
    EXPECT_EQ(small.cover, (Rect{20, 150, 380, 345}));  // bottom margin 14
    EXPECT_TRUE(small.coverPresent);
    EXPECT_FALSE(small.footerPresent);

    const PaintLayout mid = ComputePaintLayout(400, 360, true);
    EXPECT_EQ(mid.cover, (Rect{20, 150, 380, 326}));  // bottom margin 34
    EXPECT_TRUE(mid.footerPresent);
    EXPECT_EQ(mid.footer, (Rect{20, 330, 380, 354}));

    const PaintLayout tall = ComputePaintLayout(400, 450, true);
    EXPECT_EQ(tall.title, (Rect{20, 76, 380, 128}));  // 52 high from 450 on
    EXPECT_EQ(tall.cover.top, 164);
    EXPECT_EQ(ComputePaintLayout(400, 449, true).title.bottom, 114);
}

TEST(AppGeometry, CoverAreaIsPresentOnlyWhenShownAndLargerThan20Both) {
    EXPECT_FALSE(ComputePaintLayout(400, 500, false).coverPresent);
    // Height below 360: (cy - 14) - 150 > 20 means cy > 184.
    EXPECT_FALSE(ComputePaintLayout(400, 184, true).coverPresent);
    EXPECT_TRUE(ComputePaintLayout(400, 185, true).coverPresent);
    // Width: cx - 40 > 20 means cx > 60.
    EXPECT_FALSE(ComputePaintLayout(60, 500, true).coverPresent);
    EXPECT_TRUE(ComputePaintLayout(61, 500, true).coverPresent);
}

TEST(AppGeometry, PictureFitScalesKeepsAspectAndCentres) {
    const Rect area{20, 150, 420, 450};  // 400 x 300
    Rect r;
    ASSERT_TRUE(FitPicture(100, 50, area, r));
    EXPECT_EQ(r, (Rect{20, 200, 420, 400}));  // 400 x 200, 50 below the top
    ASSERT_TRUE(FitPicture(1000, 1000, area, r));
    EXPECT_EQ(r, (Rect{70, 150, 370, 450}));  // 300 x 300, 50 in from the left

    // Single precision, cut toward zero: 300 / 7 in float times 7 is just under 300.
    ASSERT_TRUE(FitPicture(7, 7, Rect{20, 100, 320, 400}, r));
    const float s = 300.0f / 7.0f;
    const int d = static_cast<int>(7.0f * s);
    EXPECT_EQ(r.Width(), d);
    EXPECT_EQ(r.left, 20 + (300 - d) / 2);

    ASSERT_TRUE(FitPicture(2, 1, Rect{20, 100, 121, 201}, r));  // 101 x 50.5 cut to 101 x 50
    EXPECT_EQ(r, (Rect{20, 125, 121, 175}));                     // (101 - 50) / 2 cut down

    Rect untouched{1, 2, 3, 4};
    EXPECT_FALSE(FitPicture(0, 10, area, untouched));
    EXPECT_FALSE(FitPicture(10, -1, area, untouched));
    EXPECT_EQ(untouched, (Rect{1, 2, 3, 4}));
}

TEST(AppGeometry, FooterAndNoPictureTexts) {
    char16_t text[kFooterUnits];
    FooterText(339, 7555, text, kFooterUnits);
    EXPECT_EQ(std::u16string(View(text)), u"Port: 7555");
    FooterText(340, 65535, text, kFooterUnits);
    EXPECT_EQ(std::u16string(View(text)), u"HTTP Web Server active: http://localhost:65535");
    char16_t tiny[8];
    FooterText(340, 7555, tiny, 8);
    EXPECT_EQ(std::u16string(View(tiny)), u"HTTP We");

    EXPECT_EQ(NoPictureText(true), u"Searching image...");
    EXPECT_EQ(NoPictureText(false), u"No image available");
}

TEST(AppGeometry, EveryLengthScalesWithTheDpi) {
    struct Scaled {
        int v, dpi, expected;
    } const lengths[] = {
        {20, 96, 20}, {20, 144, 30}, {20, 192, 40}, {13, 120, 16},  // 16.25
        {1, 144, 2},  {3, 144, 5},   {-3, 144, -5}, {500, 0, 500},  // 1.5 and 4.5: half away from zero
    };
    for (const Scaled& c : lengths) EXPECT_EQ(ScaleToDpi(c.v, c.dpi), c.expected) << c.v << " at " << c.dpi;
    for (const int dpi : {96, 120, 144, 168, 192, 288}) {
        for (const int v : {200, 333, 500, 640, 1001}) EXPECT_EQ(ScaleFromDpi(ScaleToDpi(v, dpi), dpi), v) << dpi;
    }

    // The saved size is in 96-DPI units; the screen bounds it in pixels.
    EXPECT_EQ(InitialWindowSize(300, 300, 1024, 768, 144), (Size{450, 450}));
    EXPECT_EQ(InitialWindowSize(0, 0, 1024, 768, 192), (Size{1000, 688}));  // 1280 high: screen - 80
    EXPECT_EQ(ChannelListRect(726, kListCreateHeight, 144), (Rect{30, 21, 696, 501}));
    EXPECT_EQ(PictureButtonRect(726, 674, 144), (Rect{288, 177, 438, 213}));
    EXPECT_EQ(PictureButtonRect(726, 675, 144), (Rect{288, 198, 438, 234}));
    EXPECT_EQ(MinTrackSize(false, 192), (Size{440, 380}));

    // The bands at 192 DPI are the 96-DPI bands of half the client size, doubled.
    for (const Size client : {Size{400, 359}, Size{400, 360}, Size{400, 450}, Size{61, 500}, Size{60, 185}}) {
        const PaintLayout at96 = ComputePaintLayout(client.width, client.height, true);
        const PaintLayout at192 = ComputePaintLayout(client.width * 2, client.height * 2, true, 192);
        const auto twice = [](Rect r) { return Rect{r.left * 2, r.top * 2, r.right * 2, r.bottom * 2}; };
        EXPECT_EQ(at192.channelName, twice(at96.channelName));
        EXPECT_EQ(at192.title, twice(at96.title));
        EXPECT_EQ(at192.cover, twice(at96.cover));
        EXPECT_EQ(at192.footer, twice(at96.footer));
        EXPECT_EQ(at192.coverPresent, at96.coverPresent) << client.width << "x" << client.height;
        EXPECT_EQ(at192.footerPresent, at96.footerPresent);
    }
    char16_t text[kFooterUnits];
    FooterText(509, 7555, text, kFooterUnits, 144);
    EXPECT_EQ(std::u16string(View(text)), u"Port: 7555");
    FooterText(510, 7555, text, kFooterUnits, 144);
    EXPECT_EQ(std::u16string(View(text)), u"HTTP Web Server active: http://localhost:7555");
}
