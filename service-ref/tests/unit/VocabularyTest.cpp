#include "Vocabulary.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct ParseCase {
    const char* name;
    const char* vocab;
    std::vector<std::string> entries;
};

class ParseVocabularyTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseVocabularyTest, SplitsTrimsAndDrops) {
    EXPECT_EQ(parseVocabulary(GetParam().vocab), GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, ParseVocabularyTest,
    testing::Values(ParseCase{"AsTheProgramJoins", "alpha, beta", {"alpha", "beta"}},
                    ParseCase{
                        "SpacesTabsAndEmptyPieces", " alpha ,\t,beta\t, ,", {"alpha", "beta"}},
                    ParseCase{"RepeatsDropped", "Qorin, Qorin, qorin", {"Qorin", "qorin"}},
                    ParseCase{"MultiWordEntryKept", "Vantu Skrib, x", {"Vantu Skrib", "x"}},
                    ParseCase{"Empty", "", {}}, ParseCase{"OnlyCommas", ",,,", {}}),
    [](const auto& info) { return info.param.name; });

struct DistanceCase {
    const char* a;
    const char* b;
    std::size_t limit;
    std::size_t expected;
};

class EditDistanceTest : public testing::TestWithParam<DistanceCase> {};

TEST_P(EditDistanceTest, CountsEditsUpToTheLimit) {
    const auto& c = GetParam();
    EXPECT_EQ(editDistance(c.a, c.b, c.limit), c.expected);
    EXPECT_EQ(editDistance(c.b, c.a, c.limit), c.expected) << "distance must be symmetric";
}

INSTANTIATE_TEST_SUITE_P(Pairs, EditDistanceTest,
                         testing::Values(DistanceCase{"kitten", "sitting", 5, 3},
                                         DistanceCase{"kitten", "sitting", 2, 3},
                                         DistanceCase{"", "abc", 5, 3},
                                         DistanceCase{"same", "same", 0, 0},
                                         DistanceCase{"abcdef", "abdcef", 3, 2},
                                         DistanceCase{"short", "muchlongerword", 2, 3},
                                         DistanceCase{"flaw", "lawn", 4, 2}));

struct ApplyCase {
    const char* name;
    const char* vocab;
    const char* text;
    const char* expected;
};

class ApplyVocabularyTest : public testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyVocabularyTest, RewritesCloseWords) {
    const auto& c = GetParam();
    const Vocabulary vocabulary(parseVocabulary(c.vocab));
    EXPECT_EQ(vocabulary.apply(c.text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ApplyVocabularyTest,
    testing::Values(
        ApplyCase{"CaseOnly", "Kubernetes", "deploy to kubernetes now", "deploy to Kubernetes now"},
        ApplyCase{"OneEditOnAMediumWord", "Qorin", "ask korin today", "ask Qorin today"},
        ApplyCase{"TwoEditsOnALongWord", "Anthropology", "study antropolgy", "study Anthropology"},
        ApplyCase{"ThreeEditsTooFar", "Anthropology", "study antrpolgi", "study antrpolgi"},
        ApplyCase{"ShortWordsMustMatchExactly", "Kate", "it is late", "it is late"},
        ApplyCase{"ShortWordExactIgnoringCase", "Kate", "ask kate", "ask Kate"},
        ApplyCase{"PunctuationAroundKept", "Qorin", "(korin), yes.", "(Qorin), yes."},
        ApplyCase{"FullStopAfterKept", "Friday", "before friday.", "before Friday."},
        ApplyCase{"SplitWordsJoin", "PocketSphinx", "use pocket sphinx here",
                  "use PocketSphinx here"},
        ApplyCase{"SplitWordsOnlyJoinExactly", "PocketSphinx", "use pocket spinks here",
                  "use pocket spinks here"},
        ApplyCase{"NoJoinAcrossPunctuation", "PocketSphinx", "a pocket, sphinx",
                  "a pocket, sphinx"},
        ApplyCase{"NoJoinIntoAnUnrelatedName", "Anna", "and a cake", "and a cake"},
        ApplyCase{"MultiWordEntryWithTolerance", "Vantu Skrib", "open vantu scrib now",
                  "open Vantu Skrib now"},
        ApplyCase{"ClosestEntryWins", "Marta, Martha", "call martha", "call Martha"},
        ApplyCase{"HyphenAndApostropheIgnoredInKey", "e-mail", "send an email", "send an e-mail"},
        ApplyCase{"EmptyVocabularyKeepsText", "", "leave  it", "leave it"},
        ApplyCase{"PunctuationOnlyEntryIgnored", "--, ...", "a -- b", "a -- b"}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service
