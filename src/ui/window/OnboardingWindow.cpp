#include "ui/window/OnboardingWindow.h"

#include "input/HotkeyOption.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "state/Notifications.h"
#include "ui/AppIcon.h"
#include "ui/BrandFonts.h"
#include "ui/ClosureAction.h"
#include "ui/HexColor.h"

#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace skrib {
namespace {

constexpr int panelWidth = 420;
constexpr int panelHeight = 340;

void setTextColor(QWidget* widget, const char* hex) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, hexColor(QLatin1String(hex)));
    palette.setColor(QPalette::ButtonText, hexColor(QLatin1String(hex)));
    widget->setPalette(palette);
}

QLabel* makeLabel(const QString& text, const QFont& font, const char* hex, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    setTextColor(label, hex);
    return label;
}

// The panel has no title bar; it is moved by dragging its background. A hairline edge sets it
// apart from the main window below, whose background is the same colour.
class Panel : public QWidget {
public:
    Panel()
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QPen(OnboardingWindow::edgeColor(), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }

    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && windowHandle() != nullptr) {
            windowHandle()->startSystemMove();
        }
        QWidget::mousePressEvent(event);
    }
};

// A rounded green plate behind the primary button's title.
class Plate : public QWidget {
public:
    explicit Plate(QWidget* parent)
        : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(path, hexColor(QStringLiteral("#4ADE80")));
    }
};

} // namespace

// MARK: - Clickable view

ClickableView::ClickableView(std::function<void()> action, QWidget* parent)
    : QWidget(parent)
    , action_(std::move(action)) {
    setCursor(Qt::PointingHandCursor);
}

double ClickableView::parentOpacity() const {
    const auto* effect =
        parentWidget() != nullptr
            ? qobject_cast<QGraphicsOpacityEffect*>(parentWidget()->graphicsEffect())
            : nullptr;
    return effect != nullptr && effect->isEnabled() ? effect->opacity() : 1.0;
}

void ClickableView::setParentOpacity(double opacity) {
    QWidget* parent = parentWidget();
    if (parent == nullptr) {
        return;
    }
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(parent->graphicsEffect());
    if (effect == nullptr) {
        effect = new QGraphicsOpacityEffect(parent);
        parent->setGraphicsEffect(effect);
    }
    effect->setOpacity(opacity);
    // Fully opaque is drawn directly.
    effect->setEnabled(opacity < 1.0);
}

void ClickableView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setParentOpacity(0.8);
    event->accept();
}

void ClickableView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    setParentOpacity(1.0);
    event->accept();
    if (rect().contains(event->position().toPoint()) && action_) {
        action_();
    }
}

// MARK: - Welcome panel

OnboardingWindow::OnboardingWindow(Environment environment)
    : env_(environment) {}

OnboardingWindow::~OnboardingWindow() {
    delete panel_.data();
    delete closingPanel_.data();
}

QColor OnboardingWindow::edgeColor() {
    return hexColor(QStringLiteral("#3A3A3C"));
}

bool OnboardingWindow::hasCompleted(const Defaults& defaults) {
    return defaults.boolValue(defaultsKey).value_or(false);
}

void OnboardingWindow::markCompleted(Defaults& defaults) {
    defaults.set(defaultsKey, DefaultsValue(true));
}

void OnboardingWindow::showIfNeeded() {
    if (hasCompleted(env_.defaults)) {
        return;
    }
    env_.mainQueue.postAfter(showDelay, [weak = std::weak_ptr(alive_)] {
        if (auto self = weak.lock()) {
            (*self)->show();
        }
    });
}

QWidget* OnboardingWindow::makeButton(const QString& title, std::function<void()> action,
                                      QWidget* parent) {
    auto* plate = new Plate(parent);
    plate->setFixedSize(180, 36);
    auto* label = new QLabel(title, plate);
    label->setFont(BrandFonts::figtree(14, BrandFonts::Weight::semibold));
    setTextColor(label, "#1A1A1C");
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(plate->rect());
    auto* clickable = new ClickableView(std::move(action), plate);
    clickable->setGeometry(plate->rect());
    clickable->raise();
    return plate;
}

