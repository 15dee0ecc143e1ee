#pragma once

#include "platform/Subscription.h"
#include "ui/indicator/CapsuleSize.h"
#include "ui/settings/StyleBlock.h"
#include "ui/settings/VocabBlock.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include <QStringList>
#include <QWidget>

class QAbstractButton;
class QButtonGroup;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QScrollBar;
class QVBoxLayout;

namespace skrib {

class AppState;
class Defaults;
class NotificationCenter;
class RefineClient;
class Scheduler;
class VocabTagEditor;

/// The Settings tab of the main window: microphone, hotkey, behaviour switches, capsule size,
/// transcription style and vocabulary. Every control applies its change at once.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    /// A setting owned by another component, read when the view is built and written on change.
    struct Switch {
        std::function<bool()> get;
        std::function<void(bool)> set;
    };

    struct Environment {
        Defaults& defaults;
        Scheduler& mainQueue;
        NotificationCenter& center;
        AppState& appState;
        /// The shared service client (style and vocabulary sync, vocabulary file path).
        std::function<RefineClient*()> client;
        Switch holdMode;      // GlobalHotkey
        Switch autoEnter;     // TextInserter
        Switch soundFeedback; // the dictation controller
        Switch startAtLogin;  // the autostart entry; off until switched on
        /// The program's virtual key code of a key press's native scan code (X key code).
        std::function<std::uint16_t(std::uint32_t nativeScanCode)> virtualKeyCode;
        /// Whether the keyboard hook ever delivers the key; a key it never does is no choice.
        std::function<bool(std::uint16_t keyCode)> canSeeKey;
        /// How the hotkey is watched and the paste typed on this desktop, and the one step
        /// that would enable a better way (empty when none); none: the row is left out.
        std::function<std::pair<std::string, std::string>()> inputMethods = {};
    };

    using StylePreset = StyleBlock::StylePreset;
    static const std::array<StylePreset, 4>& stylePresets();
    /// The preset with this id, or none.
    static const StylePreset* stylePreset(const std::string& id);
    /// Whether a stored custom prompt is one of the old built-in prompts, which are dropped.
    static bool isDiscardedPrompt(const QString& prompt);

    /// Splits a stored vocabulary string on "," and trims spaces and tabs from each piece,
    /// dropping empty pieces.
    static QStringList splitVocab(const std::string& vocabulary);
    /// A still picture of the recording capsule at `size`, showing "0:12" between two rows of
    /// level bars.
    static QWidget* buildCapsulePreview(CapsuleSize size);

    explicit SettingsView(Environment environment, QWidget* parent = nullptr);
    ~SettingsView() override;

    /// The words of the local vocabulary file; empty when the file or its "vocab" is missing.
    QStringList loadVocabWords() const;
    /// Shows the current input device, or "System Default" when none is known.
    void onMicNameChanged();
    /// Asks for one key press in a modal dialog and makes that key the custom hotkey. Escape
    /// and "Cancel" leave the hotkey as it was, with `popup` showing it again.
    void showKeyRecorder(QComboBox* popup);

    // The controls, for the main window and for tests.
    QLabel* micLabel() const { return micLabel_; }
    QComboBox* hotkeyPopup() const { return hotkeyPopup_; }
    QAbstractButton* holdModeSwitch() const { return holdModeSwitch_; }
    QAbstractButton* autoEnterSwitch() const { return autoEnterSwitch_; }
    QAbstractButton* soundFeedbackSwitch() const { return soundFeedbackSwitch_; }
    QAbstractButton* startAtLoginSwitch() const { return startAtLoginSwitch_; }
    QLabel* inputMethodsLabel() const { return inputMethodsLabel_; }
    QButtonGroup* sizeSegments() const { return sizeSegments_; }
    QWidget* previewArea() const { return previewArea_; }
    QWidget* capsulePreview() const { return capsulePreview_; }
    QComboBox* stylePopup() const { return styleBlock_->stylePopup(); }
    QLabel* styleDescription() const { return styleBlock_->styleDescription(); }
    QPlainTextEdit* promptBox() const { return styleBlock_->promptBox(); }
    QLabel* customNote() const { return styleBlock_->customNote(); }
    QPushButton* savePromptButton() const { return styleBlock_->savePromptButton(); }
    VocabTagEditor* vocabEditor() const { return vocabBlock_->editor(); }
    /// The page's scroller and the thin scroll bar laid over its right edge (shown only when
    /// the column is taller than the page).
    QScrollArea* scrollView() const { return scrollView_; }
    QScrollBar* overlayScroller() const { return overlayScroller_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void setup();
    QWidget* makeSection(const QString& title, const QList<QWidget*>& rows);
    static QWidget* makeRow(const QString& title, QWidget* control, const QString& subtitle = {});
    static QWidget* makeSeparator();
    QWidget* makeSwitch(const Switch& setting, QAbstractButton*& out);
    QWidget* makeHotkeyPopup();
    QWidget* makeSizeSegments();

    void hotkeySelected(int index);
    void capsuleSizeSelected();
    void selectStoredHotkey(QComboBox* popup);

    Environment env_;
    Subscription micObservation_;

    QLabel* micLabel_ = nullptr;
    QComboBox* hotkeyPopup_ = nullptr;
    QAbstractButton* holdModeSwitch_ = nullptr;
    QAbstractButton* autoEnterSwitch_ = nullptr;
    QAbstractButton* soundFeedbackSwitch_ = nullptr;
    QAbstractButton* startAtLoginSwitch_ = nullptr;
    QLabel* inputMethodsLabel_ = nullptr;
    QButtonGroup* sizeSegments_ = nullptr;
    QWidget* previewArea_ = nullptr;
    QWidget* capsulePreview_ = nullptr;
    StyleBlock* styleBlock_ = nullptr;
    VocabBlock* vocabBlock_ = nullptr;
    QScrollArea* scrollView_ = nullptr;
    QScrollBar* overlayScroller_ = nullptr;
};

} // namespace skrib
