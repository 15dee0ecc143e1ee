#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace skrib::testing {

/// The paste_target program: a Qt window with one text field whose text it writes to a file on
/// every change (and, after Return, followed by "\n[return]").
class PasteTarget {
public:
    /// Starts it with this window title.
    explicit PasteTarget(const std::string& title);
    ~PasteTarget();
    PasteTarget(const PasteTarget&) = delete;
    PasteTarget& operator=(const PasteTarget&) = delete;

    /// Waits until the window is shown and has told its id; false if it never did.
    bool waitUntilShown();
    /// The X window of the text field's top-level window (0 until shown).
    unsigned long window() const { return window_; }
    std::int64_t processId() const;
    /// What the file holds now.
    std::string text() const;
    /// Ends the program and waits for it.
    void quit();

private:
    struct Process;
    std::unique_ptr<Process> process_;
    unsigned long window_ = 0;
};

} // namespace skrib::testing
