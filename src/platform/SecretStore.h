#pragma once

#include <optional>
#include <string>

namespace skrib {

/// Small secrets kept for the user by the desktop (the keychain), addressed by service and
/// account. Each (service, account) may have a local item and a legacy synchronised item
/// (marked `synchronizable`); the two are read and deleted separately.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    /// The value of the local item, or with `legacy` of the synchronised item; none when there
    /// is no such item or it cannot be read as UTF-8 text.
    virtual std::optional<std::string> find(const std::string& service, const std::string& account,
                                            bool legacy) = 0;

    /// Deletes the local items (or with `legacy`, the synchronised ones); the other kind stays.
    virtual void remove(const std::string& service, const std::string& account, bool legacy) = 0;

    /// Adds a local item; answers 0 on success, else a non-zero status for the log.
    virtual int add(const std::string& service, const std::string& account,
                    const std::string& value) = 0;
};

} // namespace skrib
