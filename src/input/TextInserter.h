#pragma once

#include "platform/Defaults.h"
#include "platform/Desktop.h"
#include "platform/Scheduler.h"

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace skrib {

/// Pastes dictated text into the application the user was working in: clipboard, re-activate,
/// the application's paste chord (Ctrl+V, or a terminal's own: TerminalPaste.h), optionally
/// Return. Requests run strictly one at a time with fixed pauses, so the target has time to come
/// forward and to take the paste. Main thread only.
class TextInserter {
public:
    static constexpr double pasteDelay = 0.15;
    static constexpr double enterDelay = 0.15;
    static constexpr double settleDelay = 0.05;

    TextInserter(Desktop& desktop, Scheduler& mainQueue, Defaults& defaults);
    TextInserter(const TextInserter&) = delete;
    TextInserter& operator=(const TextInserter&) = delete;

    void insert(std::string text, std::optional<TargetApplication> targetApp);

    /// Return after each paste (saved as "autoEnterAfterPaste"), read at each use.
    bool autoEnter() const;
    void setAutoEnter(bool enabled);

    bool isBusy() const { return isBusy_; }
    std::size_t queuedCount() const { return queue_.size(); }

private:
    struct Request {
        std::string text;
        std::optional<TargetApplication> targetApp;
    };

    void drainQueue();
    void copyToClipboard(const std::string& text);

    Desktop& desktop_;
    Scheduler& mainQueue_;
    Defaults& defaults_;
    std::deque<Request> queue_;
    bool isBusy_ = false;
    std::shared_ptr<TextInserter*> self_ = std::make_shared<TextInserter*>(this);
};

} // namespace skrib
