#pragma once

#include "platform/Alerts.h"
#include "platform/ProcessRunner.h"
#include "update/AutoUpdater.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace skrib::testing {

/// Alerts answered by the test: each shown alert is noted and takes the next queued answer
/// (the first button when none is queued).
class FakeAlerts final : public AlertPresenter {
public:
    std::vector<Alert> shown;
    std::deque<int> nextAnswers;

    void setNextAnswer(int button) { nextAnswers.push_back(button); }
    int runModal(const Alert& alert) override {
        shown.push_back(alert);
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

/// Child processes played by the test: `onRun` decides what each run does and answers.
class FakeProcessRunner final : public ProcessRunner {
public:
    std::vector<std::vector<std::string>> runs;     // program then arguments
    std::vector<std::vector<std::string>> detached; // program then arguments
    std::function<Result(const std::string&, const std::vector<std::string>&)> onRun;

    Result run(const std::string& program, const std::vector<std::string>& arguments) override {
        std::vector<std::string> call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        runs.push_back(call);
        return onRun ? onRun(program, arguments) : Result{true, 0, "", ""};
    }
    bool spawnDetached(const std::string& program,
                       const std::vector<std::string>& arguments) override {
        std::vector<std::string> call{program};
        call.insert(call.end(), arguments.begin(), arguments.end());
        detached.push_back(call);
        return true;
    }
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
