#pragma once

#include "platform/SecretStore.h"

#include <memory>
#include <string>

namespace skrib {

/// Secrets in the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC…) through
/// libsecret. Items carry the attributes "service" and "account"; legacy synchronised items
/// carry "synchronizable" = "true" as well. The Secret Service matches any item whose
/// attributes include the ones asked for, so every match is checked for that flag.
class LibsecretStore final : public SecretStore {
public:
    /// Whether a Secret Service answers on the session bus.
    static bool available();

    std::optional<std::string> find(const std::string& service, const std::string& account,
                                    bool legacy) override;
    void remove(const std::string& service, const std::string& account, bool legacy) override;
    int add(const std::string& service, const std::string& account,
            const std::string& value) override;
};

/// The Secret Service when one answers, else a private file in `dataDirectory` (said once in
/// the log).
std::unique_ptr<SecretStore> makeSecretStore(const std::string& dataDirectory);

} // namespace skrib
