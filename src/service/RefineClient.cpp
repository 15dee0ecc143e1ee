#include "service/RefineClient.h"

#include "log/DebugLog.h"
#include "platform/TextFormat.h"
#include "platform/Uuid.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

namespace skrib {
namespace {

using nlohmann::json;

std::string prefix8(const std::string& id) {
    return id.substr(0, 8) + "...";
}

std::string compact(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The body parsed as a JSON object, or none (a top-level array or scalar counts as none).
std::optional<json> jsonObject(const std::string& body) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::nullopt;
    }
    return parsed;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return content.str();
}

// Replaces the file in one step, so a crash never leaves half a file.
bool writeFileAtomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::mutex sharedLock;
std::function<std::unique_ptr<RefineClient>()> sharedFactory;
std::unique_ptr<RefineClient> sharedClient;

} // namespace

RefineClient* RefineClient::shared() {
    std::lock_guard lock(sharedLock);
    if (!sharedClient && sharedFactory) {
        sharedClient = sharedFactory();
    }
    return sharedClient.get();
}

RefineClient* RefineClient::sharedIfCreated() {
    std::lock_guard lock(sharedLock);
    return sharedClient.get();
}

void RefineClient::setSharedFactory(std::function<std::unique_ptr<RefineClient>()> factory) {
    std::lock_guard lock(sharedLock);
    sharedFactory = std::move(factory);
}

RefineClient::RefineClient(Environment environment)
    : baseURL_(std::move(environment.baseURL))
    , http_(environment.http)
    , secrets_(environment.secrets)
    , defaults_(environment.defaults)
    , homeDirectory_(std::move(environment.homeDirectory))
    , computerName_(std::move(environment.computerName))
    , osVersion_(std::move(environment.osVersion))
    , compressAudio_(std::move(environment.compressAudio))
    , now_(environment.now ? std::move(environment.now)
                           : std::function<std::chrono::system_clock::time_point()>(
                                 [] { return std::chrono::system_clock::now(); })) {
    while (!baseURL_.empty() && baseURL_.back() == '/') {
        baseURL_.pop_back();
    }
    deviceId_ = settleDeviceId();
    registerDevice();
    fetchProfile();
}

// MARK: - Device identity

std::string RefineClient::settleDeviceId() {
    // An empty stored value would make every request anonymous: it counts as no value.
    if (auto id = secrets_.find(keychainService, keychainAccount, false); id && !id->empty()) {
        debugLog("🔑 Device ID from keychain: " + prefix8(*id));
        return *id;
    }
    // A migration source is removed only once the identifier is safely in the keychain;
    // otherwise the next start finds it again instead of making a new identifier.
    if (auto id = secrets_.find(keychainService, keychainAccount, true); id && !id->empty()) {
        if (saveToKeychain(*id)) {
            secrets_.remove(keychainService, keychainAccount, true);
        }
        debugLog("🔑 Migrated device ID from sync keychain: " + prefix8(*id));
        return *id;
    }
    if (auto id = defaults_.stringValue("deviceId"); id && !id->empty()) {
        if (saveToKeychain(*id)) {
            defaults_.remove("deviceId");
        }
        debugLog("🔑 Migrated device ID from UserDefaults: " + prefix8(*id));
        return *id;
    }
    const std::string id = Uuid().uuidString();
    saveToKeychain(id);
    debugLog("🔑 Generated new device ID: " + prefix8(id));
    return id;
}

bool RefineClient::saveToKeychain(const std::string& id) {
    secrets_.remove(keychainService, keychainAccount, false);
    const int status = secrets_.add(keychainService, keychainAccount, id);
    if (status != 0) {
        debugLog("⚠️ Keychain save failed: " + std::to_string(status));
        return false;
    }
    return true;
}

void RefineClient::registerDevice() {
    const std::string url = baseURL_ + "/register";
    if (!isValidHttpURL(url)) {
        return;
    }
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}};
    request.timeoutSeconds = 60;
    request.body = compact(json{{"device_id", deviceId_},
                                {"device_name", computerName_.empty() ? "unknown" : computerName_},
                                {"os_version", osVersion_}});
    const std::string prefix = prefix8(deviceId_);
    http_.sharedSession()->dataTask(std::move(request), [prefix](HttpResult result) {
        if (result.error) {
            debugLog("⚠️ Device registration failed: " + result.error->description);
        } else {
            debugLog("✅ Device registered: " + prefix);
        }
    });
}

