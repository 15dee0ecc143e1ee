#include "service/ProcessRequest.h"

#include "log/DebugLog.h"
#include "platform/HttpClient.h"
#include "platform/TextFormat.h"
#include "service/JsonText.h"

#include <algorithm>
#include <climits>

namespace skrib {

std::string ProcessRequest::body(const std::string& boundary, std::string audio, bool m4a,
                                 const std::optional<std::string>& vocab,
                                 const std::string& source) {
    std::string head = "--" + boundary + "\r\n";
    head += std::string("Content-Disposition: form-data; name=\"audio\"; filename=\"") +
            (m4a ? "recording.m4a" : "recording.wav") + "\"\r\n";
    head += std::string("Content-Type: ") + (m4a ? "audio/mp4" : "audio/wav") + "\r\n\r\n";
    std::string tail;
    if (vocab && !vocab->empty()) {
        tail += "\r\n--" + boundary + "\r\n";
        tail += "Content-Disposition: form-data; name=\"vocab\"\r\n\r\n";
        tail += *vocab;
    }
    tail += "\r\n--" + boundary + "\r\n";
    tail += "Content-Disposition: form-data; name=\"source\"\r\n\r\n";
    tail += source;
    tail += "\r\n--" + boundary + "--\r\n";
    // An hour of audio is megabytes: it stays in its buffer, and the parts go around it.
    audio.reserve(head.size() + audio.size() + tail.size());
    audio.insert(0, head);
    audio += tail;
    return audio;
}

std::string ProcessRequest::userFriendlyError(int code) {
    if (code == urlError::notConnectedToInternet) {
        return "No internet connection";
    }
    if (code <= urlError::secureConnectionFailed && code >= urlError::clientCertificateRequired) {
        return "Connection failed — check your network";
    }
    if (code == urlError::timedOut) {
        return "Request timed out — try again";
    }
    if (code == urlError::networkConnectionLost) {
        return "Connection lost — try again";
    }
    return "Something went wrong — try again";
}

std::string ProcessRequest::userFriendlyServerError(const std::string& message, int status) {
    switch (status) {
    case 400:
        return message.find("missing audio") != std::string::npos ? "No audio captured" : message;
    case 500:
        return message == "processing failed" ? "Processing failed — try again"
                                              : "Server error — try again";
    case 503:
        return "Server temporarily unavailable";
    default:
        return "Server error — try again";
    }
}

ProcessResult ProcessRequest::outcome(const HttpResult& result) {
    if (result.error) {
        debugLog("⚠️ Process failed: " + result.error->description);
        return ProcessResult::error(userFriendlyError(result.error->code));
    }
    // No response at all counts as 200 with an empty body.
    const int status = result.response ? result.response->statusCode : 200;
    const std::string body = result.response ? result.response->body : std::string();
    if (status == 429) {
        debugLog("⚠️ Daily limit reached");
        return ProcessResult::rateLimited();
    }
    const auto object = jsonObject(body);
    if (status != 200) {
        const std::optional<std::string> error =
            object ? jsonString(*object, "error") : std::nullopt;
        if (error) {
            debugLog("⚠️ Server error " + std::to_string(status) + ": " + *error);
            return ProcessResult::error(userFriendlyServerError(*error, status), status);
        }
        debugLog("⚠️ Server error " + std::to_string(status));
        return ProcessResult::error(status == 503 ? "Server temporarily unavailable"
                                                  : "Server error — try again",
                                    status);
    }
    if (!object) {
        return ProcessResult::error("Something went wrong — try again", status);
    }
    const auto raw = jsonString(*object, "raw");
    const auto refined = jsonString(*object, "refined");
    long long totalMs = 0;
    if (const auto it = object->find("total_ms"); it != object->end() && it->is_number_integer()) {
        totalMs = it->is_number_unsigned()
                      ? static_cast<long long>(std::min<std::uint64_t>(
                            it->get<std::uint64_t>(), static_cast<std::uint64_t>(LLONG_MAX)))
                      : it->get<long long>();
    }
    debugLog("✨ Processed in " + std::to_string(totalMs) +
             "ms: " + (refined ? utf8Prefix(*refined, 60) : std::string("nil")));
    return ProcessResult::success(raw, refined);
}

} // namespace skrib
