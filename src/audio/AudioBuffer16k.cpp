#include "audio/AudioBuffer16k.h"

#include <cmath>

namespace skrib {

float AudioBuffer16k::rmsLevel() const {
    if (samples_.empty()) {
        return 0.0f;
    }
    float sum = 0.0f;
    for (const float s : samples_) {
        sum += s * s;
    }
    return std::sqrt(sum / static_cast<float>(samples_.size()));
}

} // namespace skrib
