#include "service/RefineClient.h"

#include "log/DebugLog.h"
#include "platform/TextFormat.h"
#include "platform/Uuid.h"

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
    , osVersion_(std::move(environment.osVersion)) {
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
