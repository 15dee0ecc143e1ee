#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace skrib::service {

/// One part of a multipart/form-data upload.
struct FormPart {
    std::string filename;
    std::string contentType;
    std::string data;
};

/// Collects the parts of a /process upload as the multipart reader streams them: part headers
/// first, then the part's bytes in pieces. Keeps the parts "audio", "vocab" and "source", skips
/// others, and stops at the first fault (a part without a name, a repeated part, too many
/// parts, a part over its size limit, text that is not UTF-8), which `error` then describes.
class UploadForm {
public:
    struct Limits {
        std::size_t maxAudioBytes = 32u << 20;
        std::size_t maxTextBytes = 64u << 10;
        std::size_t maxParts = 16;
    };

    explicit UploadForm(Limits limits);

    /// A new part begins; false once the form is at fault.
    bool beginPart(std::string_view name, std::string_view filename, std::string_view contentType);

    /// Bytes of the current part; false once the form is at fault.
    bool append(const char* data, std::size_t size);

    /// Checks the last text part; call after the reader has finished.
    bool finish();

    const std::optional<std::string>& error() const { return error_; }

    /// The kept part of that name, or null.
    const FormPart* part(const std::string& name) const;
    FormPart* part(const std::string& name);

private:
    bool fail(std::string message);
    bool checkCurrentText();

    Limits limits_;
    std::map<std::string, FormPart> parts_;
    std::size_t partCount_ = 0;
    FormPart* current_ = nullptr;
    std::string currentName_;
    std::size_t currentLimit_ = 0;
    std::optional<std::string> error_;
};

} // namespace skrib::service
