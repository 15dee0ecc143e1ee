#include "Speech.h"

#include "PulseDaemon.h"

#include <cmath>
#include <fstream>
#include <iterator>

namespace skrib::testing {

std::optional<Speech> Speech::make(const std::string& folder, const std::string& text,
                                   unsigned rate, unsigned channels) {
    const std::string wav = folder + "/speech.wav";
    const std::string raw =
        folder + "/speech-" + std::to_string(rate) + "-" + std::to_string(channels) + ".raw";
    if (runCommand({"flite", "-voice", "rms", "-t", text, "-o", wav}).status != 0) {
        return std::nullopt;
    }
    std::vector<std::string> sox{"sox", wav,
                                 "-t",  "raw",
                                 "-r",  std::to_string(rate),
                                 "-c",  std::to_string(channels),
                                 "-b",  "16",
                                 "-e",  "signed",
                                 "-L",  raw};
    if (channels == 2) {
        sox.insert(sox.end(), {"remix", "1", "1v0.5"});
    }
    if (runCommand(sox).status != 0) {
        return std::nullopt;
    }
    std::ifstream in(raw, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    Speech speech;
    speech.rate = rate;
    speech.channels = channels;
    speech.samples.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < speech.samples.size(); ++i) {
        const auto low = static_cast<unsigned char>(bytes[2 * i]);
        const auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
        speech.samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | high << 8));
    }
    if (speech.frames() == 0) {
        return std::nullopt;
    }
    return speech;
}

void Speech::appendSilence(double seconds) {
    samples.resize(samples.size() + static_cast<std::size_t>(seconds * rate) * channels, 0);
}

double Speech::rms(unsigned channel, std::size_t count) const {
    double sum = 0;
    for (std::size_t frame = 0; frame < count && frame < frames(); ++frame) {
        const double value = samples[frame * channels + channel] / 32768.0;
        sum += value * value;
    }
    return count == 0 ? 0 : std::sqrt(sum / static_cast<double>(count));
}

double rms(const std::vector<float>& interleaved, unsigned channels, unsigned channel,
           std::size_t frames) {
    double sum = 0;
    for (std::size_t frame = 0; frame < frames && frame * channels + channel < interleaved.size();
         ++frame) {
        const double value = interleaved[frame * channels + channel];
        sum += value * value;
    }
    return frames == 0 ? 0 : std::sqrt(sum / static_cast<double>(frames));
}

} // namespace skrib::testing
