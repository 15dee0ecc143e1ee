#pragma once

#include "platform/Observable.h"

#include <optional>
#include <string>
#include <string_view>

namespace skrib {

/// What the dictation machinery is doing right now, for everyone to watch. The dictation
/// controller writes `state` and `isDictating` (on the main thread); the capture manager writes
/// `currentMicName` (on whatever thread finds the device).
class AppState {
public:
    enum class SkribState { idle, listening, processing, error };

    /// The state's raw value: "idle", "listening", "processing" or "error".
    static std::string_view rawValue(SkribState state);
    /// The state with exactly this raw value, or none.
    static std::optional<SkribState> stateFromRawValue(std::string_view raw);

    /// The program's one instance, created on first use and never destroyed.
    static AppState& shared();

    AppState() = default;
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    Observable<SkribState> state{SkribState::idle};
    Observable<std::optional<std::string>> currentMicName{std::nullopt};
    Observable<bool> isDictating{false};
};

using SkribState = AppState::SkribState;

} // namespace skrib
