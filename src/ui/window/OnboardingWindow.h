#pragma once

#include <functional>
#include <memory>

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

class QAbstractButton;

namespace skrib {

class Defaults;
class NotificationCenter;
class Scheduler;

/// A view that runs its action on a click: pressing dims its parent to 0.8 opacity, releasing
/// restores it, and the action runs only when the pointer is released inside the view (so
/// pressing, dragging out and releasing cancels the click).
class ClickableView : public QWidget {
    Q_OBJECT
public:
    explicit ClickableView(std::function<void()> action, QWidget* parent = nullptr);

    /// The parent's opacity as the press shows it (1.0 when not pressed).
    double parentOpacity() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void setParentOpacity(double opacity);

    std::function<void()> action_;
};

/// The welcome panel of the first run: the program's name, the key that starts dictation and
/// two ways out ("Got it", "Customise hotkey →"). Either one records that the welcome was seen,
/// so it never shows again. Main thread only.
class OnboardingWindow {
public:
    static constexpr const char* defaultsKey = "hasCompletedOnboarding";
    static constexpr double showDelay = 0.8;
    static constexpr double hotkeySettingsDelay = 0.2;

    struct Environment {
        Defaults& defaults;
        Scheduler& mainQueue;
        NotificationCenter& center;
    };

    explicit OnboardingWindow(Environment environment);
    ~OnboardingWindow();
    OnboardingWindow(const OnboardingWindow&) = delete;
    OnboardingWindow& operator=(const OnboardingWindow&) = delete;

    /// True once the user has chosen either way out (absent counts as false).
    static bool hasCompleted(const Defaults& defaults);
    static void markCompleted(Defaults& defaults);

    /// Shows the panel a moment from now, unless the welcome was already seen.
    void showIfNeeded();

    /// The panel while it is shown, else null.
    QWidget* panel() const { return panel_; }
    /// The hairline drawn around the panel's edge.
    static QColor edgeColor();

private:
    void show();
    void dismiss();
    QWidget* makeButton(const QString& title, std::function<void()> action, QWidget* parent);
    QAbstractButton* makeTextButton(const QString& title, std::function<void()> action,
                                    QWidget* parent);

    Environment env_;
    QPointer<QWidget> panel_;
    QPointer<QWidget> closingPanel_; // hidden, deleted once its click is over
    std::shared_ptr<OnboardingWindow*> alive_ = std::make_shared<OnboardingWindow*>(this);
};

} // namespace skrib
