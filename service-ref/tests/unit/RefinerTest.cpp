#include "Refiner.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct RefineCase {
    const char* name;
    StylePreset preset;
    const char* input;
    const char* expected;
};

class RefineTest : public testing::TestWithParam<RefineCase> {};

TEST_P(RefineTest, FormatsInTheStyle) {
    const RefineCase& c = GetParam();
    EXPECT_EQ(refine(c.input, c.preset), c.expected) << "input: \"" << c.input << "\"";
}

constexpr auto P = StylePreset::professional;
constexpr auto C = StylePreset::casual;
constexpr auto M = StylePreset::minimal;
constexpr auto U = StylePreset::custom;

INSTANTIATE_TEST_SUITE_P(
    Styles, RefineTest,
    testing::Values(
        RefineCase{"ProfessionalSentenceCaseAndFullStop", P, "send the report today",
                   "Send the report today."},
        RefineCase{"ProfessionalCapitalisesEverySentence", P, "it works. does it? yes! fine",
                   "It works. Does it? Yes! Fine."},
        RefineCase{"ProfessionalLonePronoun", P, "then i said i was late",
                   "Then I said I was late."},
        RefineCase{"ProfessionalPronounContractions", P, "i'm sure i'll go and i've seen it",
                   "I'm sure I'll go and I've seen it."},
        RefineCase{"ProfessionalLeavesWordsStartingWithI", P, "it is in italy", "It is in italy."},
        RefineCase{"ProfessionalKeepsExistingQuestionMark", P, "is it done?", "Is it done?"},
        RefineCase{"ProfessionalCommaAtEndBecomesFullStop", P, "first, then", "First, then."},
        RefineCase{"ProfessionalFullStopInsideClosingQuote", P, "he said \"hello\"",
                   "He said \"hello.\""},
        RefineCase{"ProfessionalCapitalAfterOpeningQuote", P, "\"quoted start\" ends",
                   "\"Quoted start\" ends."},
        RefineCase{"ProfessionalKeepsAcronyms", P, "ask NASA about it", "Ask NASA about it."},
        RefineCase{"ProfessionalTidiesWhitespace", P, "  two   spaces \t here \n",
                   "Two spaces here."},
        RefineCase{"ProfessionalEmptyStaysEmpty", P, "   ", ""},
        RefineCase{"ProfessionalNonAsciiUntouched", P, "émile est là", "émile est là."},
        RefineCase{"CasualLowersEverything", C, "Send The REPORT", "send the report"},
        RefineCase{"CasualDropsTrailingFullStop", C, "See you soon.", "see you soon"},
        RefineCase{"CasualKeepsQuestionMark", C, "Coming tonight?", "coming tonight?"},
        RefineCase{"CasualKeepsEllipsis", C, "Well...", "well..."},
        RefineCase{"CasualKeepsInnerFullStops", C, "One. Two.", "one. two"},
        RefineCase{"MinimalOnlyTidiesWhitespace", M, "  keep   THIS as is  ", "keep THIS as is"},
        RefineCase{"MinimalDropsSpaceBeforePunctuation", M, "wait , what ?", "wait, what?"},
        RefineCase{"MinimalKeepsMissingFullStop", M, "no full stop", "no full stop"},
        RefineCase{"CustomFormatsLikeMinimal", U, "  Custom   text. ", "Custom text."}),
    [](const testing::TestParamInfo<RefineCase>& info) { return info.param.name; });

struct PresetIdCase {
    const char* id;
    std::optional<StylePreset> preset;
};

class PresetIdTest : public testing::TestWithParam<PresetIdCase> {};

TEST_P(PresetIdTest, ParsesOnlyTheFourIds) {
    const auto& c = GetParam();
    EXPECT_EQ(parseStylePreset(c.id), c.preset);
    if (c.preset) {
        EXPECT_EQ(stylePresetId(*c.preset), c.id);
    }
}

INSTANTIATE_TEST_SUITE_P(Ids, PresetIdTest,
                         testing::Values(PresetIdCase{"professional", P}, PresetIdCase{"casual", C},
                                         PresetIdCase{"minimal", M}, PresetIdCase{"custom", U},
                                         PresetIdCase{"Professional", std::nullopt},
                                         PresetIdCase{"", std::nullopt},
                                         PresetIdCase{"casual ", std::nullopt}));

} // namespace
} // namespace skrib::service
