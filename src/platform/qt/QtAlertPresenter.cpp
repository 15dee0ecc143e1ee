#include "platform/qt/QtAlertPresenter.h"

#include <QMessageBox>
#include <QPushButton>

#include <string>

#include <vector>

namespace skrib {

int QtAlertPresenter::runModal(const Alert& alert) {
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
