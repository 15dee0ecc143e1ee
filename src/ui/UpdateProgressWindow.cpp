#include "ui/UpdateProgressWindow.h"

#include "ui/BrandFonts.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

namespace skrib {

UpdateProgressWindow::UpdateProgressWindow(const QString& version) {
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(320, 150);

    auto* title = new QLabel(QStringLiteral("Updating to ") + version, this);
    title->setFont(BrandFonts::figtree(14, BrandFonts::Weight::semibold));
    title->setStyleSheet(QStringLiteral("color: #F0F0F0;"));
    title->setAlignment(Qt::AlignHCenter);

    auto* divider = new QWidget(this);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: #2C2C2E;"));

    auto* spinner = new QProgressBar(this);
    spinner->setRange(0, 0); // busy
    spinner->setFixedSize(18, 18);
    spinner->setTextVisible(false);

    statusLabel_ = new QLabel(QStringLiteral("Downloading update..."), this);
    statusLabel_->setFont(BrandFonts::figtree(13));
    statusLabel_->setStyleSheet(QStringLiteral("color: #98989D;"));

    auto* row = new QHBoxLayout;
    row->setContentsMargins(24, 0, 24, 0);
    row->setSpacing(12);
    row->addWidget(spinner);
    row->addWidget(statusLabel_, 1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 44, 0, 0);
    column->setSpacing(14);
    column->addWidget(title);
    column->addWidget(divider);
    column->addSpacing(4);
    column->addLayout(row);
    column->addStretch(1);
}

void UpdateProgressWindow::show() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    QWidget::show();
    raise();
    activateWindow();
}

void UpdateProgressWindow::updateStatus(const std::string& text) {
    statusLabel_->setText(QString::fromStdString(text));
}

void UpdateProgressWindow::close() {
    QWidget::close();
}

void UpdateProgressWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        if (onCancel) {
            onCancel(); // may destroy this window; nothing below touches it
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdateProgressWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1A, 0x1A, 0x1C));
    painter.drawRoundedRect(rect(), 14, 14);
}

} // namespace skrib
