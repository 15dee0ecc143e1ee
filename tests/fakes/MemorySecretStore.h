#pragma once

#include "platform/SecretStore.h"

#include <map>
#include <mutex>
#include <tuple>

namespace skrib::testing {

/// A keychain in memory.
class MemorySecretStore final : public SecretStore {
public:
    std::optional<std::string> find(const std::string& service, const std::string& account,
                                    bool legacy) override {
        std::lock_guard lock(mutex_);
        const auto it = items_.find({service, account, legacy});
        return it == items_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    void remove(const std::string& service, const std::string& account, bool legacy) override {
        std::lock_guard lock(mutex_);
        items_.erase({service, account, legacy});
    }
    int add(const std::string& service, const std::string& account,
            const std::string& value) override {
        std::lock_guard lock(mutex_);
        if (items_.count({service, account, false}) != 0) {
            return -25299; // duplicate item
        }
        items_[{service, account, false}] = value;
        return 0;
    }

private:
    std::mutex mutex_;
    std::map<std::tuple<std::string, std::string, bool>, std::string> items_;
};

} // namespace skrib::testing
