// Speed and accuracy of the service over loopback HTTP against an in-process server with real
// recognition and the default two workers:
// - the response time of /process for 5 s, 30 s and 600 s of speech (and, with --with-hour, for
//   3600 s), WAV and M4A, with the word error rate of that recognition;
// - the word error rate over a corpus of dictated sentences, each uploaded alone;
// - decoding alone, and the request rate of /update/check.
// Speech is flite's "rms" voice; longer speech repeats the corpus sentences with pauses between.
#include "AudioDecoder.h"
#include "TestSupport.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <csignal>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

using namespace skrib::service;
using namespace skrib::service::test;

namespace {

const std::vector<std::string> corpus = {
    "please send the quarterly report to the finance team before the meeting on friday",
    "the meeting has been moved to thursday afternoon",
    "i will call you back in ten minutes",
    "we need to buy more coffee for the office",
    "can you book a table for four people at seven",
    "the train leaves the station at half past eight",
    "remind me to water the plants on sunday morning",
    "my flight was delayed by two hours because of the weather",
    "the new design looks much better than the old one",
    "please review the changes before the end of the day",
    "she bought a red bicycle from the shop around the corner",
    "the children are playing in the garden after school",
    "we should update the documentation for the next release",
    "the doctor said i need to rest for a few days",
    "turn left at the traffic lights and park behind the bank",
    "our team won the game by three points last night",
    "the library closes early on public holidays",
    "send me the address of the hotel when you arrive",
    "the price of fresh fruit has gone up this year",
    "he forgot his umbrella on the bus this morning",
    "let us discuss the budget at the next board meeting",
    "the printer on the second floor is out of paper",
    "thank you for your help with the project",
    "the server will be restarted at midnight for maintenance",
};

constexpr std::size_t pauseSamples = recognitionSampleRate * 6 / 10; // between sentences

std::vector<std::int16_t> decode(const std::string& file) {
    return std::get<std::vector<std::int16_t>>(decodeToRecognitionPcm(file, 7200 * 16000));
}

// A 16 kHz mono 16-bit WAV file of `samples`.
std::string wavFile(const std::vector<std::int16_t>& samples) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::string file;
    auto u32 = [&file](std::uint32_t v) { file.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&file](std::uint16_t v) { file.append(reinterpret_cast<const char*>(&v), 2); };
    file += "RIFF";
    u32(36 + dataBytes);
    file += "WAVEfmt ";
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(recognitionSampleRate);
    u32(recognitionSampleRate * 2);
    u16(2);
    u16(16);
    file += "data";
    u32(dataBytes);
    file.append(reinterpret_cast<const char*>(samples.data()), dataBytes);
    return file;
}

const std::vector<std::int16_t>& spoken(std::size_t sentence) {
    static std::map<std::size_t, std::vector<std::int16_t>> cache;
    auto it = cache.find(sentence);
    if (it == cache.end()) {
        it = cache.emplace(sentence, decode(speakWav(corpus[sentence]))).first;
    }
    return it->second;
}

struct Speech {
    std::string reference;
    std::string file; // WAV or M4A
    Upload upload;
};

// `seconds` of speech: corpus sentences in turn with pauses, as long as they fit, then silence.
const Speech& speech(int seconds, bool m4a) {
    static std::map<std::pair<int, bool>, Speech> cache;
    auto it = cache.find({seconds, m4a});
    if (it != cache.end()) {
        return it->second;
    }
    const std::size_t total = static_cast<std::size_t>(seconds) * recognitionSampleRate;
    std::vector<std::int16_t> samples;
    std::string reference;
    for (std::size_t i = 0;; ++i) {
        const auto& sentence = spoken(i % corpus.size());
        if (samples.size() + sentence.size() > total) {
            break;
        }
        samples.insert(samples.end(), sentence.begin(), sentence.end());
        samples.resize(std::min(total, samples.size() + pauseSamples));
        reference += corpus[i % corpus.size()] + " ";
    }
    samples.resize(total);
    Speech made{reference, wavFile(samples), {}};
    if (m4a) {
        made.file = wavToM4a(made.file);
    }
    made.upload = buildUpload(made.file, m4a, "Qorin, Vantu Skrib");
    return cache.emplace(std::pair{seconds, m4a}, std::move(made)).first->second;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

// Word-level edit distance of `hypothesis` from `reference`.
std::size_t wordErrors(const std::string& reference, const std::string& hypothesis) {
    const auto r = words(reference);
    const auto h = words(hypothesis);
    std::vector<std::size_t> row(h.size() + 1);
    for (std::size_t j = 0; j <= h.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= r.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= h.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (r[i - 1] != h[j - 1])});
            diagonal = above;
        }
    }
    return row[h.size()];
}

InProcessService& service() {
    static WorkPool pool = loadPool(2, 4);
    ServiceConfig config;
    config.httpThreads = 16;
    static InProcessService instance(
        pool, config, ReleaseManifest{"1.4.0", "https://downloads.test/a.dmg", "", {}});
    return instance;
}

