#pragma once

#include <functional>
#include <string>
#include <vector>

namespace skrib {

/// A modal message with buttons.
struct Alert {
    enum class Style { informational, warning, critical };
    Style style = Style::informational;
    std::string title;
    std::string text;
    std::vector<std::string> buttons{"OK"}; // the first is the default
};

/// Shows modal alerts. Main thread only.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    /// Shows the alert and waits for the user; answers the index of the chosen button.
    virtual int runModal(const Alert& alert) = 0;
};

} // namespace skrib
