#include "UploadForm.h"

#include <gtest/gtest.h>

namespace skrib::service {
namespace {

struct FormCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> parts; // name, data
    const char* error; // a piece of the error; nullptr: the form is accepted
};

class UploadFormTest : public testing::TestWithParam<FormCase> {};

// Limits: 100 bytes of audio, 10 bytes of text, 4 parts.
TEST_P(UploadFormTest, KeepsTheKnownPartsOrStopsAtTheFirstFault) {
    UploadForm form({100, 10, 4});
    for (const auto& [name, data] : GetParam().parts) {
        form.beginPart(name, name == "audio" ? "recording.wav" : "", "");
        // In two pieces, as a streaming reader delivers them.
        form.append(data.data(), data.size() / 2);
        form.append(data.data() + data.size() / 2, data.size() - data.size() / 2);
    }
    if (GetParam().error == nullptr) {
        ASSERT_TRUE(form.finish()) << *form.error();
        for (const auto& [name, data] : GetParam().parts) {
            const bool kept = name == "audio" || name == "vocab" || name == "source";
            ASSERT_EQ(form.part(name) != nullptr, kept) << name;
            if (kept) {
                EXPECT_EQ(form.part(name)->data, data) << name;
            }
        }
        EXPECT_EQ(form.part("audio")->filename, "recording.wav");
        return;
    }
    EXPECT_FALSE(form.finish());
    ASSERT_TRUE(form.error().has_value());
    EXPECT_NE(form.error()->find(GetParam().error), std::string::npos) << *form.error();
    EXPECT_FALSE(form.beginPart("source", "", "")) << "nothing more is accepted after a fault";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UploadFormTest,
    testing::Values(
        FormCase{"TheProgramsThreeParts",
                 {{"audio", std::string("RIFF\0\x01\xFF", 7)}, {"vocab", "a, b"},
                  {"source", "dictation"}},
                 nullptr},
        FormCase{"UnknownPartSkippedNotStored", {{"extra", std::string(1000, 'x')}, {"audio", "a"}},
                 nullptr},
        FormCase{"AudioExactlyAtTheLimit", {{"audio", std::string(100, 'a')}}, nullptr},
        FormCase{"AudioOverTheLimit", {{"audio", std::string(101, 'a')}}, "too large"},
        FormCase{"VocabOverTheLimit", {{"vocab", std::string(11, 'v')}}, "too large"},
        FormCase{"RepeatedAudio", {{"audio", "a"}, {"audio", "b"}}, "more than once"},
        FormCase{"UnnamedPart", {{"", "x"}}, "no name"},
        FormCase{"TooManyParts", {{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}, {"e", ""}},
                 "too many"},
        FormCase{"VocabNotUtf8", {{"vocab", "caf\xE9"}}, "UTF-8"},
        FormCase{"OverlongUtf8InAnEarlierPart", {{"source", "\xC0\xAF"}, {"audio", "x"}}, "UTF-8"}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service
