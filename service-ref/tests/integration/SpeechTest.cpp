// Synthesised speech uploaded as the program does, recognised, refined and stored.
#include "InProcessService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace skrib::service::test {
namespace {

using Json = nlohmann::json;

// How many words of `reference` the recognised text lacks, in order.
std::size_t missingWords(const std::string& reference, const std::string& recognised) {
    std::istringstream expected(reference);
    std::size_t missing = 0;
    std::size_t at = 0;
    for (std::string word; expected >> word;) {
        if (const auto found = recognised.find(word, at); found != std::string::npos) {
            at = found + word.size();
        } else {
            ++missing;
        }
    }
    return missing;
}

struct SpeechCase {
    const char* name;
    bool m4a;
    bool vocabInProfile; // else in the upload
};

class SpeechTest : public testing::TestWithParam<SpeechCase> {};

TEST_P(SpeechTest, IsRecognisedRefinedAndStored) {
    const SpeechCase& c = GetParam();
    const std::string sentence = "please send the quarterly report to the finance team before friday";
    const std::string wav = speakWav(sentence);
    // The WAV at 44.1 kHz stereo, which must be mixed down and resampled; the M4A as the program
    // compresses it.
    const std::string audio =
        c.m4a ? wavToM4a(wav) : convertWithFfmpeg(wav, {"-ar", "44100", "-ac", "2", "-f", "wav"});
    InProcessService service(sharedPool());
    auto http = service.client();
    const httplib::Headers device = {{"x-device-id", "SPEECH"}};
    if (c.vocabInProfile) {
        ASSERT_EQ(http->Post("/profile", device, R"({"vocab":"Fryday"})", "application/json")->status,
                  200);
    }
    const Upload upload =
        buildUpload(audio, c.m4a, c.vocabInProfile ? std::nullopt : std::optional("Fryday"));
    const auto result = http->Post("/process", device, upload.body, upload.contentType().c_str());
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const Json body = Json::parse(result->body);
    const auto raw = body["raw"].get<std::string>();
    const auto refined = body["refined"].get<std::string>();
    EXPECT_LE(missingWords(sentence, raw), 2u) << "raw: " << raw;
    EXPECT_TRUE(refined.starts_with("Please ") && refined.ends_with(".")) << refined;
    EXPECT_NE(refined.find("Fryday"), std::string::npos) << "the vocabulary applies: " << refined;

    const Json stored = Json::parse(http->Get("/transcripts", device)->body)["transcripts"];
    ASSERT_EQ(stored.size(), 1u) << stored;
    EXPECT_EQ(stored[0]["id"], body["id"]);
    EXPECT_EQ(stored[0]["raw"], raw);
    EXPECT_EQ(stored[0]["refined"], refined);
}

INSTANTIATE_TEST_SUITE_P(Formats, SpeechTest,
                         testing::Values(SpeechCase{"Wav44kStereoWithProfileVocab", false, true},
                                         SpeechCase{"ProgramsM4aWithUploadVocab", true, false}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace skrib::service::test
