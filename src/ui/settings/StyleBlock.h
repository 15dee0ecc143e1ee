#pragma once

#include <array>
#include <functional>
#include <string>

#include <QWidget>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace skrib {

class Defaults;
class RefineClient;
class Scheduler;

/// The transcription style of the settings page: the style popup (placed by the page in its
/// "Style" row) and, under that row, the style's description, the prompt box and, for the
/// custom style, a note and the "Save Prompt" button.
class StyleBlock : public QWidget {
    Q_OBJECT
public:
    /// One transcription style: the id stored and sent, the label shown, the description
    /// shown under the popup, and the prompt shown read-only (empty for "custom").
    struct StylePreset {
        const char* id;
        const char* label;
        const char* description;
        const char* prompt;
    };
    /// The styles, in the order the popup lists them.
    static const std::array<StylePreset, 4>& stylePresets();
    /// The preset with this id, or none.
    static const StylePreset* stylePreset(const std::string& id);
    /// Whether a stored custom prompt is one of the old built-in prompts, which are dropped.
    static bool isDiscardedPrompt(const QString& prompt);

    struct Environment {
        Defaults& defaults;
        Scheduler& mainQueue;
        /// The shared service client the chosen style is pushed to.
        std::function<RefineClient*()> client;
    };

    /// Builds the popup and the block showing the stored style; nothing is sent until the user
    /// chooses. The popup is the block's child until the page puts it into its row.
    explicit StyleBlock(Environment environment, QWidget* parent = nullptr);
    ~StyleBlock() override;

    QComboBox* stylePopup() const { return stylePopup_; }
    QLabel* styleDescription() const { return styleDescription_; }
    QPlainTextEdit* promptBox() const { return promptBox_; }
    QLabel* customNote() const { return customNote_; }
    QPushButton* savePromptButton() const { return savePromptButton_; }

private:
    void styleSelected(int index);
    /// Shows the style `id` in the description and the prompt box; `selected` is true when the
    /// user just chose it (then a fixed preset is pushed to the service).
    void showStyle(const std::string& id, bool selected);
    void savePrompt();

    Environment env_;
    QComboBox* stylePopup_ = nullptr;
    QLabel* styleDescription_ = nullptr;
    QPlainTextEdit* promptBox_ = nullptr;
    QLabel* customNote_ = nullptr;
    QPushButton* savePromptButton_ = nullptr;
};

} // namespace skrib
