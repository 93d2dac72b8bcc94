#include "app/state/qsettings_store.hpp"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <type_traits>

#include "platform/user_directories.hpp"

namespace tarnel {

namespace {

QString toQString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QVariant toVariant(const SettingValue& value) {
    return std::visit(
        [](const auto& stored) -> QVariant {
            using Stored = std::decay_t<decltype(stored)>;
            if constexpr (std::is_same_v<Stored, std::string>) {
                return toQString(stored);
            } else if constexpr (std::is_same_v<Stored, bool>) {
                return QVariant(stored);
            } else {
                return QVariant(static_cast<qlonglong>(stored));
            }
        },
        value);
}

}  // namespace

QSettingsStore::QSettingsStore(const std::filesystem::path& file)
    : settings_(std::make_unique<QSettings>(toQString(file.string()), QSettings::IniFormat)) {}

QSettingsStore::~QSettingsStore() = default;

std::filesystem::path QSettingsStore::defaultFile() {
    return UserDirectories::preferences() / "Tarnel Direct" / "settings.ini";
}

std::optional<std::string> QSettingsStore::string(std::string_view key) const {
    const QVariant value = settings_->value(toQString(key));
    if (!value.isValid()) return std::nullopt;
    // Text in the file, or the value as written until the file is read again:
    // its text in both cases ("true", "7", ...).
    return value.toString().toStdString();
}

bool QSettingsStore::boolean(std::string_view key) const {
    const std::optional<std::string> text = string(key);
    return text && settingBoolean(*text);
}

std::int64_t QSettingsStore::integer(std::string_view key) const {
    const std::optional<std::string> text = string(key);
    return text ? settingInteger(*text) : 0;
}

bool QSettingsStore::contains(std::string_view key) const { return settings_->contains(toQString(key)); }

void QSettingsStore::set(std::string_view key, const SettingValue& value) {
    if (key.empty()) return;
    settings_->setValue(toQString(key), toVariant(value));
    settings_->sync();
}

void QSettingsStore::remove(std::string_view key) {
    // QSettings removes every key for an empty one.
    if (key.empty()) return;
    settings_->remove(toQString(key));
    settings_->sync();
}

}  // namespace tarnel
