#pragma once

#include "dictation/DictationController.h"
#include "platform/Alerts.h"
#include "platform/SoundPlayer.h"
#include "platform/ProcessRunner.h"
#include "update/AutoUpdater.h"

#include <deque>
#include <functional>
#include <utility>
#include <string>
#include <vector>

namespace skrib::testing {

/// Alerts answered by the test: each shown alert is noted and takes the next queued answer
/// (the first button when none is queued).
class FakeAlerts final : public AlertPresenter {
public:
    std::vector<Alert> shown;
    std::deque<int> nextAnswers;
    std::function<void()> whileShown; // what happens while an alert waits (timers fire then)

    void setNextAnswer(int button) { nextAnswers.push_back(button); }
    int runModal(const Alert& alert) override {
        shown.push_back(alert);
        if (auto meanwhile = std::exchange(whileShown, nullptr)) {
            meanwhile();
        }
        if (nextAnswers.empty()) {
            return 0;
        }
        const int answer = nextAnswers.front();
        nextAnswers.pop_front();
        return answer;
    }
    std::vector<std::string> titles() const {
        std::vector<std::string> out;
        for (const auto& a : shown) {
            out.push_back(a.title + ": " + a.text);
        }
        return out;
    }
};

/// A capsule, sound player and alert presenter that show and play nothing (alerts: first button).
struct SilentSurface final : IndicatorView, SoundPlayer, AlertPresenter {
    void showIndicator() override {}
    void hideIndicator() override {}
    void showProcessing() override {}
    void showError(const std::string&) override {}
    void pushLevel(float) override {}
    void setMaxDuration(double) override {}
    void play(const std::string&) override {}
    int runModal(const Alert&) override { return 0; }
};

/// No child process ever starts: no unit test installs an update.
class FakeProcessRunner final : public ProcessRunner {
public:
    Result run(const std::string&, const std::vector<std::string>&) override {
        return {false, -1, "", "no processes in unit tests"};
    }
    bool spawnDetached(const std::string&, const std::vector<std::string>&) override { return false; }
};

/// A progress panel that notes what it showed.
class FakeProgressView final : public UpdateProgressView {
public:
    explicit FakeProgressView(std::vector<std::string>& log)
        : log_(log) {}
    void show() override { log_.push_back("show"); }
    void updateStatus(const std::string& text) override { log_.push_back("status " + text); }
    void close() override { log_.push_back("close"); }

private:
    std::vector<std::string>& log_;
};

} // namespace skrib::testing
