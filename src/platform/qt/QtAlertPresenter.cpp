#include "platform/qt/QtAlertPresenter.h"

#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace skrib {
namespace {

// For tests that drive the real program: VANTU_SKRIB_ALERT_ANSWER=N answers every alert with
// button N (clamped to the buttons) without showing it, and writes the alert to standard output.
std::optional<int> scriptedAnswer() {
    const char* value = std::getenv("VANTU_SKRIB_ALERT_ANSWER");
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    int index = 0;
    const char* end = value + std::strlen(value);
    const auto [rest, error] = std::from_chars(value, end, index);
    if (error != std::errc() || rest != end) {
        return std::nullopt;
    }
    return index;
}

int answerOnStandardOutput(const Alert& alert, int requested) {
    const int count = static_cast<int>(alert.buttons.size());
    const int index = count == 0 ? 0 : std::clamp(requested, 0, count - 1);
    const std::string button =
        count == 0 ? std::string() : alert.buttons[static_cast<std::size_t>(index)];
    const std::string line =
        "[alert] " + alert.title + " — " + alert.text + " → " + button + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return index;
}

} // namespace

int QtAlertPresenter::runModal(const Alert& alert) {
    if (const std::optional<int> answer = scriptedAnswer()) {
        return answerOnStandardOutput(alert, *answer);
    }
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(alert.title));
    box.setText(QString::fromStdString(alert.title));
    box.setInformativeText(QString::fromStdString(alert.text));
    box.setIcon(alert.style == Alert::Style::informational ? QMessageBox::Information
                                                           : QMessageBox::Warning);
    std::vector<QPushButton*> buttons;
    for (const auto& title : alert.buttons) {
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
    }
    if (!buttons.empty()) {
        box.setDefaultButton(buttons.front());
    }
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) {
            return static_cast<int>(i);
        }
    }
    return static_cast<int>(buttons.size()); // closed without a button
}

} // namespace skrib
