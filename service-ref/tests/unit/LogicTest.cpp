// The service's own logic: upload form, transcript text, manifests, work pool, pause splitting.
#include "Refiner.h"
#include "ReleaseManifest.h"
#include "Segmenter.h"
#include "UploadForm.h"
#include "Vocabulary.h"
#include "WorkPool.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

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

// What a recognised transcript becomes: the device's vocabulary applied, then its style.
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

struct ManifestCase {
    const char* name;
    std::string json;
    const char* client;
    std::optional<bool> update; // nothing: the manifest is refused
    std::string signature = ""; // offered with the update
    std::optional<std::uint64_t> size = {};
};

class ReleaseManifestTest : public testing::TestWithParam<ManifestCase> {};

TEST_P(ReleaseManifestTest, OffersOnlyANewerRelease) {
    const ManifestCase& c = GetParam();
    std::string error;
    const auto manifest = parseReleaseManifest(c.json, error);
    ASSERT_EQ(manifest.has_value(), c.update.has_value()) << error;
    if (!manifest) {
        EXPECT_FALSE(error.empty());
        return;
    }
    const UpdateAnswer answer = checkForUpdate(manifest, c.client);
    EXPECT_EQ(answer.updateAvailable, *c.update);
    EXPECT_EQ(answer.latest, manifest->latest);
    EXPECT_EQ(answer.downloadUrl, *c.update ? manifest->downloadUrl : std::string());
    EXPECT_EQ(answer.signature, c.signature);
    EXPECT_EQ(answer.size, c.size);
}

struct SilentRecognizer : SpeechRecognizer {
    std::optional<std::string> recognize(std::span<const std::int16_t>) override { return ""; }
};

class WorkPoolTest : public testing::TestWithParam<std::pair<int, std::size_t>> {};

// Jobs that block until released fill the workers, each on its own recognizer, then the queue;
// one more is refused; every accepted job runs.
TEST_P(WorkPoolTest, RunsOneJobPerWorkerAtOnceAndRefusesBeyondTheQueue) {
    const auto [workers, queue] = GetParam();
    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
    for (int i = 0; i < workers; ++i) {
        recognizers.push_back(std::make_unique<SilentRecognizer>());
    }
    WorkPool pool(std::move(recognizers), queue);
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<int> entered{0};
    std::mutex mutex;
    std::set<SpeechRecognizer*> inUse;
    const auto job = [&](SpeechRecognizer& r) {
        {
            std::lock_guard lock(mutex);
            inUse.insert(&r);
        }
        ++entered;
        opened.wait();
    };
    const std::size_t capacity = static_cast<std::size_t>(workers) + queue;
    for (std::size_t i = 0; i < capacity; ++i) {
        EXPECT_TRUE(pool.trySubmit(job)) << "job " << i << " of " << capacity;
    }
    EXPECT_FALSE(pool.trySubmit(job));
    while (entered < workers) {
        std::this_thread::yield();
    }
    EXPECT_EQ(pool.running(), static_cast<std::size_t>(workers));
    EXPECT_EQ(pool.queued(), queue);
    EXPECT_EQ(inUse.size(), static_cast<std::size_t>(workers));
    EXPECT_FALSE(pool.trySubmit(job)) << "still full once the workers have started";
    open.set_value();
    pool.shutdown();
    EXPECT_EQ(entered, static_cast<int>(capacity)) << "every accepted job ran";
    EXPECT_FALSE(pool.trySubmit(job)) << "nothing is accepted after shutdown";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkPoolTest,
                         testing::Values(std::pair{1, 0u}, std::pair{1, 3u}, std::pair{3, 0u},
                                         std::pair{2, 2u}));

