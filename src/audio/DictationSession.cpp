#include "audio/DictationSession.h"

#include <algorithm>
#include <bit>
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

std::int16_t toSample(float x) {
    x = (x == x) ? x : 0.0f; // NaN -> 0
    x = x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
    return static_cast<std::int16_t>(x * 32767.0f); // truncates towards zero
}

} // namespace

DictationSession::DictationSession(std::unique_ptr<AudioEncoder> encoder)
    : encoder_(std::move(encoder)) {}

DictationSession::~DictationSession() {
    encoder_.reset(); // while the samples its `finished` may read are still here
}

void DictationSession::appendSamples(std::span<const float> samples) {
    std::lock_guard lock(mutex_);
    std::size_t offset = 0;
    while (offset < samples.size()) {
        const auto used = static_cast<std::size_t>(count_ % static_cast<std::int64_t>(chunkSize));
        if (used == 0 && static_cast<std::size_t>(count_) / chunkSize == chunks_.size()) {
            chunks_.push_back(std::make_unique_for_overwrite<std::int16_t[]>(chunkSize));
        }
        const std::size_t n = std::min(chunkSize - used, samples.size() - offset);
        std::int16_t* out = chunks_.back().get() + used;
        std::transform(samples.data() + offset, samples.data() + offset + n, out, toSample);
        if (encoder_) {
            encoder_->append(std::span<const std::int16_t>(out, n));
        }
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

std::size_t DictationSession::wavSize() const {
    // Samples beyond what the size fields can describe are left out rather than producing a
    // file whose header wraps around.
    return headerSize + 2 * static_cast<std::size_t>(std::min<std::uint64_t>(
                                static_cast<std::uint64_t>(sampleCount()), maxWAVSamples));
}

std::string DictationSession::getWAVData() const {
    std::lock_guard lock(mutex_);
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count_), maxWAVSamples));
    std::string wav(headerSize + 2 * n, '\0');
    auto* out = reinterpret_cast<std::uint8_t*>(wav.data());
    writeHeader(out, static_cast<std::uint32_t>(2 * n));
    out += headerSize;
    for (std::size_t c = 0, remaining = n; remaining > 0; ++c) {
        const std::size_t k = std::min(remaining, chunkSize);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out, chunks_[c].get(), 2 * k);
        } else {
            for (std::size_t i = 0; i < k; ++i) {
                putU16(out + 2 * i, static_cast<std::uint16_t>(chunks_[c][i]));
            }
        }
        out += 2 * k;
        remaining -= k;
    }
    return wav;
}

void DictationSession::finishEncoding(AudioEncoder::Finished finished) {
    if (encoder_) {
        encoder_->finish(std::move(finished));
    } else {
        finished(std::nullopt, {});
    }
}

void DictationSession::discardSamples() {
    std::lock_guard lock(mutex_);
    chunks_.clear();
    count_ = 0;
}

} // namespace skrib
