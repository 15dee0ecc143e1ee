#pragma once

#include <functional>
#include <string>

#include <QStringList>
#include <QWidget>

namespace skrib {

class RefineClient;
class VocabTagEditor;

/// The vocabulary of the settings page: a heading, a note and the tag editor of the custom
/// words, which saves every change locally and pushes it to the service.
class VocabBlock : public QWidget {
    Q_OBJECT
public:
    /// Splits a stored vocabulary string on "," and trims spaces and tabs from each piece,
    /// dropping empty pieces.
    static QStringList splitVocab(const std::string& vocabulary);
    /// Writes `vocabulary` into the local vocabulary file (other members kept), then pushes it
    /// to the service. Nothing happens without a client.
    static void saveVocab(RefineClient* client, const std::string& vocabulary);
    /// The words of the local vocabulary file; empty without a client, or when the file or its
    /// "vocab" is missing.
    static QStringList loadVocabWords(RefineClient* client);

    /// Builds the block with the words of the local vocabulary file; `client` is asked for the
    /// shared service client each time the words are loaded or saved.
    explicit VocabBlock(std::function<RefineClient*()> client, QWidget* parent = nullptr);
    ~VocabBlock() override;

    VocabTagEditor* editor() const { return editor_; }

private:
    VocabTagEditor* editor_ = nullptr;
};

} // namespace skrib