// A recording of pieces of a square wave ("speech") and of silence, over a steady hiss.
struct SplitCase {
    const char* name;
    std::vector<std::pair<int, int>> pieces; // amplitude (0: silence), milliseconds
    std::size_t maxMs, stretches;
    int hiss = 0;
    std::size_t cutsInSpeech = 0; // where there is no gap to cut at
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

// Stretches come in order, hold every sample of speech and little silence, are not much longer
// than asked, and are cut inside speech only where it has no gap.
TEST_P(SplitTest, CutsAtPausesNeverInsideSpeech) {
    const SplitCase& c = GetParam();
    std::vector<std::int16_t> samples;
    std::vector<bool> speech;
    for (const auto& [amplitude, ms] : c.pieces) {
        for (int i = 0; i < ms * 16; ++i) {
            const int hiss = i * 7919 % (2 * c.hiss + 1) - c.hiss;
            samples.push_back(static_cast<std::int16_t>(amplitude * (i / 20 % 2 * 2 - 1) + hiss));
            speech.push_back(amplitude != 0);
        }
    }
    const auto spans = splitAtPauses(samples, c.maxMs * 16);
    ASSERT_EQ(spans.size(), c.stretches);
    std::size_t end = 0, silenceKept = 0, cutsInSpeech = 0;
    for (const AudioSpan& span : spans) {
        ASSERT_TRUE(span.begin >= end && span.end > span.begin && span.end <= samples.size());
        EXPECT_EQ(std::count(speech.begin() + end, speech.begin() + span.begin, true), 0);
        silenceKept += std::count(speech.begin() + span.begin, speech.begin() + span.end, false);
        cutsInSpeech += span.begin == end && end > 0 && speech[end - 1] && speech[end] ? 1 : 0;
        EXPECT_LE(span.size(), c.maxMs * 16 * 3 / 2);
        end = span.end;
    }
    EXPECT_EQ(std::count(speech.begin() + end, speech.end(), true), 0);
    EXPECT_LE(silenceKept, spans.size() * 300 * 16) << "long silences are left out";
    EXPECT_EQ(cutsInSpeech, c.cutsInSpeech);
}

std::string release(const char* latest, const char* url = "https://x.test/a.dmg",
                    const std::string& more = "") {
    return std::string(R"({"latest":")") + latest + R"(","download_url":")" + url + "\"" + more +
           "}";
}
const std::string signature = std::string(84, 'A') + "Ag==",
                  signed_ = R"(,"size":1234,"signature":")" + signature + "\"";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, UploadFormTest, testing::Values(
    FormCase{"TheProgramsThreeParts", {{"audio", std::string("RIFF\0\x01\xFF", 7)}, {"vocab", "a, b"}, {"source", "dictation"}}, nullptr},
    FormCase{"UnknownPartSkippedNotStored", {{"extra", std::string(1000, 'x')}, {"audio", "a"}}, nullptr},
    FormCase{"AudioExactlyAtTheLimit", {{"audio", std::string(100, 'a')}}, nullptr},
    FormCase{"AudioOverTheLimit", {{"audio", std::string(101, 'a')}}, "too large"},
    FormCase{"VocabOverTheLimit", {{"vocab", std::string(11, 'v')}}, "too large"},
    FormCase{"RepeatedAudio", {{"audio", "a"}, {"audio", "b"}}, "more than once"},
    FormCase{"UnnamedPart", {{"", "x"}}, "no name"},
    FormCase{"TooManyParts", {{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}, {"e", ""}}, "too many"},
    FormCase{"VocabNotUtf8", {{"vocab", "caf\xE9"}}, "UTF-8"},
    FormCase{"OverlongUtf8InAnEarlierPart", {{"source", "\xC0\xAF"}, {"audio", "x"}}, "UTF-8"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Texts, TranscriptTextTest, testing::Values(
    TextCase{"ProfessionalEverySentence", "professional", "", "it works. does it? yes! fine", "It works. Does it? Yes! Fine."},
    TextCase{"ProfessionalPronounI", "professional", "", "i'm sure i'll go and i said it", "I'm sure I'll go and I said it."},
    TextCase{"ProfessionalWordsStartingWithI", "professional", "", "it is in italy", "It is in italy."},
    TextCase{"ProfessionalInsideClosingQuote", "professional", "", "he said \"hello\"", "He said \"hello.\""},
    TextCase{"CasualLowersAndDropsFullStop", "casual", "", "Send The REPORT.", "send the report"},
    TextCase{"CasualKeepsEllipsisAndQuestion", "casual", "", "Well... Coming?", "well... coming?"},
    TextCase{"MinimalOnlyTidiesSpaces", "minimal", "", "  keep   THIS , ok ?", "keep THIS, ok?"},
    TextCase{"VocabularyEntriesTrimmed", "minimal", " Alpha ,\t,Beta\t, ,", "alpha beta", "Alpha Beta"},
    TextCase{"OneEditOnAMediumWord", "minimal", "Qorin", "(korin), yes.", "(Qorin), yes."},
    TextCase{"TwoEditsOnALongWord", "minimal", "Anthropology", "antropolgy", "Anthropology"},
    TextCase{"ThreeEditsTooFar", "minimal", "Anthropology", "antropolgi", "antropolgi"},
    TextCase{"SplitWordsJoin", "minimal", "PocketSphinx", "use pocket sphinx", "use PocketSphinx"},
    TextCase{"NoJoinAcrossPunctuation", "minimal", "PocketSphinx", "a pocket, sphinx", "a pocket, sphinx"},
    TextCase{"MultiWordEntry", "minimal", "Vantu Skrib", "open vantu scrib", "open Vantu Skrib"},
    TextCase{"ClosestEntryWins", "minimal", "Marta, Martha", "call martha", "call Martha"},
    TextCase{"VocabularyThenStyle", "professional", "Friday", "before fryday", "Before Friday."}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Manifests, ReleaseManifestTest, testing::Values(
    ManifestCase{"OlderClient", release("1.4.0"), "1.3.9", true},
    ManifestCase{"SameClient", release("1.4.0"), "1.4.0", false},
    ManifestCase{"SameShortForm", release("1.4.0"), "1.4", false},
    ManifestCase{"NewerByNumberNotText", release("1.4.0"), "1.10.0", false},
    ManifestCase{"ClientNotAVersion", release("1.4.0"), "warm", false},
    ManifestCase{"ClientFiveComponents", release("2.0"), "1.2.3.4.5", false},
    ManifestCase{"ExtraMembersIgnored", R"({"latest":"1.4","download_url":"http://x.test/a","notes":[1]})", "1.3", true},
    ManifestCase{"NotJson", "latest=1.4", "1.0", {}},
    ManifestCase{"Array", R"(["1.4.0"])", "1.0", {}},
    ManifestCase{"LatestMissing", R"({"download_url":"https://x.test/a"})", "1.0", {}},
    ManifestCase{"LatestNumber", R"({"latest":1.4,"download_url":"https://x.test/a"})", "1.0", {}},
    ManifestCase{"LatestEmptyComponent", release("1..2"), "1.0", {}},
    ManifestCase{"LatestComponentTooLong", release("1000000000.0"), "1.0", {}},
    ManifestCase{"UrlNotHttp", release("1.4.0", "file:///etc/passwd"), "1.0", {}},
    ManifestCase{"UrlWithSpace", release("1.4.0", "https://x.test/a b"), "1.0", {}},
    ManifestCase{"UrlWithoutHost", release("1.4.0", "https:///x"), "1.0", {}},
    ManifestCase{"SignedOffered", release("1.4", "https://x.test/a", signed_), "1.3", true, signature, 1234},
    ManifestCase{"SignedNotOfferedWhenCurrent", release("1.4", "https://x.test/a", signed_), "1.4", false},
    ManifestCase{"SignatureShort", release("1.4", "https://x.test/a", R"(,"signature":")" + signature.substr(4) + "\""), "1.0", {}},
    ManifestCase{"SignatureNotBase64", release("1.4", "https://x.test/a", R"(,"signature":"!)" + signature.substr(1) + "\""), "1.0", {}},
    ManifestCase{"SizeZero", release("1.4", "https://x.test/a", R"(,"size":0)"), "1.0", {}},
    ManifestCase{"SizeFraction", release("1.4", "https://x.test/a", R"(,"size":1.5)"), "1.0", {}}),
    [](const auto& info) { return info.param.name; });

const std::vector<std::pair<int, int>> threeSentences = {{0, 2000}, {3000, 1000}, {0, 400}, {3000, 700}, {0, 2000}, {3000, 500}, {0, 1000}};
INSTANTIATE_TEST_SUITE_P(Recordings, SplitTest, testing::Values(
    SplitCase{"Silence", {{0, 2000}}, 20000, 0},
    SplitCase{"WordGapIsNoPause", {{0, 300}, {3000, 1000}, {0, 100}, {3000, 1000}, {0, 300}}, 20000, 1},
    SplitCase{"PausesSeparate", threeSentences, 20000, 3},
    SplitCase{"PausesInHiss", threeSentences, 20000, 3, 300},
    SplitCase{"LongSpeechCutInItsGap", {{3000, 4500}, {0, 60}, {3000, 3500}}, 5000, 2},
    SplitCase{"LongSpeechWithoutGap", {{3000, 10000}}, 4000, 3, 0, 2}),
    [](const auto& info) { return info.param.name; });
// clang-format on

} // namespace
} // namespace skrib::service
