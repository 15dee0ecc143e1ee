#pragma once

#include "platform/Defaults.h"

#include <memory>
#include <mutex>
#include <string>

class QSettings;

namespace skrib {

/// The user-defaults store as an INI file: $XDG_CONFIG_HOME/VantuSkrib/VantuSkrib.ini (or the
/// given file). Every change is written to disk at once.
class QSettingsDefaults final : public Defaults {
public:
    QSettingsDefaults();
    explicit QSettingsDefaults(const std::string& filePath);
    ~QSettingsDefaults() override;

    std::optional<DefaultsValue> value(const std::string& key) const override;
    void set(const std::string& key, const DefaultsValue& value) override;
    void remove(const std::string& key) override;
    using Defaults::set;

    /// The file the values live in.
    std::string fileName() const;

private:
    mutable std::mutex mutex_; // one QSettings object is not safe to share between threads
    std::unique_ptr<QSettings> settings_;
};

} // namespace skrib
