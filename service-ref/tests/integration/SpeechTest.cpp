// Decoding of real audio files and recognition of synthesised speech.
#include "AudioDecoder.h"
#include "PocketSphinxRecognizer.h"
#include "TestSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <iomanip>
#include <iostream>

namespace skrib::service::test {
namespace {

constexpr std::size_t tenMinutes = 600 * 16000;

std::vector<std::int16_t> decodeOrFail(const std::string& file) {
    auto decoded = decodeToRecognitionPcm(file, tenMinutes);
    if (auto* failure = std::get_if<DecodeFailure>(&decoded)) {
        ADD_FAILURE() << "decoding failed: " << failure->message;
        return {};
    }
    return std::get<std::vector<std::int16_t>>(std::move(decoded));
}

double seconds(const std::vector<std::int16_t>& samples) {
    return static_cast<double>(samples.size()) / recognitionSampleRate;
}

// Frequency from the count of upward zero crossings.
double frequency(const std::vector<std::int16_t>& samples) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            ++crossings;
        }
    }
    return crossings / seconds(samples);
}

double rms(const std::vector<std::int16_t>& samples) {
    double sum = 0;
    for (auto s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

// --- any rate and channel count becomes 16 kHz mono ------------------------------------------

struct ToneCase {
    int rate;
    int channels;
};

class DecodeToneTest : public testing::TestWithParam<ToneCase> {};

TEST_P(DecodeToneTest, KeepsDurationPitchAndLevel) {
    const auto [rate, channels] = GetParam();
    const Pcm tone = makeTone(440, 2.0, rate, channels, 0.5);
    const auto samples = decodeOrFail(makeWav(tone));
    ASSERT_FALSE(samples.empty());
    EXPECT_NEAR(seconds(samples), 2.0, 0.01);
    EXPECT_NEAR(frequency(samples), 440, 3);
    // Identical channels average to the same level; a plain sum would be 3 or 6 dB louder.
    EXPECT_NEAR(rms(samples), 0.5 * 32767 / std::sqrt(2.0), 0.03 * 32767 * 0.5);
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeToneTest,
                         testing::Values(ToneCase{8000, 1}, ToneCase{11025, 1}, ToneCase{16000, 1},
                                         ToneCase{16000, 2}, ToneCase{22050, 2}, ToneCase{44100, 1},
                                         ToneCase{44100, 2}, ToneCase{48000, 2}, ToneCase{96000, 1},
                                         ToneCase{48000, 6}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz" +
                                    std::to_string(info.param.channels) + "ch";
                         });

TEST(Decode, AveragesDifferentChannels) {
    Pcm stereo = makeTone(440, 1.0, 16000, 2, 0.5);
    for (std::size_t i = 1; i < stereo.samples.size(); i += 2) {
        stereo.samples[i] = 0; // right channel silent
    }
    const auto samples = decodeOrFail(makeWav(stereo));
    EXPECT_NEAR(rms(samples), 0.25 * 32767 / std::sqrt(2.0), 0.03 * 32767 * 0.25);
}

// --- files made by ffmpeg in the formats a client may send -----------------------------------

struct FileCase {
    const char* name;
    std::vector<std::string> ffmpegOptions;
    double tolerance; // seconds; AAC adds priming and padding
};

class DecodeFileTest : public testing::TestWithParam<FileCase> {};

TEST_P(DecodeFileTest, DecodesToTheSpeechsLength) {
    TempDir dir;
    const auto source = dir.path() / "speech.wav";
    writeFile(source, sentenceWav(1));
    const double expected = parseWav(sentenceWav(1)).seconds();
    const std::string file = convertWithFfmpeg(source.string(), GetParam().ffmpegOptions);
    const auto samples = decodeOrFail(file);
    EXPECT_NEAR(seconds(samples), expected, GetParam().tolerance);
    EXPECT_GT(rms(samples), 300) << "speech, not silence";
}

INSTANTIATE_TEST_SUITE_P(
    Files, DecodeFileTest,
    testing::Values(
        FileCase{"ProgramsM4a",
                 {"-c:a", "aac", "-b:a", "32k", "-ar", "16000", "-ac", "1", "-f", "ipod"},
                 0.15},
        FileCase{"M4aStereo44k",
                 {"-c:a", "aac", "-b:a", "96k", "-ar", "44100", "-ac", "2", "-f", "ipod"},
                 0.15},
        FileCase{"M4aFastStart",
                 {"-c:a", "aac", "-ar", "16000", "-movflags", "+faststart", "-f", "mp4"},
                 0.15},
        FileCase{"AlacM4a", {"-c:a", "alac", "-f", "ipod"}, 0.01},
        FileCase{
            "Wav24Bit44k", {"-c:a", "pcm_s24le", "-ar", "44100", "-ac", "2", "-f", "wav"}, 0.01},
        FileCase{"WavFloat48k", {"-c:a", "pcm_f32le", "-ar", "48000", "-f", "wav"}, 0.01},
        FileCase{"Wav8BitUnsigned8k", {"-c:a", "pcm_u8", "-ar", "8000", "-f", "wav"}, 0.01},
        FileCase{"WavMuLaw", {"-c:a", "pcm_mulaw", "-f", "wav"}, 0.01}),
    [](const auto& info) { return info.param.name; });

// --- files refused -----------------------------------------------------------------------------

struct RefusedCase {
    const char* name;
    std::string (*make)();
    const char* messageFragment;
};

class DecodeRefusedTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(DecodeRefusedTest, FailsWithAReason) {
    auto decoded = decodeToRecognitionPcm(GetParam().make(), tenMinutes);
    const auto* failure = std::get_if<DecodeFailure>(&decoded);
    ASSERT_NE(failure, nullptr) << "decoded " << std::get<0>(decoded).size() << " samples";
    EXPECT_NE(failure->message.find(GetParam().messageFragment), std::string::npos)
        << failure->message;
}

std::string converted(std::vector<std::string> options) {
    TempDir dir;
    writeFile(dir.path() / "in.wav", sentenceWav(1));
    return convertWithFfmpeg((dir.path() / "in.wav").string(), std::move(options));
}

INSTANTIATE_TEST_SUITE_P(
    Files, DecodeRefusedTest,
    testing::Values(RefusedCase{"Empty", [] { return std::string(); }, "could not be decoded"},
                    RefusedCase{"Text", [] { return std::string("hello, this is text"); },
                                "could not be decoded"},
                    RefusedCase{"RiffOnly", [] { return std::string("RIFF"); },
                                "could not be decoded"},
                    RefusedCase{"HalfAnM4aHeader", [] { return sentenceM4a(1).substr(0, 40); },
                                "could not be decoded"},
                    RefusedCase{"Flac",
                                [] {
                                    return converted({"-c:a", "flac", "-f", "flac"});
                                },
                                "could not be decoded"},
                    RefusedCase{"OggVorbisInDisguise",
                                [] {
                                    return converted({"-c:a", "libvorbis", "-f", "ogg"});
                                },
                                "could not be decoded"},
                    RefusedCase{"AdpcmInWav",
                                [] {
                                    return converted({"-c:a", "adpcm_ms", "-f", "wav"});
                                },
                                "unsupported audio codec"},
                    RefusedCase{"VideoOnlyMp4",
                                [] {
                                    TempDir dir;
                                    writeFile(dir.path() / "in.wav", sentenceWav(1));
                                    return convertWithFfmpeg((dir.path() / "in.wav").string(),
                                                             {"-f", "lavfi", "-i",
                                                              "color=c=black:s=16x16:d=1", "-map",
                                                              "1:v", "-c:v", "mpeg4", "-f", "mp4"});
                                },
                                "no audio stream"}),
    [](const auto& info) { return info.param.name; });

TEST(Decode, RefusesAudioLongerThanTheLimit) {
    const std::string wav = makeWav(makeTone(440, 3.0, 16000, 1, 0.5));
    auto decoded = decodeToRecognitionPcm(wav, 2 * 16000);
    const auto* failure = std::get_if<DecodeFailure>(&decoded);
    ASSERT_NE(failure, nullptr);
    EXPECT_NE(failure->message.find("too long"), std::string::npos) << failure->message;
    EXPECT_TRUE(
        std::holds_alternative<std::vector<std::int16_t>>(decodeToRecognitionPcm(wav, 3 * 16000)))
        << "exactly at the limit passes";
}

TEST(Decode, KeepsWhatATruncatedWavHolds) {
    const std::string wav = makeWav(makeTone(440, 2.0, 16000, 1, 0.5));
    const auto samples = decodeOrFail(wav.substr(0, 44 + 16000 * 2)); // header claims 2 s
    EXPECT_NEAR(seconds(samples), 1.0, 0.01);
}

// --- recognition ---------------------------------------------------------------------------

PocketSphinxRecognizer& recognizer() {
    static std::unique_ptr<PocketSphinxRecognizer> instance = [] {
        std::string error;
        auto loaded = PocketSphinxRecognizer::load(SKRIB_SPHINX_MODEL_DIR, error);
        if (!loaded) {
            throw std::runtime_error(error);
        }
        return loaded;
    }();
    return *instance;
}

struct WerCase {
    const char* name;
    std::string (*encode)(std::size_t sentence);
    double maxWordErrorRate;
};

class WordErrorRateTest : public testing::TestWithParam<WerCase> {};

TEST_P(WordErrorRateTest, RecognisesFliteSpeech) {
    std::size_t errors = 0;
    std::size_t words = 0;
    for (std::size_t i = 0; i < testSentences().size(); ++i) {
        const auto samples = decodeOrFail(GetParam().encode(i));
        const auto text = recognizer().recognize(samples);
        ASSERT_TRUE(text.has_value());
        const std::size_t e = wordErrors(testSentences()[i], *text);
        errors += e;
        words += normalizedWords(testSentences()[i]).size();
        if (e > 0) {
            std::cout << "  [" << GetParam().name << "] \"" << testSentences()[i] << "\" -> \""
                      << *text << "\"\n";
        }
    }
    const double rate = static_cast<double>(errors) / static_cast<double>(words);
    std::cout << "  word error rate " << GetParam().name << ": " << std::fixed
              << std::setprecision(1) << rate * 100 << "% (" << errors << " of " << words
              << " words)\n";
    RecordProperty("word_error_rate_percent", std::to_string(rate * 100));
    EXPECT_LE(rate, GetParam().maxWordErrorRate);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, WordErrorRateTest,
    testing::Values(WerCase{"Wav16kMono", [](std::size_t i) { return sentenceWav(i); }, 0.10},
                    WerCase{"Wav44kStereo",
                            [](std::size_t i) {
                                TempDir dir;
                                writeFile(dir.path() / "in.wav", sentenceWav(i));
                                return convertWithFfmpeg((dir.path() / "in.wav").string(),
                                                         {"-ar", "44100", "-ac", "2", "-f", "wav"});
                            },
                            0.10},
                    WerCase{"M4aAac32k", [](std::size_t i) { return sentenceM4a(i); }, 0.15}),
    [](const auto& info) { return info.param.name; });

TEST(Recognition, SilenceGivesNoWords) {
    const std::vector<std::int16_t> silence(16000 * 2, 0);
    const auto text = recognizer().recognize(silence);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "");
}

TEST(Recognition, RefusesAMissingModel) {
    std::string error;
    EXPECT_FALSE(PocketSphinxRecognizer::load("/nonexistent/model", error));
    EXPECT_NE(error.find("speech model file missing"), std::string::npos) << error;
}

} // namespace
} // namespace skrib::service::test
