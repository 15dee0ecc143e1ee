#include "ui/window/MainWindow.h"

#include "input/HotkeyOption.h"
#include "platform/NotificationCenter.h"
#include "platform/Scheduler.h"
#include "state/Notifications.h"
#include "ui/AppIcon.h"
#include "ui/BrandFonts.h"
#include "ui/ClosureAction.h"
#include "ui/HexColor.h"
#include "ui/window/Glyphs.h"
#include "ui/window/TranscriptView.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

namespace skrib {
namespace {

constexpr int sidebarWidth = 150;
constexpr int topBarHeight = 38;

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

void setBackgroundColor(QWidget* widget, const char* hex) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, hexColor(QLatin1String(hex)));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QLabel* makeLabel(const QString& text, const QFont& font, const char* hex, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    setTextColor(label, hexColor(QLatin1String(hex)));
    return label;
}

QColor whiteAlpha(double alpha) {
    QColor c(Qt::white);
    c.setAlphaF(static_cast<float>(alpha));
    return c;
}

bool onMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

} // namespace

// MARK: - Sidebar buttons

SidebarButton::SidebarButton(Glyph icon, const QString& title, QWidget* parent)
    : QAbstractButton(parent)
    , icon_(icon)
    , label_(title) {
    setFixedHeight(32);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(title);

    iconView_ = new QLabel(this);
    iconView_->setFixedSize(16, 16);
    iconView_->setAlignment(Qt::AlignCenter);
    iconView_->setAccessibleDescription(title);
    iconView_->setAttribute(Qt::WA_TransparentForMouseEvents);

    textLabel_ = new QLabel(title, this);
    textLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 0, 8, 0);
    layout->setSpacing(8);
    layout->addWidget(iconView_, 0, Qt::AlignVCenter);
    layout->addWidget(textLabel_, 1, Qt::AlignVCenter);

    setActive(false);
}

QSize SidebarButton::sizeHint() const {
    return {sidebarWidth - 24, 32};
}

void SidebarButton::setActive(bool active) {
    isActiveState_ = active;
    setBackground(active ? whiteAlpha(0.08) : QColor(Qt::transparent));
    tint_ = hexColor(QLatin1String(active ? "#E0E0E0" : "#6E6E73"));
    iconView_->setPixmap(glyphIcon(icon_, tint_).pixmap(QSize(16, 16), devicePixelRatioF()));
    textLabel_->setFont(
        BrandFonts::figtree(13, active ? BrandFonts::Weight::medium : BrandFonts::Weight::regular));
    setTextColor(textLabel_, hexColor(QLatin1String(active ? "#F0F0F0" : "#98989D")));
}

void SidebarButton::setBackground(const QColor& color) {
    background_ = color;
    update();
}

void SidebarButton::paintEvent(QPaintEvent*) {
    if (background_.alpha() == 0) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 7, 7);
    painter.fillPath(path, background_);
}

void SidebarButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    if (!isActiveState_) {
        setBackground(whiteAlpha(0.04));
    }
}

void SidebarButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    if (!isActiveState_) {
        setBackground(Qt::transparent);
    }
}

// MARK: - Main view

MainView::StatusText MainView::statusText(SkribState state) {
    switch (state) {
    case SkribState::idle:
        return {QStringLiteral("Ready"), hexColor(QStringLiteral("#555555"))};
    case SkribState::listening:
        return {QStringLiteral("● Recording"), hexColor(QStringLiteral("#4ADE80"))};
    case SkribState::processing:
        return {QStringLiteral("Processing…"), hexColor(QStringLiteral("#4ADE80"))};
    case SkribState::error:
        return {QStringLiteral("Error"), hexColor(QStringLiteral("#FF453A"))};
    }
    return {QStringLiteral("Ready"), hexColor(QStringLiteral("#555555"))};
}

QString MainView::hintText(const QString& displayName) {
    return displayName + QStringLiteral(" to toggle  ·  Esc to cancel");
}

MainView::MainView(Environment environment, QWidget* parent)
    : QWidget(parent)
    , env_(std::move(environment)) {
    setBackgroundColor(this, "#1A1A1C");

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addWidget(buildSidebar());

    auto* content = new QVBoxLayout;
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(0);
    root->addLayout(content, 1);

    auto* topBar = new QWidget(this);
    topBar->setFixedHeight(topBarHeight);
    auto* topLayout = new QHBoxLayout(topBar);
    topLayout->setContentsMargins(0, 0, 16, 0);
    micLabel_ = makeLabel(QString(), BrandFonts::figtree(11), "#98989D", topBar);
    topLayout->addStretch(1);
    topLayout->addWidget(micLabel_, 0, Qt::AlignVCenter);
    content->addWidget(topBar);

    auto* body = new QWidget(this);
    auto* bodyLayout = new QGridLayout(body);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    content->addWidget(body, 1);

    QWidget* homePage = buildHome();
    settingsView_ = env_.makeSettingsPage ? env_.makeSettingsPage(body) : nullptr;
    QWidget* settingsPage = settingsView_ != nullptr ? settingsView_ : new QWidget(body);
    aboutView_ = buildAbout();
    contentViews_ = {homePage, settingsPage, aboutView_};
    for (QWidget* page : contentViews_) {
        page->setParent(body);
        bodyLayout->addWidget(page, 0, 0);
        page->hide();
    }

    onMicNameChanged();
    selectTab(home);
    bind();
}

