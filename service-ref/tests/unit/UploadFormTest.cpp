#include "UploadForm.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

UploadForm::Limits smallLimits() {
    return {100, 10, 4};
}

void add(UploadForm& form, const std::string& name, const std::string& data,
         const std::string& filename = {}) {
    form.beginPart(name, filename, filename.empty() ? "" : "audio/wav");
    // In two pieces, as a streaming reader delivers them.
    form.append(data.data(), data.size() / 2);
    form.append(data.data() + data.size() / 2, data.size() - data.size() / 2);
}

TEST(UploadForm, KeepsTheThreePartsTheProgramSends) {
    UploadForm form(smallLimits());
    add(form, "audio", std::string("RIFF\0\x01\xFF", 7), "recording.wav");
    add(form, "vocab", "a, b");
    add(form, "source", "dictation");
    ASSERT_TRUE(form.finish());
    ASSERT_NE(form.part("audio"), nullptr);
    EXPECT_EQ(form.part("audio")->data, std::string("RIFF\0\x01\xFF", 7));
    EXPECT_EQ(form.part("audio")->filename, "recording.wav");
    EXPECT_EQ(form.part("audio")->contentType, "audio/wav");
    EXPECT_EQ(form.part("vocab")->data, "a, b");
    EXPECT_EQ(form.part("source")->data, "dictation");
}

TEST(UploadForm, SkipsUnknownPartsWithoutStoringThem) {
    UploadForm form(smallLimits());
    add(form, "extra", std::string(1000, 'x')); // beyond every limit, but not kept
    add(form, "audio", "abc", "a.wav");
    EXPECT_TRUE(form.finish());
    EXPECT_EQ(form.part("extra"), nullptr);
    EXPECT_EQ(form.part("audio")->data, "abc");
}

struct FaultCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> parts;
    const char* errorFragment;
};

class UploadFormFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(UploadFormFaultTest, StopsAtTheFirstFault) {
    UploadForm form(smallLimits());
    for (const auto& [name, data] : GetParam().parts) {
        add(form, name, data);
    }
    EXPECT_FALSE(form.finish());
    ASSERT_TRUE(form.error().has_value());
    EXPECT_NE(form.error()->find(GetParam().errorFragment), std::string::npos) << *form.error();
    // Nothing more is accepted after a fault.
    EXPECT_FALSE(form.beginPart("source", "", ""));
    EXPECT_FALSE(form.append("x", 1));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UploadFormFaultTest,
    testing::Values(
        FaultCase{"RepeatedAudio", {{"audio", "a"}, {"audio", "b"}}, "more than once"},
        FaultCase{"AudioOverLimit", {{"audio", std::string(101, 'a')}}, "too large"},
        FaultCase{"VocabOverLimit", {{"vocab", std::string(11, 'v')}}, "too large"},
        FaultCase{"UnnamedPart", {{"", "x"}}, "no name"},
        FaultCase{
            "TooManyParts", {{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}, {"e", ""}}, "too many"},
        FaultCase{"VocabNotUtf8", {{"vocab", "caf\xE9"}}, "UTF-8"},
        FaultCase{"SourceNotUtf8InAnEarlierPart", {{"source", "\xFF"}, {"audio", "x"}}, "UTF-8"}),
    [](const auto& info) { return info.param.name; });

TEST(UploadForm, AudioMayHoldAnyBytes) {
    UploadForm form(smallLimits());
    add(form, "audio", "\xFF\xFE\x00\x80");
    EXPECT_TRUE(form.finish());
}

TEST(UploadForm, AudioExactlyAtTheLimitIsAccepted) {
    UploadForm form(smallLimits());
    add(form, "audio", std::string(100, 'a'));
    EXPECT_TRUE(form.finish());
    EXPECT_EQ(form.part("audio")->data.size(), 100u);
}

} // namespace
} // namespace skrib::service
