#include "state/AppState.h"

#include <array>
#include <utility>

namespace skrib {
namespace {

constexpr std::array<std::pair<SkribState, std::string_view>, 4> rawValues{{
    {SkribState::idle, "idle"},
    {SkribState::listening, "listening"},
    {SkribState::processing, "processing"},
    {SkribState::error, "error"},
}};

} // namespace

std::string_view AppState::rawValue(SkribState state) {
    for (const auto& [s, raw] : rawValues) {
        if (s == state) {
            return raw;
        }
    }
    return "idle";
}

std::optional<SkribState> AppState::stateFromRawValue(std::string_view raw) {
    for (const auto& [s, value] : rawValues) {
        if (value == raw) {
            return s;
        }
    }
    return std::nullopt;
}

AppState& AppState::shared() {
    static auto* instance = new AppState; // never destroyed: observers may outlive main()
    return *instance;
}

} // namespace skrib
