#include "platform/qt/QSettingsDefaults.h"

#include <QSettings>
#include <QString>
#include <QVariant>

namespace skrib {
namespace {

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

QSettingsDefaults::QSettingsDefaults()
    : settings_(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                            QStringLiteral("VantuSkrib"),
                                            QStringLiteral("VantuSkrib"))) {}

QSettingsDefaults::QSettingsDefaults(const std::string& filePath)
    : settings_(std::make_unique<QSettings>(toQString(filePath), QSettings::IniFormat)) {}

QSettingsDefaults::~QSettingsDefaults() = default;

std::optional<DefaultsValue> QSettingsDefaults::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = settings_->value(toQString(key));
    if (!v.isValid()) {
        return std::nullopt;
    }
    // INI files keep text; the typed reads of Defaults convert it back.
    switch (v.typeId()) {
    case QMetaType::Bool:
        return DefaultsValue(v.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return DefaultsValue(static_cast<std::int64_t>(v.toLongLong()));
    case QMetaType::Double:
        return DefaultsValue(v.toDouble());
    default:
        return DefaultsValue(v.toString().toStdString());
    }
}

void QSettingsDefaults::set(const std::string& key, const DefaultsValue& value) {
    QVariant v;
    if (const auto* b = std::get_if<bool>(&value)) {
        v = *b;
    } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
        v = static_cast<qlonglong>(*i);
    } else if (const auto* d = std::get_if<double>(&value)) {
        v = *d;
    } else {
        v = toQString(std::get<std::string>(value));
    }
    std::lock_guard lock(mutex_);
    settings_->setValue(toQString(key), v);
    settings_->sync();
}

void QSettingsDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    settings_->remove(toQString(key));
    settings_->sync();
}

std::string QSettingsDefaults::fileName() const {
    std::lock_guard lock(mutex_);
    return settings_->fileName().toStdString();
}

} // namespace skrib
