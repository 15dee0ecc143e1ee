#include "PasteTarget.h"

#include "EventLoop.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace skrib::testing {

struct PasteTarget::Process {
    QTemporaryDir folder;
    QProcess process;
    QString textFile() const { return folder.filePath("text"); }
    QString windowFile() const { return folder.filePath("text.window"); }
};

PasteTarget::PasteTarget(const std::string& title)
    : process_(std::make_unique<Process>()) {
    process_->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->process.start(QStringLiteral(SKRIB_PASTE_TARGET),
                            {process_->textFile(), QString::fromStdString(title)});
}

PasteTarget::~PasteTarget() {
    quit();
}

bool PasteTarget::waitUntilShown() {
    const bool shown = waitUntil([this] {
        QFile file(process_->windowFile());
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        window_ = file.readAll().trimmed().toULong();
        return window_ != 0;
    });
    return shown && process_->process.state() == QProcess::Running;
}

std::int64_t PasteTarget::processId() const {
    return process_->process.processId();
}

std::string PasteTarget::text() const {
    QFile file(process_->textFile());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll().toStdString();
}

void PasteTarget::quit() {
    if (process_->process.state() != QProcess::NotRunning) {
        process_->process.kill();
        process_->process.waitForFinished(5000);
    }
}

} // namespace skrib::testing
