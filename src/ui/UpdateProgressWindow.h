#pragma once

#include "update/AutoUpdater.h"

#include <QWidget>

class QLabel;

namespace skrib {

/// The small floating panel shown while an update downloads and installs. Escape hides it.
class UpdateProgressWindow final : public QWidget, public UpdateProgressView {
public:
    explicit UpdateProgressWindow(const QString& version);

    void show() override;
    void updateStatus(const std::string& text) override;
    void close() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* statusLabel_ = nullptr;
};

} // namespace skrib
