#pragma once

#include "platform/Subscription.h"

#include <functional>
#include <string>

#include <QStringList>
#include <QWidget>

namespace skrib {

class NotificationCenter;
class RefineClient;
class Scheduler;
class VocabTagEditor;

/// The vocabulary of the settings page: a heading, a note and the tag editor of the custom
/// words, which stores each added or removed word locally and pushes the vocabulary to the
/// service, and shows the stored words again whenever they change.
class VocabBlock : public QWidget {
    Q_OBJECT
public:
    /// Splits a stored vocabulary string on "," and trims spaces and tabs from each piece,
    /// dropping empty pieces.
    static QStringList splitVocab(const std::string& vocabulary);
    /// Adds `word` (unless present ignoring case) to the vocabulary in the local file, or
    /// removes it, then pushes the vocabulary to the service. Nothing happens without a client.
    static void changeVocab(RefineClient* client, const QString& word, bool add);
    /// The words of the local vocabulary file; empty without a client, or when the file or its
    /// "vocab" is missing.
    static QStringList loadVocabWords(RefineClient* client);

    /// Builds the block with the words of the local vocabulary file; `client` is asked for the
    /// shared service client each time the words are loaded or saved. The words are loaded
    /// again on `mainQueue` whenever `center` announces a vocabChanged.
    VocabBlock(std::function<RefineClient*()> client, NotificationCenter& center,
               Scheduler& mainQueue, QWidget* parent = nullptr);
    ~VocabBlock() override;

    VocabTagEditor* editor() const { return editor_; }

private:
    VocabTagEditor* editor_ = nullptr;
    Subscription vocabObservation_;
};

} // namespace skrib
