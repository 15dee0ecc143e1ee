#include "audio/DictationSession.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace skrib {
namespace {

constexpr std::size_t headerSize = 44;

// The 32-bit RIFF size field holds dataSize + 36, which bounds the sample count.
constexpr std::uint64_t maxWAVSamples = (std::numeric_limits<std::uint32_t>::max() - 36) / 2;

void putU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

void putU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void writeHeader(std::uint8_t* p, std::uint32_t dataSize) {
    std::memcpy(p + 0, "RIFF", 4);
    putU32(p + 4, dataSize + 36);
    std::memcpy(p + 8, "WAVE", 4);
    std::memcpy(p + 12, "fmt ", 4);
    putU32(p + 16, 16);    // format chunk size
    putU16(p + 20, 1);     // integer PCM
    putU16(p + 22, 1);     // channels
    putU32(p + 24, 16000); // sample rate
    putU32(p + 28, 32000); // byte rate
    putU16(p + 32, 2);     // block align
    putU16(p + 34, 16);    // bits per sample
    std::memcpy(p + 36, "data", 4);
    putU32(p + 40, dataSize);
}

// Writes 2 bytes per sample, little-endian.
void convertSamples(const float* in, std::size_t n, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        float x = in[i];
        x = (x == x) ? x : 0.0f; // NaN -> 0
        x = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
        const auto v = static_cast<std::int16_t>(x * 32767.0f); // truncates towards zero
        const auto u = static_cast<std::uint16_t>(v);
        out[2 * i] = static_cast<std::uint8_t>(u);
        out[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
}

} // namespace

void DictationSession::appendSamples(std::span<const float> samples) {
    std::lock_guard lock(mutex_);
    std::size_t offset = 0;
    while (offset < samples.size()) {
        const auto used = static_cast<std::size_t>(count_ % static_cast<std::int64_t>(chunkSize));
        if (used == 0 && static_cast<std::size_t>(count_) / chunkSize == chunks_.size()) {
            chunks_.push_back(std::make_unique_for_overwrite<float[]>(chunkSize));
        }
        const std::size_t n = std::min(chunkSize - used, samples.size() - offset);
        std::memcpy(chunks_.back().get() + used, samples.data() + offset, n * sizeof(float));
        offset += n;
        count_ += static_cast<std::int64_t>(n);
    }
}

std::int64_t DictationSession::sampleCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

double DictationSession::durationSeconds() const {
    return static_cast<double>(sampleCount()) / sampleRate;
}

std::vector<float> DictationSession::samples() const {
    std::lock_guard lock(mutex_);
    std::vector<float> result;
    result.reserve(static_cast<std::size_t>(count_));
    auto remaining = static_cast<std::size_t>(count_);
    for (const auto& chunk : chunks_) {
        const std::size_t n = std::min(remaining, chunkSize);
        result.insert(result.end(), chunk.get(), chunk.get() + n);
        remaining -= n;
    }
    return result;
}

std::vector<std::uint8_t> DictationSession::getWAVData() const {
    std::lock_guard lock(mutex_);
    return encodeWAV();
}

std::vector<std::uint8_t> DictationSession::encodeWAV() const {
    // Samples beyond what the size fields can describe are left out rather than producing a
    // file whose header wraps around.
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count_), maxWAVSamples));
    std::vector<std::uint8_t> wav(headerSize + 2 * n);
    writeHeader(wav.data(), static_cast<std::uint32_t>(2 * n));
    std::uint8_t* out = wav.data() + headerSize;
    std::size_t remaining = n;
    for (const auto& chunk : chunks_) {
        if (remaining == 0) {
            break;
        }
        const std::size_t k = std::min(remaining, chunkSize);
        convertSamples(chunk.get(), k, out);
        out += 2 * k;
        remaining -= k;
    }
    return wav;
}

std::vector<std::uint8_t> DictationSession::encodeWAV(std::span<const float> samples) {
    const std::size_t n = std::min<std::size_t>(samples.size(), maxWAVSamples);
    std::vector<std::uint8_t> wav(headerSize + 2 * n);
    writeHeader(wav.data(), static_cast<std::uint32_t>(2 * n));
    convertSamples(samples.data(), n, wav.data() + headerSize);
    return wav;
}

} // namespace skrib