QAbstractButton* OnboardingWindow::makeTextButton(const QString& title,
                                                  std::function<void()> action, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setFont(BrandFonts::figtree(12, BrandFonts::Weight::medium));
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral(
        "QPushButton { border: none; background: transparent; color: #6E6E73; padding: 0; }"));
    ClosureAction::attach(button, std::move(action));
    return button;
}

void OnboardingWindow::show() {
    if (panel_ != nullptr) {
        return;
    }
    auto* panel = new Panel;
    panel->setWindowTitle(QStringLiteral("Welcome to Vantu Skrib"));
    panel->setWindowIcon(appIcon());
    panel->setFixedSize(panelWidth, panelHeight);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, hexColor(QStringLiteral("#1A1A1C")));
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(30, 40, 30, 0);
    layout->setSpacing(0);

    auto* icon = new QLabel(panel);
    const qreal ratio = panel->devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(appIconImage(qRound(56 * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    icon->setPixmap(pixmap);
    icon->setFixedSize(56, 56);
    layout->addWidget(icon, 0, Qt::AlignHCenter);

    layout->addSpacing(16);
    layout->addWidget(makeLabel(QStringLiteral("Welcome to Vantu Skrib"),
                                BrandFonts::figtree(18, BrandFonts::Weight::bold), "#F0F0F0",
                                panel));

    const QString displayName =
        QString::fromStdString(HotkeyOption::stored(env_.defaults).displayName(env_.defaults));
    layout->addSpacing(20);
    layout->addWidget(makeLabel(QStringLiteral("Press %1 to start speaking").arg(displayName),
                                BrandFonts::spaceMono(14), "#4ADE80", panel));

    auto* body = makeLabel(
        QStringLiteral("Your words will be transcribed and pasted\nwherever your cursor is."),
        BrandFonts::figtree(13), "#98989D", panel);
    body->setWordWrap(true);
    body->setFixedWidth(360);
    // At most two lines.
    body->setMaximumHeight(2 * QFontMetrics(body->font()).lineSpacing() + 2);
    layout->addSpacing(12);
    layout->addWidget(body, 0, Qt::AlignHCenter);

    const std::weak_ptr<OnboardingWindow*> weak = alive_;
    layout->addSpacing(28);
    layout->addWidget(makeButton(
                          QStringLiteral("Got it"),
                          [weak] {
                              if (auto self = weak.lock()) {
                                  markCompleted((*self)->env_.defaults);
                                  (*self)->dismiss();
                              }
                          },
                          panel),
                      0, Qt::AlignHCenter);

    layout->addSpacing(10);
    layout->addWidget(makeTextButton(
                          QStringLiteral("Customise hotkey →"),
                          [weak] {
                              auto self = weak.lock();
                              if (!self) {
                                  return;
                              }
                              OnboardingWindow& onboarding = **self;
                              markCompleted(onboarding.env_.defaults);
                              onboarding.dismiss();
                              NotificationCenter& center = onboarding.env_.center;
                              onboarding.env_.mainQueue.postAfter(hotkeySettingsDelay, [&center] {
                                  center.post(notifications::showHotkeySettings);
                              });
                          },
                          panel),
                      0, Qt::AlignHCenter);
    layout->addStretch(1);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        panel->move(area.center() - QPoint(panelWidth / 2, panelHeight / 2));
    }
    panel_ = panel;
    panel->show();
    panel->raise();
    panel->activateWindow();
}

void OnboardingWindow::dismiss() {
    QWidget* panel = panel_.data();
    if (panel == nullptr) {
        return;
    }
    panel_.clear();
    panel->hide();
    // The panel may be inside one of its own buttons' event handlers: delete it afterwards.
    closingPanel_ = panel;
    env_.mainQueue.post([closing = QPointer<QWidget>(panel)] { delete closing.data(); });
}

} // namespace skrib
