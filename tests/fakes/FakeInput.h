#pragma once

#include "input/TerminalPaste.h"
#include "platform/Desktop.h"
#include "platform/KeyboardHook.h"
#include "platform/Scheduler.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace skrib::testing {

/// A keyboard the test types on.
class FakeKeyboardHook final : public KeyboardHook {
public:
    bool trusted = true;
    int trustRequests = 0;
    bool escapeGrabbed = false;
    std::set<std::uint16_t> unseenKeys; // keys this desktop never delivers

    bool isTrusted() override { return trusted; }
    void requestTrust() override { ++trustRequests; }
    bool canSee(std::uint16_t code) const override { return !unseenKeys.contains(code); }
    bool start(std::function<void(const KeyEvent&)> handler) override {
        handler_ = std::move(handler);
        return true;
    }
    void stop() override { handler_ = nullptr; }
    void setEscapeGrabbed(bool grabbed) override { escapeGrabbed = grabbed; }

    bool watching() const { return static_cast<bool>(handler_); }
    /// Delivers one event, as the desktop would; false when nobody watches.
    bool send(KeyEvent::Type type, std::uint16_t code, std::uint64_t flags = 0,
              std::optional<std::uint32_t> time = {}) {
        return handler_ && (handler_(KeyEvent{type, code, flags, time}), true);
    }

private:
    std::function<void(const KeyEvent&)> handler_;
};

/// A desktop that notes, with the virtual time, everything done to it.
class FakeDesktop final : public Desktop {
public:
    explicit FakeDesktop(Scheduler& clock)
        : clock_(clock) {}

    bool trusted = true;
    bool pasteFails = false;
    std::optional<TargetApplication> frontmost;
    std::set<std::uint64_t> terminatedWindows;
    std::string clipboard;
    std::vector<std::pair<double, std::string>> actions; // (time, what)

    std::optional<TargetApplication> frontmostApplication() override { return frontmost; }
    bool isTerminated(const TargetApplication& app) override {
        return terminatedWindows.contains(app.window);
    }
    void activate(const TargetApplication& app) override { note("activate " + app.name); }
    void setClipboardText(const std::string& text) override {
        clipboard = text;
        note("clipboard " + text);
    }
    void setPrimarySelectionText(const std::string& text) override { note("primary " + text); }
    bool isTrusted() override { return trusted; }
    bool postPaste(PasteKeys keys) override {
        return !pasteFails && (note("paste " + std::string(pasteKeysName(keys))), true);
    }
    bool postReturn() override { return note("return"), true; }

private:
    void note(std::string what) { actions.emplace_back(clock_.absoluteTime(), std::move(what)); }
    Scheduler& clock_;
};

} // namespace skrib::testing