std::shared_ptr<HttpSession> RefineClient::processSession() {
    std::lock_guard lock(sessionLock_);
    if (!processSession_) {
        HttpSessionConfiguration configuration;
        configuration.maxConnectionsPerHost = 4;
        std::weak_ptr<MetricsSessionDelegate> metrics = metrics_;
        configuration.onMetrics = [metrics](std::int64_t taskId, const NetworkTiming& timing) {
            if (auto m = metrics.lock()) {
                m->record(taskId, timing);
            }
        };
        processSession_ = http_.makeSession(std::move(configuration));
    }
    return processSession_;
}

void RefineClient::warmConnection() {
    const std::string url = baseURL_ + "/update/check?v=warm";
    if (!isValidHttpURL(url)) {
        return;
    }
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = 5;
    processSession()->dataTask(std::move(request), [](HttpResult) {});
}

// MARK: - Process request

std::string RefineClient::processBody(const std::string& boundary,
                                      const std::vector<std::uint8_t>& audio, bool m4a,
                                      const std::optional<std::string>& vocab,
                                      const std::string& source) {
    std::string body;
    body.reserve(audio.size() + 512);
    body += "--" + boundary + "\r\n";
    body += std::string("Content-Disposition: form-data; name=\"audio\"; filename=\"") +
            (m4a ? "recording.m4a" : "recording.wav") + "\"\r\n";
    body += std::string("Content-Type: ") + (m4a ? "audio/mp4" : "audio/wav") + "\r\n\r\n";
    body.append(reinterpret_cast<const char*>(audio.data()), audio.size());
    if (vocab && !vocab->empty()) {
        body += "\r\n--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"vocab\"\r\n\r\n";
        body += *vocab;
    }
    body += "\r\n--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"source\"\r\n\r\n";
    body += source;
    body += "\r\n--" + boundary + "--\r\n";
    return body;
}

