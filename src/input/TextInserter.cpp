#include "input/TextInserter.h"

#include "input/TerminalPaste.h"
#include "log/DebugLog.h"

namespace skrib {

TextInserter::TextInserter(Desktop& desktop, Scheduler& mainQueue, Defaults& defaults)
    : desktop_(desktop)
    , mainQueue_(mainQueue)
    , defaults_(defaults) {}

bool TextInserter::autoEnter() const {
    return defaults_.boolValue("autoEnterAfterPaste").value_or(false);
}

void TextInserter::setAutoEnter(bool enabled) {
    defaults_.set("autoEnterAfterPaste", DefaultsValue(enabled));
}

void TextInserter::insert(std::string text, std::optional<TargetApplication> targetApp) {
    queue_.push_back(Request{std::move(text), std::move(targetApp)});
    drainQueue();
}

void TextInserter::copyToClipboard(const std::string& text) {
    desktop_.setClipboardText(text);
}

void TextInserter::drainQueue() {
    while (!isBusy_ && !queue_.empty()) {
        Request request = std::move(queue_.front());
        queue_.pop_front();
        isBusy_ = true;

        if (!desktop_.isTrusted()) {
            debugLog("📋 Accessibility not granted — copying to clipboard only");
            copyToClipboard(request.text);
            isBusy_ = false;
            continue; // every queued request ends on the clipboard the same way
        }

        copyToClipboard(request.text);
        // The paste goes to the target brought back, or else to whatever is in front.
        std::optional<TargetApplication> receiver = request.targetApp;
        if (request.targetApp && !desktop_.isTerminated(*request.targetApp)) {
            desktop_.activate(*request.targetApp);
            debugLog(
                "📋 Re-activated " +
                (request.targetApp->name.empty() ? std::string("app") : request.targetApp->name) +
                " before paste");
        } else {
            receiver = desktop_.frontmostApplication();
        }
        const std::string receiverName = receiver ? receiver->name : std::string();
        const PasteKeys keys = pasteKeysFor(receiverName);
        if (keys == PasteKeys::shiftInsert) {
            desktop_.setPrimarySelectionText(request.text);
        }
        if (keys != PasteKeys::ctrlV) {
            debugLog("📋 Pasting into terminal " + receiverName + " with " +
                     std::string(pasteKeysName(keys)));
        }

        std::weak_ptr<TextInserter*> weak = self_;
        mainQueue_.postAfter(pasteDelay, [weak, keys] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            TextInserter& inserter = **self;
            if (!inserter.desktop_.postPaste(keys)) {
                debugLog("📋 Failed to create CGEvent for paste — text is on clipboard");
            }
            inserter.mainQueue_.postAfter(inserter.autoEnter() ? enterDelay : 0.0, [weak] {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                TextInserter& inserter = **self;
                if (inserter.autoEnter()) {
                    inserter.desktop_.postReturn();
                }
                inserter.mainQueue_.postAfter(settleDelay, [weak] {
                    if (auto self = weak.lock()) {
                        (*self)->isBusy_ = false;
                        (*self)->drainQueue();
                    }
                });
            });
        });
    }
}

} // namespace skrib
