// What a recognised transcript becomes: the device's vocabulary applied, then its style.
#include "Refiner.h"
#include "Vocabulary.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct TextCase {
    const char* name;
    const char* preset;
    const char* vocab;
    const char* recognised;
    const char* expected;
};

class TranscriptTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(TranscriptTextTest, AppliesVocabularyThenStyle) {
    const TextCase& c = GetParam();
    const auto preset = parseStylePreset(c.preset);
    ASSERT_TRUE(preset) << c.preset;
    EXPECT_EQ(stylePresetId(*preset), c.preset);
    const Vocabulary vocabulary(parseVocabulary(c.vocab));
    EXPECT_EQ(refine(vocabulary.apply(c.recognised), *preset), c.expected) << c.recognised;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TranscriptTextTest,
    testing::Values(
        TextCase{"ProfessionalSentenceCase", "professional", "", "send the report today",
                 "Send the report today."},
        TextCase{"ProfessionalEverySentence", "professional", "", "it works. does it? yes! fine",
                 "It works. Does it? Yes! Fine."},
        TextCase{"ProfessionalPronounI", "professional", "", "i'm sure i'll go and i said it",
                 "I'm sure I'll go and I said it."},
        TextCase{"ProfessionalWordsStartingWithI", "professional", "", "it is in italy",
                 "It is in italy."},
        TextCase{"ProfessionalInsideClosingQuote", "professional", "", "he said \"hello\"",
                 "He said \"hello.\""},
        TextCase{"CasualLowersAndDropsFullStop", "casual", "", "Send The REPORT.",
                 "send the report"},
        TextCase{"CasualKeepsEllipsisAndQuestion", "casual", "", "Well... Coming?",
                 "well... coming?"},
        TextCase{"MinimalOnlyTidiesSpaces", "minimal", "", "  keep   THIS , ok ?", "keep THIS, ok?"},
        TextCase{"VocabularyEntriesTrimmed", "minimal", " Alpha ,\t,Beta\t, ,", "alpha beta",
                 "Alpha Beta"},
        TextCase{"OneEditOnAMediumWord", "minimal", "Qorin", "(korin), yes.", "(Qorin), yes."},
        TextCase{"TwoEditsOnALongWord", "minimal", "Anthropology", "antropolgy", "Anthropology"},
        TextCase{"ThreeEditsTooFar", "minimal", "Anthropology", "antropolgi", "antropolgi"},
        TextCase{"SplitWordsJoin", "minimal", "PocketSphinx", "use pocket sphinx",
                 "use PocketSphinx"},
        TextCase{"NoJoinAcrossPunctuation", "minimal", "PocketSphinx", "a pocket, sphinx",
                 "a pocket, sphinx"},
        TextCase{"MultiWordEntry", "minimal", "Vantu Skrib", "open vantu scrib", "open Vantu Skrib"},
        TextCase{"ClosestEntryWins", "minimal", "Marta, Martha", "call martha", "call Martha"},
        TextCase{"VocabularyThenStyle", "professional", "Friday", "before fryday",
                 "Before Friday."}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service