// The recognised words of one upload, or nothing after marking `state` failed.
std::optional<std::string> process(benchmark::State& state, httplib::Client& client,
                                   const Upload& upload) {
    const auto result = client.Post("/process", {{"x-device-id", "BENCH"}}, upload.body,
                                    upload.contentType().c_str());
    if (!result || result->status != 200) {
        state.SkipWithError(
            ("the upload failed: " + (result ? std::to_string(result->status) + " " + result->body
                                             : httplib::to_string(result.error())))
                .c_str());
        return std::nullopt;
    }
    return nlohmann::json::parse(result->body)["raw"].get<std::string>();
}

std::unique_ptr<httplib::Client> longClient() {
    auto client = service().client();
    client->set_keep_alive(true);
    client->set_read_timeout(7200);
    client->set_write_timeout(600);
    return client;
}

void BM_Process(benchmark::State& state) {
    const auto seconds = static_cast<int>(state.range(0));
    const bool m4a = state.range(1) != 0;
    const Speech& input = speech(seconds, m4a);
    auto client = longClient();
    std::string raw;
    for (auto _ : state) {
        const auto words = process(state, *client, input.upload);
        if (!words) {
            return;
        }
        raw = *words;
    }
    state.counters["WER_%"] = 100.0 * static_cast<double>(wordErrors(input.reference, raw)) /
                              static_cast<double>(words(input.reference).size());
    state.counters["MB"] = static_cast<double>(input.upload.body.size()) / 1e6;
    state.SetLabel(std::to_string(seconds) + " s " + (m4a ? "M4A" : "WAV"));
}
BENCHMARK(BM_Process)
    ->ArgNames({"seconds", "m4a"})
    ->Args({5, 0})
    ->Args({5, 1})
    ->Args({30, 0})
    ->Args({30, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);
BENCHMARK(BM_Process)
    ->ArgNames({"seconds", "m4a"})
    ->Args({600, 0})
    ->Args({600, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// Every corpus sentence uploaded alone; the word error rate over all of them.
void BM_WordErrorRate(benchmark::State& state) {
    const bool m4a = state.range(0) != 0;
    std::vector<Upload> uploads;
    std::size_t referenceWords = 0;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        const std::string wav = wavFile(spoken(i));
        uploads.push_back(buildUpload(m4a ? wavToM4a(wav) : wav, m4a, {}));
        referenceWords += words(corpus[i]).size();
    }
    auto client = longClient();
    std::size_t errors = 0;
    for (auto _ : state) {
        errors = 0;
        for (std::size_t i = 0; i < corpus.size(); ++i) {
            const auto raw = process(state, *client, uploads[i]);
            if (!raw) {
                return;
            }
            errors += wordErrors(corpus[i], *raw);
        }
    }
    state.counters["WER_%"] =
        100.0 * static_cast<double>(errors) / static_cast<double>(referenceWords);
    state.SetLabel(std::to_string(corpus.size()) + " sentences, " + std::to_string(referenceWords) +
                   " words, " + (m4a ? "M4A" : "WAV"));
}
BENCHMARK(BM_WordErrorRate)
    ->ArgName("m4a")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// Decoding alone, to tell it apart from recognition in the figures above.
void BM_Decode(benchmark::State& state) {
    const auto seconds = static_cast<int>(state.range(0));
    const bool m4a = state.range(1) != 0;
    const std::string& file = speech(seconds, m4a).file;
    for (auto _ : state) {
        auto decoded = decodeToRecognitionPcm(file, 7200 * 16000);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["x_real_time"] =
        benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::to_string(seconds) + " s " + (m4a ? "M4A" : "WAV"));
}
BENCHMARK(BM_Decode)
    ->ArgNames({"seconds", "m4a"})
    ->Args({30, 0})
    ->Args({30, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_UpdateCheck(benchmark::State& state) {
    const bool keepAlive = state.range(0) != 0;
    auto client = service().client();
    client->set_keep_alive(keepAlive);
    for (auto _ : state) {
        const auto result = client->Get("/update/check?v=1.3.0");
        if (!result || result->status != 200) {
            state.SkipWithError("the check failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(keepAlive ? "one connection" : "a connection per request");
}
BENCHMARK(BM_UpdateCheck)
    ->ArgName("keep_alive")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(4);

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // An hour of speech takes minutes to make and recognise: only when asked for.
    const auto hour = std::find(argv + 1, argv + argc, std::string("--with-hour"));
    if (hour != argv + argc) {
        std::rotate(hour, hour + 1, argv + argc);
        --argc;
        BENCHMARK(BM_Process)
            ->ArgNames({"seconds", "m4a"})
            ->Args({3600, 0})
            ->Args({3600, 1})
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    service(); // load the models before anything is timed
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
