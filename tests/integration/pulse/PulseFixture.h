#pragma once

#include "PulseDaemon.h"
#include "platform/AudioSystem.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace skrib::testing {

/// Every test gets its own PulseAudio daemon (see PulseDaemon), stopped after the test.
class PulseFixture : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_ = std::make_unique<PulseDaemon>();
        ASSERT_TRUE(daemon_->running()) << daemon_->error();
    }

    void TearDown() override { daemon_.reset(); }

    PulseDaemon& daemon() { return *daemon_; }

    /// The device ID the adapter should give the named source: its index + 1, as the server
    /// itself reports it through pactl. noAudioDevice when there is no such source.
    AudioDeviceID idOf(const std::string& sourceName) {
        const auto indices = daemon_->sourceIndices();
        const auto found = indices.find(sourceName);
        return found == indices.end() ? noAudioDevice : found->second + 1;
    }

private:
    std::unique_ptr<PulseDaemon> daemon_;
};

} // namespace skrib::testing
