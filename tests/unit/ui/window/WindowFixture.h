#pragma once

#include "fakes/FakeHttp.h"
#include "fakes/FakeScheduler.h"
#include "fakes/LogCapture.h"
#include "fakes/MemoryDefaults.h"
#include "fakes/MemorySecretStore.h"
#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"

#include <memory>
#include <string>
#include <vector>

#include <QList>
#include <QPoint>
#include <QTemporaryDir>
#include <QWidget>

class QLabel;

namespace skrib::testing {

/// The transcription service as the views see it: the real client over a scripted HTTP stack.
class FakeService {
public:
    FakeService();

    RefineClient* client() { return client_.get(); }

    /// True while the history request has been sent and not yet answered.
    bool historyRequested() const;
    /// Answers the history request with `body` (JSON text); false when there was none.
    bool answerHistory(int status, const std::string& body);

    struct Record {
        std::int64_t id;
        std::string raw;
        std::string refined;
        std::string createdAt;
    };
    /// The service's JSON answer holding `records`.
    static std::string historyBody(const std::vector<Record>& records);
    /// `count` records with texts "t0", "t1", … one minute apart from 2025-01-02T08:00:00Z.
    static std::vector<Record> records(int count);

private:
    std::optional<std::size_t> historyRequest() const;

    LogCapture log_;
    QTemporaryDir home_;
    FakeHttpClient http_;
    MemorySecretStore secrets_;
    MemoryDefaults clientDefaults_;
    std::unique_ptr<RefineClient> client_;
};

/// Visible labels under `root` whose text is exactly `text`.
QList<QLabel*> visibleLabels(const QWidget* root, const QString& text);
/// The text colour of a label or button.
QColor textColor(const QWidget* widget);

/// Pointer events delivered straight to a widget, as the window system would.
void sendEnter(QWidget* widget);
void sendLeave(QWidget* widget);
void sendPress(QWidget* widget, QPoint at);
void sendRelease(QWidget* widget, QPoint at);
void click(QWidget* widget);

} // namespace skrib::testing
