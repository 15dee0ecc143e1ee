#include "UploadForm.h"

#include "Text.h"

namespace skrib::service {
namespace {

bool isKept(std::string_view name) {
    return name == "audio" || name == "vocab" || name == "source";
}

} // namespace

UploadForm::UploadForm(Limits limits)
    : limits_(limits) {}

bool UploadForm::fail(std::string message) {
    if (!error_) {
        error_ = std::move(message);
    }
    current_ = nullptr;
    return false;
}

bool UploadForm::checkCurrentText() {
    if (current_ != nullptr && currentName_ != "audio" && !isValidUtf8(current_->data)) {
        return fail("the \"" + currentName_ + "\" part is not valid UTF-8");
    }
    return true;
}

bool UploadForm::beginPart(std::string_view name, std::string_view filename,
                           std::string_view contentType) {
    if (error_) {
        return false;
    }
    if (!checkCurrentText()) {
        return false;
    }
    current_ = nullptr;
    if (++partCount_ > limits_.maxParts) {
        return fail("too many parts in the upload");
    }
    if (name.empty()) {
        return fail("an upload part has no name");
    }
    if (!isKept(name)) {
        return true;
    }
    const std::string key(name);
    if (parts_.contains(key)) {
        return fail("the \"" + key + "\" part appears more than once");
    }
    current_ = &parts_[key];
    current_->filename = std::string(filename);
    current_->contentType = std::string(contentType);
    currentName_ = key;
    currentLimit_ = key == "audio" ? limits_.maxAudioBytes : limits_.maxTextBytes;
    return true;
}

bool UploadForm::append(const char* data, std::size_t size) {
    if (error_) {
        return false;
    }
    if (current_ == nullptr) {
        return true;
    }
    if (size > currentLimit_ - current_->data.size()) {
        return fail("the \"" + currentName_ + "\" part is too large");
    }
    current_->data.append(data, size);
    return true;
}

bool UploadForm::finish() {
    if (error_) {
        return false;
    }
    const bool ok = checkCurrentText();
    current_ = nullptr;
    return ok;
}

const FormPart* UploadForm::part(const std::string& name) const {
    const auto it = parts_.find(name);
    return it == parts_.end() ? nullptr : &it->second;
}

FormPart* UploadForm::part(const std::string& name) {
    const auto it = parts_.find(name);
    return it == parts_.end() ? nullptr : &it->second;
}

} // namespace skrib::service