MainView::~MainView() = default;

QWidget* MainView::buildSidebar() {
    auto* sidebar = new QWidget(this);
    sidebar->setFixedWidth(sidebarWidth);
    setBackgroundColor(sidebar, "#111113");

    auto* layout = new QVBoxLayout(sidebar);
    layout->setContentsMargins(12, 52, 12, 16);
    layout->setSpacing(2);
    const struct {
        Glyph icon;
        const char* title;
    } tabs[] = {{Glyph::house, "Home"}, {Glyph::gear, "Settings"}, {Glyph::infoCircle, "About"}};
    int index = 0;
    for (const auto& tab : tabs) {
        auto* button = new SidebarButton(tab.icon, QString::fromUtf8(tab.title), sidebar);
        button->setTag(index++);
        connect(button, &QAbstractButton::clicked, this,
                [this, button] { selectTab(button->tag()); });
        layout->addWidget(button);
        sidebarButtons_.append(button);
    }
    layout->addStretch(1);
    auto* brand =
        makeLabel(QStringLiteral("Vantu Skrib"),
                  BrandFonts::figtree(12, BrandFonts::Weight::semibold), "#3A3A3C", sidebar);
    brand->setAlignment(Qt::AlignHCenter);
    layout->addWidget(brand);
    return sidebar;
}

QWidget* MainView::buildHome() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 12, 0, 12);
    layout->setSpacing(0);

    const StatusText idle = statusText(SkribState::idle);
    stateLabel_ =
        makeLabel(idle.text, BrandFonts::figtree(11, BrandFonts::Weight::medium), "#555555", page);
    const QString displayName =
        QString::fromStdString(HotkeyOption::stored(env_.defaults).displayName(env_.defaults));
    hintLabel_ = makeLabel(hintText(displayName), BrandFonts::spaceMono(10), "#3A3A3C", page);
    hintLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* statusRow = new QHBoxLayout;
    statusRow->setContentsMargins(20, 0, 20, 0);
    statusRow->addWidget(stateLabel_, 0, Qt::AlignVCenter);
    statusRow->addStretch(1);
    statusRow->addWidget(hintLabel_, 0, Qt::AlignVCenter);
    layout->addLayout(statusRow);
    layout->addSpacing(12);

    transcriptView_ = new TranscriptView(
        TranscriptView::Environment{env_.defaults, env_.mainQueue, env_.center, env_.client,
                                    env_.keptDictations, env_.retryKept},
        page);
    auto* historyRow = new QHBoxLayout;
    historyRow->setContentsMargins(16, 0, 16, 0);
    historyRow->addWidget(transcriptView_);
    layout->addLayout(historyRow, 1);
    return page;
}

QAbstractButton* MainView::makeLink(const QString& title, const QUrl& url, QWidget* parent) {
    auto* link = new QPushButton(title, parent);
    QFont font = BrandFonts::figtree(12);
    font.setUnderline(true);
    link->setFont(font);
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setStyleSheet(QStringLiteral(
        "QPushButton { border: none; background: transparent; color: #4A9EFF; padding: 0; }"));
    ClosureAction::attach(link, [this, url] {
        if (env_.openURL) {
            env_.openURL(url);
        }
    });
    return link;
}

