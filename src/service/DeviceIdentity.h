#pragma once

#include <string>

namespace skrib {

class Defaults;
class HttpSession;
class SecretStore;

/// The identifier that names this computer to the service, and the device's registration.
class DeviceIdentity {
public:
    static constexpr const char* keychainService = "app.vantu.skrib";
    static constexpr const char* keychainAccount = "deviceId";

    /// The identifier kept in the keychain; else one migrated from the legacy keychain item or
    /// the settings (their copy removed once the keychain holds it); else a new one, stored.
    static std::string settle(SecretStore& secrets, Defaults& defaults);

    /// Announces the device to the service in the background; the outcome is only logged.
    static void registerDevice(HttpSession& session, const std::string& baseURL,
                               const std::string& deviceId, const std::string& computerName,
                               const std::string& osVersion);
};

} // namespace skrib
