#include "Text.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};

class Utf8Test : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, ChecksWellFormedness) {
    EXPECT_EQ(isValidUtf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8Test,
                         testing::Values(Utf8Case{"Ascii", "plain text", true},
                                         Utf8Case{"Empty", "", true},
                                         Utf8Case{"TwoByte", "caf\xC3\xA9", true},
                                         Utf8Case{"ThreeByteEmDash", "a \xE2\x80\x94 b", true},
                                         Utf8Case{"FourByteEmoji", "\xF0\x9F\x8E\x99", true},
                                         Utf8Case{"EmbeddedNul", std::string("a\0b", 3), true},
                                         Utf8Case{"Latin1Byte", "caf\xE9", false},
                                         Utf8Case{"LoneContinuation", "\x80", false},
                                         Utf8Case{"TruncatedSequence", "\xE2\x80", false},
                                         Utf8Case{"OverlongSlash", "\xC0\xAF", false},
                                         Utf8Case{"OverlongThreeByte", "\xE0\x80\xAF", false},
                                         Utf8Case{"Surrogate", "\xED\xA0\x80", false},
                                         Utf8Case{"BeyondUnicode", "\xF4\x90\x80\x80", false},
                                         Utf8Case{"InvalidLeadByte", "\xFF", false}),
                         [](const auto& info) { return info.param.name; });

struct TidyCase {
    const char* input;
    const char* expected;
};

class TidyWhitespaceTest : public testing::TestWithParam<TidyCase> {};

TEST_P(TidyWhitespaceTest, CollapsesAndTrims) {
    EXPECT_EQ(tidyWhitespace(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, TidyWhitespaceTest,
                         testing::Values(TidyCase{"a  b", "a b"}, TidyCase{"\t a\r\n b \v", "a b"},
                                         TidyCase{"a , b", "a, b"}, TidyCase{"a ?!", "a?!"},
                                         TidyCase{", a", ", a"}, TidyCase{"a ,b", "a ,b"},
                                         TidyCase{"", ""}, TidyCase{" \f ", ""}));

TEST(LowerAscii, LeavesMultiByteSequencesAlone) {
    EXPECT_EQ(lowerAscii("ÉCOLE Zürich"), "École zürich");
}

} // namespace
} // namespace skrib::service
