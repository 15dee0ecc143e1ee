#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace skrib {

struct HttpResult;

/// The outcome of one upload.
struct ProcessResult {
    enum class Kind { success, error, rateLimited };
    Kind kind = Kind::error;
    std::optional<std::string> raw;     // success
    std::optional<std::string> refined; // success
    std::string message;                // error: a short text for the user
    int status = 0; // error: the service's HTTP status; 0 when it was not reached

    static ProcessResult success(std::optional<std::string> raw,
                                 std::optional<std::string> refined) {
        return {Kind::success, std::move(raw), std::move(refined), {}, 200};
    }
    static ProcessResult error(std::string message, int status = 0) {
        return {Kind::error, std::nullopt, std::nullopt, std::move(message), status};
    }
    static ProcessResult rateLimited() { return {Kind::rateLimited, {}, {}, {}, 429}; }

    friend bool operator==(const ProcessResult&, const ProcessResult&) = default;
};

/// The audio of one upload: an M4A file, or else a WAV file.
struct AudioPayload {
    std::string bytes;
    bool m4a = false;
    double seconds = 0; // the recording's length
};

/// The upload of one dictation: its multipart body, and what the service's answer means for
/// the user.
class ProcessRequest {
public:
    /// The multipart body: the audio as "recording.m4a" or "recording.wav", then the
    /// vocabulary (when not empty) and the source application. Made around the audio's own
    /// bytes, which are not copied when their buffer has room for the rest.
    static std::string body(const std::string& boundary, std::string audio, bool m4a,
                            const std::optional<std::string>& vocab, const std::string& source);

    /// The user's text for a transport error code (`urlError`).
    static std::string userFriendlyError(int code);
    /// The user's text for a service error `message` with HTTP `status`.
    static std::string userFriendlyServerError(const std::string& message, int status);

    /// The outcome of the answer `result` (logged): the texts, the daily limit, or an error
    /// for the user.
    static ProcessResult outcome(const HttpResult& result);
};

} // namespace skrib
