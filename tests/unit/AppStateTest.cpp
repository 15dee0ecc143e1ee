#include "app/AppState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace skrib {
namespace {

using ::testing::ElementsAre;

struct RawCase {
    const char* raw;
    std::optional<SkribState> state;
};

class SkribStateRaw : public ::testing::TestWithParam<RawCase> {};

TEST_P(SkribStateRaw, AcceptsExactlyTheFourRawValues) {
    const auto c = GetParam();
    EXPECT_EQ(AppState::stateFromRawValue(c.raw), c.state) << '"' << c.raw << '"';
    if (c.state) {
        EXPECT_EQ(AppState::rawValue(*c.state), c.raw);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SkribStateRaw,
                         ::testing::Values(RawCase{"idle", SkribState::idle},
                                           RawCase{"listening", SkribState::listening},
                                           RawCase{"processing", SkribState::processing},
                                           RawCase{"error", SkribState::error},
                                           RawCase{"Idle", std::nullopt}, RawCase{"", std::nullopt},
                                           RawCase{"idle ", std::nullopt},
                                           RawCase{"recording", std::nullopt}));

TEST(AppState, StartsIdleWithNoMicrophoneAndNotDictating) {
    AppState state;
    EXPECT_EQ(state.state.get(), SkribState::idle);
    EXPECT_EQ(state.currentMicName.get(), std::nullopt);
    EXPECT_FALSE(state.isDictating.get());
}

TEST(AppState, LateSubscriberFirstSeesTheCurrentStateThenEveryChange) {
    AppState state;
    state.state.set(SkribState::listening);
    state.state.set(SkribState::processing);
    std::vector<SkribState> seen;
    auto token = state.state.subscribe([&](const SkribState& s) { seen.push_back(s); });
    state.state.set(SkribState::idle);
    state.state.set(SkribState::idle);
    EXPECT_THAT(seen, ElementsAre(SkribState::processing, SkribState::idle, SkribState::idle));
}

TEST(AppState, SharedInstanceIsOne) {
    EXPECT_EQ(&AppState::shared(), &AppState::shared());
}

} // namespace
} // namespace skrib
