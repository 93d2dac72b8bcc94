#pragma once

#include <filesystem>
#include <memory>

#include "platform/settings/settings.hpp"

class QSettings;

namespace tarnel {

// The user's settings in an INI file through QSettings. Values are kept as
// text, so every read converts as the platform's defaults do (settingText and
// its siblings): a value reads the same before and after the file is read
// again. Each write and removal is written out at once. Keys are plain names
// (QSettings reads "/" and "\\" as group separators); an empty key names
// nothing.
class QSettingsStore final : public Settings {
public:
    // The settings of the INI file at `file` (made, with its folder, on the
    // first write).
    explicit QSettingsStore(const std::filesystem::path& file);
    ~QSettingsStore() override;
    QSettingsStore(const QSettingsStore&) = delete;
    QSettingsStore& operator=(const QSettingsStore&) = delete;

    // The user's file: "<config home>/Tarnel Direct/settings.ini".
    [[nodiscard]] static std::filesystem::path defaultFile();

    [[nodiscard]] std::optional<std::string> string(std::string_view key) const override;
    [[nodiscard]] bool boolean(std::string_view key) const override;
    [[nodiscard]] std::int64_t integer(std::string_view key) const override;
    [[nodiscard]] bool contains(std::string_view key) const override;
    void set(std::string_view key, const SettingValue& value) override;
    void remove(std::string_view key) override;

private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace tarnel
