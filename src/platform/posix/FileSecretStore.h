#pragma once

#include "platform/SecretStore.h"

#include <mutex>
#include <string>

namespace skrib {

/// Secrets in a private file (mode 0600), for desktops without a Secret Service.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(std::string path);

    std::optional<std::string> find(const std::string& service, const std::string& account,
                                    bool legacy) override;
    void remove(const std::string& service, const std::string& account, bool legacy) override;
    int add(const std::string& service, const std::string& account,
            const std::string& value) override;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::mutex mutex_;
};

} // namespace skrib