QWidget* MainView::buildAbout() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 48, 0, 14);
    layout->setSpacing(0);
    const auto centred = [layout](QWidget* widget, int spaceAbove) {
        if (spaceAbove > 0) {
            layout->addSpacing(spaceAbove);
        }
        layout->addWidget(widget, 0, Qt::AlignHCenter);
    };

    auto* icon = new QLabel(page);
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(appIconImage(qRound(64 * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    icon->setPixmap(pixmap);
    icon->setFixedSize(64, 64);
    centred(icon, 0);

    auto* title = makeLabel(QStringLiteral("Vantu Skrib"),
                            BrandFonts::figtree(20, BrandFonts::Weight::bold), "#E0E0E0", page);
    title->setAlignment(Qt::AlignHCenter);
    centred(title, 14);

    const QString version = env_.version.isEmpty() ? QStringLiteral("?") : env_.version;
    auto* versionLabel =
        makeLabel(QStringLiteral("Version ") + version, BrandFonts::figtree(12), "#888888", page);
    versionLabel->setAlignment(Qt::AlignHCenter);
    centred(versionLabel, 4);

    auto* tagline = makeLabel(QStringLiteral("Voice to text, instantly."), BrandFonts::figtree(12),
                              "#666666", page);
    tagline->setAlignment(Qt::AlignHCenter);
    centred(tagline, 8);

    centred(makeLink(env_.websiteHost, QUrl(env_.websiteURL), page), 24);

    auto* support = makeLabel(QStringLiteral("Support"),
                              BrandFonts::figtree(11, BrandFonts::Weight::medium), "#666666", page);
    support->setAlignment(Qt::AlignHCenter);
    centred(support, 20);

    centred(makeLink(env_.supportEmail, QUrl(QStringLiteral("mailto:") + env_.supportEmail), page),
            2);

    auto* update = new QPushButton(QStringLiteral("Check for Updates"), page);
    update->setFont(BrandFonts::figtree(12, BrandFonts::Weight::medium));
    update->setCursor(Qt::PointingHandCursor);
    // A rounded push button of the dark page, whatever the desktop's theme.
    update->setStyleSheet(
        QStringLiteral("QPushButton { color: #E0E0E0; background: #2C2C2E;"
                       " border: 1px solid #3A3A3C; border-radius: 6px; padding: 4px 14px; }"
                       " QPushButton:hover { background: #333336; }"
                       " QPushButton:pressed { background: #3A3A3C; }"));
    ClosureAction::attach(update, [this] {
        if (env_.checkForUpdates) {
            env_.checkForUpdates();
        }
    });
    centred(update, 28);

    layout->addStretch(1);
    auto* credit = makeLabel(QStringLiteral("Built by Nembra Works"), BrandFonts::figtree(10),
                             "#3A3A3C", page);
    credit->setAlignment(Qt::AlignHCenter);
    centred(credit, 0);
    return page;
}

void MainView::pushTranscript(const QString& text, std::optional<WallClock::time_point> at) {
    transcriptView_->addEntry(text, at);
}

void MainView::selectTab(int index) {
    currentTab_ = index;
    for (int i = 0; i < contentViews_.size(); ++i) {
        contentViews_[i]->setVisible(i == index);
    }
    for (SidebarButton* button : sidebarButtons_) {
        button->setActive(button->tag() == index);
    }
}

void MainView::bind() {
    Scheduler& queue = env_.mainQueue;
    const std::weak_ptr<MainView*> weak = alive_;
    cancellables_.push_back(env_.appState.state.subscribe([weak, &queue](const SkribState& state) {
        queue.post([weak, state] {
            if (auto self = weak.lock()) {
                (*self)->showState(state);
            }
        });
    }));
    cancellables_.push_back(env_.center.addObserver(
        notifications::hotkeyChanged, &queue, [this](const Notification& n) {
            if (const auto* option = std::any_cast<HotkeyOption>(&n.object)) {
                hintLabel_->setText(
                    hintText(QString::fromStdString(option->displayName(env_.defaults))));
            }
        }));
    cancellables_.push_back(
        env_.center.addObserver(notifications::showHotkeySettings, &queue,
                                [this](const Notification&) { selectTab(settings); }));
    // Posted on the main thread and handled at once; from elsewhere it is handed over.
    cancellables_.push_back(env_.center.addObserver(notifications::micNameChanged, nullptr,
                                                    [weak, &queue](const Notification&) {
                                                        if (onMainThread()) {
                                                            if (auto self = weak.lock()) {
                                                                (*self)->onMicNameChanged();
                                                            }
                                                            return;
                                                        }
                                                        queue.post([weak] {
                                                            if (auto self = weak.lock()) {
                                                                (*self)->onMicNameChanged();
                                                            }
                                                        });
                                                    }));
}

void MainView::showState(SkribState state) {
    const StatusText status = statusText(state);
    stateLabel_->setText(status.text);
    setTextColor(stateLabel_, status.color);
}

void MainView::onMicNameChanged() {
    const auto name = env_.appState.currentMicName.get();
    micLabel_->setText(name && !name->empty() ? QString::fromStdString(*name)
                                              : QStringLiteral("System Default"));
}

// MARK: - Window

MainWindowController::MainWindowController(MainView::Environment environment)
    : window_(std::make_unique<QWidget>()) {
    window_->setWindowTitle(QStringLiteral("Vantu Skrib"));
    window_->setWindowIcon(appIcon());
    setBackgroundColor(window_.get(), "#1A1A1C");
    window_->setMinimumSize(minimumWidth, minimumHeight);
    window_->resize(width, height);

    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    mainView_ = new MainView(std::move(environment), window_.get());
    layout->addWidget(mainView_);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window_->move(area.center() - QPoint(width / 2, height / 2));
    }
}

MainWindowController::~MainWindowController() = default;

void MainWindowController::showAndFocus() {
    if (window_->isMinimized()) {
        window_->showNormal();
    } else {
        window_->show();
    }
    window_->raise();
    window_->activateWindow();
}

} // namespace skrib