std::string RefineClient::userFriendlyError(int code) {
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

std::string RefineClient::userFriendlyServerError(const std::string& message, int status) {
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

void RefineClient::process(const std::vector<std::uint8_t>& audioData, const std::string& source,
                           std::optional<std::chrono::system_clock::time_point> keyReleaseAt,
                           std::function<void(ProcessResult)> completion) {
    using std::chrono::duration;
    const std::string url = baseURL_ + "/process";
    if (!isValidHttpURL(url)) {
        completion(ProcessResult::error("Something went wrong — try again"));
        return;
    }

    const auto bodyStart = now_();
    std::optional<std::vector<std::uint8_t>> compressed;
    if (compressAudio_) {
        const auto compressionStart = now_();
        compressed = compressAudio_(audioData);
        const double compressionMs =
            duration<double, std::milli>(now_() - compressionStart).count();
        if (compressed) {
            char line[160];
            std::snprintf(line, sizeof line, "🗜 Compressed %.0fKB→%.0fKB (%.1fx) in %.0fms",
                          static_cast<double>(audioData.size()) / 1024.0,
                          static_cast<double>(compressed->size()) / 1024.0,
                          static_cast<double>(audioData.size()) /
                              static_cast<double>(std::max<std::size_t>(compressed->size(), 1)),
                          compressionMs);
            debugLog(line);
        }
    }

    const std::string boundary = Uuid().uuidString();
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                       {"x-device-id", deviceId_}};
    request.timeoutSeconds = 120;
    request.body = processBody(boundary, compressed ? *compressed : audioData,
                               compressed.has_value(), loadVocab(), source);

    const double bodyBuildMs = duration<double, std::milli>(now_() - bodyStart).count();
    const double payloadKB = static_cast<double>(request.body.size()) / 1024.0;

    std::weak_ptr<RefineClient*> weak = alive_;
    auto clock = now_;
    processSession()->dataTask(std::move(request), [weak, clock, keyReleaseAt, bodyBuildMs,
                                                    payloadKB, completion = std::move(completion)](
                                                       HttpResult result) {
        if (keyReleaseAt) {
            std::optional<NetworkTiming> timing;
            if (auto self = weak.lock()) {
                timing = (*self)->metricsDelegate().take(result.taskId);
            }
            const double latencyMs = duration<double, std::milli>(clock() - *keyReleaseAt).count();
            const std::string net = timing ? timing->summary() : "net[n/a]";
            char line[512];
            std::snprintf(line, sizeof line,
                          "⏱ LATENCY key-release→response=%.0fms | body-build=%.0fms "
                          "payload=%.1fKB | %s",
                          latencyMs, bodyBuildMs, payloadKB, net.c_str());
            debugLog(line);
        }
        if (result.error) {
            debugLog("⚠️ Process failed: " + result.error->description);
            completion(ProcessResult::error(userFriendlyError(result.error->code)));
            return;
        }
        const std::optional<int> status =
            result.response ? std::optional<int>(result.response->statusCode) : std::nullopt;
        const std::string body = result.response ? result.response->body : std::string();
        if (status == 429) {
            debugLog("⚠️ Daily limit reached");
            completion(ProcessResult::rateLimited());
            return;
        }
        const auto object = jsonObject(body);
        if (status && *status != 200) {
            std::string message = "Server error — try again";
            std::optional<std::string> error;
            if (object) {
                if (const auto it = object->find("error"); it != object->end() && it->is_string()) {
                    error = it->get<std::string>();
                }
            }
            if (error) {
                debugLog("⚠️ Server error " + std::to_string(*status) + ": " + *error);
                message = userFriendlyServerError(*error, *status);
            } else {
                debugLog("⚠️ Server error " + std::to_string(*status));
                if (*status == 503) {
                    message = "Server temporarily unavailable";
                }
            }
            completion(ProcessResult::error(message));
            return;
        }
        if (!object) {
            completion(ProcessResult::error("Something went wrong — try again"));
            return;
        }
        auto text = [&](const char* key) -> std::optional<std::string> {
            const auto it = object->find(key);
            return it != object->end() && it->is_string()
                       ? std::optional<std::string>(it->get<std::string>())
                       : std::nullopt;
        };
        const auto raw = text("raw");
        const auto refined = text("refined");
        long long totalMs = 0;
        if (const auto it = object->find("total_ms");
            it != object->end() && it->is_number_integer()) {
            totalMs = it->is_number_unsigned()
                          ? static_cast<long long>(std::min<std::uint64_t>(
                                it->get<std::uint64_t>(), static_cast<std::uint64_t>(LLONG_MAX)))
                          : it->get<long long>();
        }
        debugLog("✨ Processed in " + std::to_string(totalMs) +
                 "ms: " + (refined ? utf8Prefix(*refined, 60) : std::string("nil")));
        completion(ProcessResult::success(raw, refined));
    });
}

// MARK: - Account data

HttpRequest RefineClient::accountRequest(const std::string& method, const std::string& path) const {
    HttpRequest request;
    request.method = method;
    request.url = baseURL_ + path;
    request.headers = {{"x-device-id", deviceId_}};
    if (method == "POST") {
        request.headers.push_back({"Content-Type", "application/json"});
    }
    request.timeoutSeconds = 60;
    return request;
}

std::optional<std::string> RefineClient::loadVocab() const {
    std::lock_guard lock(vocabFileLock_);
    const auto content = readFile(vocabPath());
    if (!content) {
        return std::nullopt;
    }
    const auto object = jsonObject(*content);
    if (!object) {
        return std::nullopt;
    }
    const auto it = object->find("vocab");
    if (it == object->end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

void RefineClient::saveVocabLocally(const std::string& vocab) {
    std::lock_guard lock(vocabFileLock_);
    json object = json::object();
    if (const auto content = readFile(vocabPath())) {
        if (auto existing = jsonObject(*content)) {
            object = std::move(*existing);
        }
    }
    object["vocab"] = vocab;
    writeFileAtomically(vocabPath(), compact(object));
}

// The check and the write under one lock, so an edit made meanwhile is never overwritten.
bool RefineClient::seedVocabIfEmpty(const std::string& vocab) {
    std::lock_guard lock(vocabFileLock_);
    json object = json::object();
    if (const auto content = readFile(vocabPath())) {
        if (auto existing = jsonObject(*content)) {
            object = std::move(*existing);
        }
    }
    const auto it = object.find("vocab");
    if (it != object.end() && it->is_string() && !it->get<std::string>().empty()) {
        return false;
    }
    object["vocab"] = vocab;
    writeFileAtomically(vocabPath(), compact(object));
    return true;
}

void RefineClient::fetchProfile() {
    HttpRequest request = accountRequest("GET", "/profile");
    if (!isValidHttpURL(request.url)) {
        return;
    }
    http_.sharedSession()->dataTask(std::move(request), [this](HttpResult result) {
        if (result.error || !result.response) {
            return;
        }
        const auto profile = jsonObject(result.response->body);
        if (!profile) {
            return;
        }
        if (const auto vocab = profile->find("vocab");
            vocab != profile->end() && vocab->is_string() && !vocab->get<std::string>().empty()) {
            const std::string value = vocab->get<std::string>();
            if (seedVocabIfEmpty(value)) {
                debugLog("☁️ Loaded vocab from server: " + utf8Prefix(value, 50));
            }
        }
        if (const auto preset = profile->find("style_preset");
            preset != profile->end() && preset->is_string()) {
            std::string prompt;
            if (const auto p = profile->find("custom_prompt");
                p != profile->end() && p->is_string()) {
                prompt = p->get<std::string>();
            }
            if (defaults_.stringValue("stylePreset").value_or("").empty()) {
                defaults_.set("stylePreset", DefaultsValue(preset->get<std::string>()));
                defaults_.set("customPrompt", DefaultsValue(prompt));
                debugLog("☁️ Loaded style from server: " + preset->get<std::string>());
            }
        }
    });
}

void RefineClient::syncVocab(const std::string& vocab) {
    HttpRequest request = accountRequest("POST", "/profile");
    if (!isValidHttpURL(request.url)) {
        return;
    }
    request.body = compact(json{{"vocab", vocab}});
    http_.sharedSession()->dataTask(std::move(request), [](HttpResult result) {
        if (result.error) {
            debugLog("⚠️ Vocab sync failed: " + result.error->description);
        } else {
            debugLog("☁️ Vocab synced to server");
        }
    });
}

void RefineClient::syncStyle(const std::string& preset, const std::string& customPrompt) {
    HttpRequest request = accountRequest("POST", "/style");
    if (!isValidHttpURL(request.url)) {
        return;
    }
    json body{{"style_preset", preset}};
    if (preset == "custom") {
        body["custom_prompt"] = customPrompt;
    }
    request.body = compact(body);
    http_.sharedSession()->dataTask(std::move(request), [preset](HttpResult result) {
        if (result.error) {
            debugLog("⚠️ Style sync failed: " + result.error->description);
        } else {
            debugLog("☁️ Style synced: " + preset);
        }
    });
}

void RefineClient::fetchTranscripts(
    std::optional<std::int64_t> after, int limit,
    std::function<void(std::vector<Transcript>, bool hasMore)> completion) {
    std::string path = "/transcripts?limit=" + std::to_string(limit);
    if (after) {
        path += "&after=" + std::to_string(*after);
    }
    HttpRequest request = accountRequest("GET", path);
    if (!isValidHttpURL(request.url)) {
        completion({}, false);
        return;
    }
    http_.sharedSession()->dataTask(
        std::move(request), [completion = std::move(completion)](HttpResult result) {
            std::vector<Transcript> transcripts;
            if (result.error || !result.response) {
                completion({}, false);
                return;
            }
            const auto body = jsonObject(result.response->body);
            if (!body) {
                completion({}, false);
                return;
            }
            const auto list = body->find("transcripts");
            if (list == body->end() || !list->is_array()) {
                completion({}, false);
                return;
            }
            for (const auto& item : *list) {
                if (!item.is_object()) {
                    continue;
                }
                const auto id = item.find("id");
                const auto raw = item.find("raw");
                const auto refined = item.find("refined");
                const auto created = item.find("created_at");
                if (id == item.end() || !id->is_number_integer() || raw == item.end() ||
                    !raw->is_string() || refined == item.end() || !refined->is_string() ||
                    created == item.end() || !created->is_string()) {
                    continue;
                }
                // Integers beyond the signed 64-bit range are not ids.
                if (id->is_number_unsigned() &&
                    id->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
                    continue;
                }
                transcripts.push_back(Transcript{id->get<std::int64_t>(), raw->get<std::string>(),
                                                 refined->get<std::string>(),
                                                 created->get<std::string>()});
            }
            const auto more = body->find("has_more");
            const bool hasMore = more != body->end() && more->is_boolean() && more->get<bool>();
            completion(std::move(transcripts), hasMore);
        });
}

} // namespace skrib
