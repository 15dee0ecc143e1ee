#pragma once

#include "platform/Defaults.h"

#include <map>
#include <mutex>

namespace skrib::testing {

/// The user-defaults store in memory.
class MemoryDefaults final : public Defaults {
public:
    std::optional<DefaultsValue> value(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        const auto it = values_.find(key);
        return it == values_.end() ? std::nullopt : std::optional<DefaultsValue>(it->second);
    }
    void set(const std::string& key, const DefaultsValue& value) override {
        std::lock_guard lock(mutex_);
        values_.insert_or_assign(key, value);
    }
    void remove(const std::string& key) override {
        std::lock_guard lock(mutex_);
        values_.erase(key);
    }
    using Defaults::set;

private:
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue> values_;
};

} // namespace skrib::testing
