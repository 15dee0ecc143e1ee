#include "unit/ui/window/WindowFixture.h"

#include <nlohmann/json.hpp>

#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QMouseEvent>

namespace skrib::testing {

namespace {
const std::string historyURL = "http://127.0.0.1:8787/transcripts?limit=50";
}

FakeService::FakeService() {
    client_ = std::make_unique<RefineClient>(
        RefineClient::Environment{http_, secrets_, clientDefaults_, "http://127.0.0.1:8787",
                                  home_.path().toStdString(), "Workstation", "6.1.0"});
}

std::optional<std::size_t> FakeService::historyRequest() const {
    const auto sent = http_.sent();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].request.url == historyURL && !sent[i].answered) {
            return i;
        }
    }
    return std::nullopt;
}

bool FakeService::historyRequested() const {
    return historyRequest().has_value();
}

bool FakeService::answerHistory(int status, const std::string& body) {
    const auto index = historyRequest();
    if (!index) {
        return false;
    }
    http_.respond(*index, status, body);
    return true;
}

std::string FakeService::historyBody(const std::vector<Record>& records) {
    nlohmann::json list = nlohmann::json::array();
    for (const Record& r : records) {
        list.push_back(
            {{"id", r.id}, {"raw", r.raw}, {"refined", r.refined}, {"created_at", r.createdAt}});
    }
    return nlohmann::json{{"transcripts", list}, {"has_more", false}}.dump();
}

std::vector<FakeService::Record> FakeService::records(int count) {
    std::vector<Record> out;
    for (int i = 0; i < count; ++i) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "2025-01-02T%02d:%02d:00Z", 8 + i / 60, i % 60);
        out.push_back({i + 1, "raw" + std::to_string(i), "t" + std::to_string(i), stamp});
    }
    return out;
}

QList<QLabel*> visibleLabels(const QWidget* root, const QString& text) {
    QList<QLabel*> out;
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->text() == text && label->isVisibleTo(root->window())) {
            out.append(label);
        }
    }
    return out;
}

QColor textColor(const QWidget* widget) {
    return widget->palette().color(QPalette::WindowText);
}

void sendEnter(QWidget* widget) {
    const QPointF local(widget->width() / 2.0, widget->height() / 2.0);
    QEnterEvent event(local, local, widget->mapToGlobal(local));
    QApplication::sendEvent(widget, &event);
}

void sendLeave(QWidget* widget) {
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(widget, &event);
}

namespace {
void sendMouse(QWidget* widget, QEvent::Type type, QPoint at) {
    const QPointF local(at);
    const bool down = type == QEvent::MouseButtonPress;
    QMouseEvent event(type, local, widget->mapToGlobal(local), Qt::LeftButton,
                      down ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}
} // namespace

void sendPress(QWidget* widget, QPoint at) {
    sendMouse(widget, QEvent::MouseButtonPress, at);
}

void sendRelease(QWidget* widget, QPoint at) {
    sendMouse(widget, QEvent::MouseButtonRelease, at);
}

void click(QWidget* widget) {
    const QPoint centre = widget->rect().center();
    sendPress(widget, centre);
    sendRelease(widget, centre);
}

} // namespace skrib::testing
