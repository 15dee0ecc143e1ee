#include "ui/HexColor.h"

#include <gtest/gtest.h>

namespace skrib {
namespace {

struct HexCase {
    const char* name;
    QString text;
    int red, green, blue, alpha;
};

class HexColorTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexColorTest, ParsesComponents) {
    const HexCase& c = GetParam();
    const QColor color = hexColor(c.text);
    EXPECT_EQ(color.spec(), QColor::Rgb) << "an sRGB colour";
    EXPECT_EQ(color.red(), c.red);
    EXPECT_EQ(color.green(), c.green);
    EXPECT_EQ(color.blue(), c.blue);
    EXPECT_EQ(color.alpha(), c.alpha);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexColorTest,
    ::testing::Values(
        HexCase{"SixDigitsAreOpaque", "#111114", 0x11, 0x11, 0x14, 255},
        HexCase{"SpacesAroundAreTrimmed", "  #EF4444  ", 0xEF, 0x44, 0x44, 255},
        HexCase{"TabsAndNewlinesAreTrimmed", "\t#EF4444\n", 0xEF, 0x44, 0x44, 255},
        HexCase{"LowerCaseDigits", "#ef4444", 0xEF, 0x44, 0x44, 255},
        HexCase{"EveryNonAlphanumericAtTheEndsGoes", "##(112233)!", 0x11, 0x22, 0x33, 255},
        HexCase{"EightDigitsCarryAlphaFirst", "80FFFFFF", 255, 255, 255, 0x80},
        HexCase{"EightDigitsWithHash", "#00FACC15", 0xFA, 0xCC, 0x15, 0},
        HexCase{"ThreeDigitsAreOneNumberNotShorthand", "#FFF", 0, 0x0F, 0xFF, 0},
        HexCase{"NineDigitsKeepTheLowThirtyTwoBits", "123456789", 0x45, 0x67, 0x89, 0x23},
        HexCase{"ScanningStopsAtTheFirstNonDigit", "1122 33", 0, 0x11, 0x22, 0},
        HexCase{"SixCharactersThatAreNotAllHexStillGetTheAlphaPrefix", "12345G", 0xF1, 0x23, 0x45,
                0x0F},
        HexCase{"NotHexadecimalIsTransparentBlack", "xyz", 0, 0, 0, 0},
        HexCase{"EmptyIsTransparentBlack", "", 0, 0, 0, 0},
        HexCase{"OnlyPunctuationIsTransparentBlack", " # ", 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace skrib
