#pragma once

#include "dictation/KeptDictationStore.h"
#include "platform/Scheduler.h"
#include "platform/Subscription.h"
#include "state/AppState.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QColor>
#include <QList>
#include <QString>
#include <QUrl>
#include <QWidget>

class QLabel;

namespace skrib {

class Defaults;
class NotificationCenter;
class RefineClient;
class TranscriptView;
enum class Glyph;

/// A tab of the main window's sidebar: an icon and a title on a rounded highlight that is bright
/// on the selected tab and faint under the pointer on the others.
class SidebarButton : public QAbstractButton {
    Q_OBJECT
public:
    SidebarButton(Glyph icon, const QString& title, QWidget* parent = nullptr);

    /// Switches between the selected and the unselected look.
    void setActive(bool active);
    bool isActiveState() const { return isActiveState_; }
    const QString& label() const { return label_; }
    QLabel* iconView() const { return iconView_; }
    QLabel* textLabel() const { return textLabel_; }
    /// The highlight behind the icon and title (transparent when there is none).
    QColor backgroundColor() const { return background_; }
    /// The colour the icon is drawn in.
    QColor iconTint() const { return tint_; }
    /// The tab index.
    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void setBackground(const QColor& color);

    Glyph icon_;
    QString label_;
    QLabel* iconView_ = nullptr;
    QLabel* textLabel_ = nullptr;
    bool isActiveState_ = false;
    QColor background_ = Qt::transparent;
    QColor tint_;
    int tag_ = 0;
};

/// The main window's content: the sidebar with the Home, Settings and About tabs, the top bar
/// with the microphone name, and the selected page. It follows the dictation state and the
/// hotkey and microphone notifications live. Main thread only, except `pushTranscript`.
class MainView : public QWidget {
    Q_OBJECT
public:
    struct Environment {
        Defaults& defaults;
        Scheduler& mainQueue;
        NotificationCenter& center;
        AppState& appState;
        /// The shared service client (history); may answer null.
        std::function<RefineClient*()> client;
        /// A loud update check (the About page's button).
        std::function<void()> checkForUpdates;
        /// Opens a web or mail address with the desktop's default program.
        std::function<void(const QUrl&)> openURL;
        /// The program's version; empty shows "?".
        QString version;
        QString websiteURL;
        /// The website's host name, as shown on the About page.
        QString websiteHost;
        QString supportEmail;
        /// Makes the Settings page; without it the page stays empty.
        std::function<QWidget*(QWidget* parent)> makeSettingsPage;
        /// The kept dictations waiting to be sent, and sends one now (the history's rows).
        std::function<std::vector<KeptDictation>()> keptDictations;
        std::function<void(const std::string& id)> retryKept;
    };

    enum Tab { home = 0, settings = 1, about = 2 };

    explicit MainView(Environment environment, QWidget* parent = nullptr);
    ~MainView() override;

    /// Adds a transcript to the history at `at`, or as the newest entry. Callable from any
    /// thread.
    void pushTranscript(const QString& text, std::optional<WallClock::time_point> at = {});
    /// Shows the page at `index` and highlights its button.
    void selectTab(int index);
    int currentTab() const { return currentTab_; }

    /// The status text and colour on the Home page for `state`.
    struct StatusText {
        QString text;
        QColor color;
    };
    static StatusText statusText(SkribState state);
    /// The Home page's hint for the hotkey with `displayName`.
    static QString hintText(const QString& displayName);

    QLabel* stateLabel() const { return stateLabel_; }
    QLabel* hintLabel() const { return hintLabel_; }
    QLabel* micLabel() const { return micLabel_; }
    TranscriptView* transcriptView() const { return transcriptView_; }
    QWidget* settingsView() const { return settingsView_; }
    QWidget* aboutView() const { return aboutView_; }
    /// The pages in tab order: Home, Settings, About.
    const QList<QWidget*>& contentViews() const { return contentViews_; }
    const QList<SidebarButton*>& sidebarButtons() const { return sidebarButtons_; }

private:
    QWidget* buildSidebar();
    QWidget* buildHome();
    QWidget* buildAbout();
    QAbstractButton* makeLink(const QString& title, const QUrl& url, QWidget* parent);
    void bind();
    void showState(SkribState state);
    void onMicNameChanged();

    Environment env_;
    QLabel* stateLabel_ = nullptr;
    TranscriptView* transcriptView_ = nullptr;
    QWidget* settingsView_ = nullptr;
    QWidget* aboutView_ = nullptr;
    QLabel* micLabel_ = nullptr;
    QList<QWidget*> contentViews_;
    QList<SidebarButton*> sidebarButtons_;
    int currentTab_ = 0;
    QLabel* hintLabel_ = nullptr;
    std::vector<Subscription> cancellables_;
    std::shared_ptr<MainView*> alive_ = std::make_shared<MainView*>(this);
};

/// The program's main window, made once and kept: every later open shows the same views.
class MainWindowController {
public:
    static constexpr int width = 640;
    static constexpr int height = 480;
    static constexpr int minimumWidth = 500;
    static constexpr int minimumHeight = 380;

    explicit MainWindowController(MainView::Environment environment);
    ~MainWindowController();
    MainWindowController(const MainWindowController&) = delete;
    MainWindowController& operator=(const MainWindowController&) = delete;

    /// Shows the window in front of the others and gives it the keyboard.
    void showAndFocus();

    QWidget* window() const { return window_.get(); }
    MainView* mainView() const { return mainView_; }

private:
    std::unique_ptr<QWidget> window_;
    MainView* mainView_ = nullptr;
};

} // namespace skrib
