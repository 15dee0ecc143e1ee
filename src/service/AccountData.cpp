#include "service/AccountData.h"

#include "log/DebugLog.h"
#include "platform/AtomicFile.h"
#include "platform/Defaults.h"
#include "platform/HttpClient.h"
#include "platform/NotificationCenter.h"
#include "platform/TextFormat.h"
#include "platform/Url.h"
#include "service/JsonText.h"
#include "state/Notifications.h"

#include <climits>

namespace skrib {
namespace {

using nlohmann::json;

// The vocabulary file as an object; an unreadable or malformed file counts as empty.
json readVocabFile(const std::string& path) {
    if (const auto content = readFileContents(path)) {
        if (auto existing = jsonObject(*content)) {
            return std::move(*existing);
        }
    }
    return json::object();
}

} // namespace

AccountData::AccountData(HttpClient& http, Defaults& defaults, NotificationCenter& center,
                         std::string baseURL, std::string homeDirectory, std::string deviceId)
    : http_(http)
    , defaults_(defaults)
    , center_(center)
    , baseURL_(std::move(baseURL))
    , homeDirectory_(std::move(homeDirectory))
    , deviceId_(std::move(deviceId)) {}

HttpRequest AccountData::request(const std::string& method, const std::string& path) const {
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

std::optional<std::string> AccountData::loadVocab() const {
    std::lock_guard lock(*vocabFileLock_);
    const auto content = readFileContents(vocabPath());
    const auto object = content ? jsonObject(*content) : std::nullopt;
    return object ? jsonString(*object, "vocab") : std::nullopt;
}

std::string
AccountData::updateVocabLocally(const std::function<std::string(const std::string&)>& change) {
    std::string vocab;
    {
        std::lock_guard lock(*vocabFileLock_);
        json object = readVocabFile(vocabPath());
        const auto it = object.find("vocab");
        vocab = change(it != object.end() && it->is_string() ? it->get<std::string>() : "");
        object["vocab"] = vocab;
        writeFileAtomically(vocabPath(), compactJson(object));
    }
    center_.post(notifications::vocabChanged);
    return vocab;
}

// The check and the write under one lock, so an edit made meanwhile is never overwritten.
bool AccountData::seedVocabIfEmpty(const std::string& path, std::mutex& fileLock,
                                   const std::string& vocab) {
    std::lock_guard lock(fileLock);
    json object = readVocabFile(path);
    const auto it = object.find("vocab");
    if (it != object.end() && it->is_string() && !it->get<std::string>().empty()) {
        return false;
    }
    object["vocab"] = vocab;
    writeFileAtomically(path, compactJson(object));
    return true;
}

void AccountData::fetchProfile() {
    HttpRequest profileRequest = request("GET", "/profile");
    if (!isValidHttpURL(profileRequest.url)) {
        return;
    }
    // The answer may come after this object is gone (at quit, say): it takes along what it
    // needs. The settings store and the notification centre outlive the network thread.
    std::shared_ptr<std::mutex> fileLock = vocabFileLock_;
    Defaults& defaults = defaults_;
    NotificationCenter& center = center_;
    http_.sharedSession()->dataTask(std::move(profileRequest), [path = vocabPath(), fileLock,
                                                                &defaults,
                                                                &center](HttpResult result) {
        if (result.error || !result.response) {
            return;
        }
        const auto profile = jsonObject(result.response->body);
        if (!profile) {
            return;
        }
        if (const auto vocab = jsonString(*profile, "vocab"); vocab && !vocab->empty()) {
            if (seedVocabIfEmpty(path, *fileLock, *vocab)) {
                debugLog("☁️ Loaded vocab from server: " + utf8Prefix(*vocab, 50));
                center.post(notifications::vocabChanged);
            }
        }
        if (const auto preset = jsonString(*profile, "style_preset")) {
            const std::string prompt = jsonString(*profile, "custom_prompt").value_or("");
            if (defaults.stringValue("stylePreset").value_or("").empty()) {
                defaults.set("stylePreset", DefaultsValue(*preset));
                defaults.set("customPrompt", DefaultsValue(prompt));
                debugLog("☁️ Loaded style from server: " + *preset);
            }
        }
    });
}

void AccountData::syncVocab(const std::string& vocab) {
    HttpRequest sync = request("POST", "/profile");
    if (!isValidHttpURL(sync.url)) {
        return;
    }
    sync.body = compactJson(json{{"vocab", vocab}});
    http_.sharedSession()->dataTask(std::move(sync), [](HttpResult result) {
        if (result.error) {
            debugLog("⚠️ Vocab sync failed: " + result.error->description);
        } else {
            debugLog("☁️ Vocab synced to server");
        }
    });
}

void AccountData::syncStyle(const std::string& preset, const std::string& customPrompt) {
    HttpRequest sync = request("POST", "/style");
    if (!isValidHttpURL(sync.url)) {
        return;
    }
    json body{{"style_preset", preset}};
    if (preset == "custom") {
        body["custom_prompt"] = customPrompt;
    }
    sync.body = compactJson(body);
    http_.sharedSession()->dataTask(std::move(sync), [preset](HttpResult result) {
        if (result.error) {
            debugLog("⚠️ Style sync failed: " + result.error->description);
        } else {
            debugLog("☁️ Style synced: " + preset);
        }
    });
}

void AccountData::fetchTranscripts(
    std::optional<std::int64_t> after, int limit,
    std::function<void(std::vector<Transcript>, bool hasMore)> completion) {
    std::string path = "/transcripts?limit=" + std::to_string(limit);
    if (after) {
        path += "&after=" + std::to_string(*after);
    }
    HttpRequest page = request("GET", path);
    if (!isValidHttpURL(page.url)) {
        completion({}, false);
        return;
    }
    http_.sharedSession()->dataTask(std::move(page), [completion = std::move(completion)](
                                                         HttpResult result) {
        const auto body =
            result.error || !result.response ? std::nullopt : jsonObject(result.response->body);
        if (!body) {
            completion({}, false);
            return;
        }
        const auto list = body->find("transcripts");
        if (list == body->end() || !list->is_array()) {
            completion({}, false);
            return;
        }
        std::vector<Transcript> transcripts;
        for (const auto& item : *list) {
            if (!item.is_object()) {
                continue;
            }
            const auto id = item.find("id");
            const auto raw = jsonString(item, "raw");
            const auto refined = jsonString(item, "refined");
            const auto created = jsonString(item, "created_at");
            if (id == item.end() || !id->is_number_integer() || !raw || !refined || !created) {
                continue;
            }
            // Integers beyond the signed 64-bit range are not ids.
            if (id->is_number_unsigned() &&
                id->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
                continue;
            }
            transcripts.push_back(Transcript{id->get<std::int64_t>(), *raw, *refined, *created});
        }
        const auto more = body->find("has_more");
        const bool hasMore = more != body->end() && more->is_boolean() && more->get<bool>();
        completion(std::move(transcripts), hasMore);
    });
}

} // namespace skrib
