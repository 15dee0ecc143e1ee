#include "service/DeviceIdentity.h"

#include "log/DebugLog.h"
#include "platform/Defaults.h"
#include "platform/HttpClient.h"
#include "platform/SecretStore.h"
#include "platform/Url.h"
#include "platform/Uuid.h"
#include "service/JsonText.h"

namespace skrib {
namespace {

std::string prefix8(const std::string& id) {
    return id.substr(0, 8) + "...";
}

bool saveToKeychain(SecretStore& secrets, const std::string& id) {
    secrets.remove(DeviceIdentity::keychainService, DeviceIdentity::keychainAccount, false);
    const int status =
        secrets.add(DeviceIdentity::keychainService, DeviceIdentity::keychainAccount, id);
    if (status != 0) {
        debugLog("⚠️ Keychain save failed: " + std::to_string(status));
        return false;
    }
    return true;
}

} // namespace

std::string DeviceIdentity::settle(SecretStore& secrets, Defaults& defaults) {
    // An empty stored value would make every request anonymous: it counts as no value.
    if (auto id = secrets.find(keychainService, keychainAccount, false); id && !id->empty()) {
        debugLog("🔑 Device ID from keychain: " + prefix8(*id));
        return *id;
    }
    // A migration source is removed only once the identifier is safely in the keychain;
    // otherwise the next start finds it again instead of making a new identifier.
    if (auto id = secrets.find(keychainService, keychainAccount, true); id && !id->empty()) {
        if (saveToKeychain(secrets, *id)) {
            secrets.remove(keychainService, keychainAccount, true);
        }
        debugLog("🔑 Migrated device ID from sync keychain: " + prefix8(*id));
        return *id;
    }
    if (auto id = defaults.stringValue("deviceId"); id && !id->empty()) {
        if (saveToKeychain(secrets, *id)) {
            defaults.remove("deviceId");
        }
        debugLog("🔑 Migrated device ID from UserDefaults: " + prefix8(*id));
        return *id;
    }
    const std::string id = Uuid().uuidString();
    saveToKeychain(secrets, id);
    debugLog("🔑 Generated new device ID: " + prefix8(id));
    return id;
}

void DeviceIdentity::registerDevice(HttpSession& session, const std::string& baseURL,
                                    const std::string& deviceId, const std::string& computerName,
                                    const std::string& osVersion) {
    const std::string url = baseURL + "/register";
    if (!isValidHttpURL(url)) {
        return;
    }
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/json"}};
    request.timeoutSeconds = 60;
    request.body =
        compactJson(nlohmann::json{{"device_id", deviceId},
                                   {"device_name", computerName.empty() ? "unknown" : computerName},
                                   {"os_version", osVersion}});
    session.dataTask(std::move(request), [prefix = prefix8(deviceId)](HttpResult result) {
        if (result.error) {
            debugLog("⚠️ Device registration failed: " + result.error->description);
        } else {
            debugLog("✅ Device registered: " + prefix);
        }
    });
}

} // namespace skrib
