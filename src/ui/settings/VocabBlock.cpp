#include "ui/settings/VocabBlock.h"

#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"
#include "state/Notifications.h"
#include "ui/BrandFonts.h"
#include "ui/settings/SettingsWidgets.h"
#include "ui/settings/VocabTagEditor.h"

#include <algorithm>

#include <QVBoxLayout>

namespace skrib {

QStringList VocabBlock::splitVocab(const std::string& vocabulary) {
    QStringList words;
    const QStringList pieces = QString::fromStdString(vocabulary).split(QLatin1Char(','));
    for (const QString& piece : pieces) {
        qsizetype start = 0;
        qsizetype end = piece.size();
        const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
        while (start < end && blank(piece.at(start))) {
            ++start;
        }
        while (end > start && blank(piece.at(end - 1))) {
            --end;
        }
        if (end > start) {
            words.append(piece.mid(start, end - start));
        }
    }
    return words;
}

void VocabBlock::changeVocab(RefineClient* client, const QString& word, bool add) {
    if (client == nullptr) {
        return;
    }
    // Applied to the stored words, not the shown ones: they may not show a change yet.
    const std::string vocabulary =
        client->account().updateVocabLocally([&](const std::string& stored) {
            QStringList words = splitVocab(stored);
            if (!add) {
                words.removeOne(word);
            } else if (std::none_of(words.cbegin(), words.cend(), [&](const QString& w) {
                           return w.compare(word, Qt::CaseInsensitive) == 0;
                       })) {
                words.append(word);
            }
            return words.join(QStringLiteral(", ")).toStdString();
        });
    client->syncVocab(vocabulary);
}

QStringList VocabBlock::loadVocabWords(RefineClient* client) {
    if (client == nullptr) {
        return {};
    }
    const auto vocabulary = client->loadVocab();
    return vocabulary ? splitVocab(*vocabulary) : QStringList{};
}

VocabBlock::VocabBlock(std::function<RefineClient*()> client, NotificationCenter& center,
                       Scheduler& mainQueue, QWidget* parent)
    : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(sectionLabel(QStringLiteral("Vocabulary")), 0, Qt::AlignLeft);
    column->addWidget(wrappingNote(
        QStringLiteral("Custom words improve transcription accuracy. Synced to cloud."),
        BrandFonts::figtree(11), tertiaryLabel));
    column->addSpacing(2); // 8 in all below the note
    editor_ = new VocabTagEditor(loadVocabWords(client ? client() : nullptr),
                                 [client](const QString& word, bool added) {
                                     changeVocab(client ? client() : nullptr, word, added);
                                 });
    column->addWidget(editor_);
    vocabObservation_ = center.addObserver(
        notifications::vocabChanged, &mainQueue, [this, client](const Notification&) {
            editor_->setWords(loadVocabWords(client ? client() : nullptr));
        });
}

VocabBlock::~VocabBlock() = default;

} // namespace skrib
