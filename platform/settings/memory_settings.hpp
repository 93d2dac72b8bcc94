#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings/settings.hpp"

namespace tarnel {

// Settings held in memory, for tests and for a process that must not touch
// the user's own: they read as every store does (settingText and its
// siblings) and keep a record of every write and removal, in order.
class MemorySettings final : public Settings {
public:
    // One write (with its value) or removal (without one). Every call is
    // recorded, the removal of an absent key too.
    struct Change {
        std::string key;
        std::optional<SettingValue> value;

        friend bool operator==(const Change&, const Change&) = default;
    };

    MemorySettings() = default;
    // Starts with these values, which are not recorded as changes.
    explicit MemorySettings(std::map<std::string, SettingValue, std::less<>> values) : values_(std::move(values)) {}

    [[nodiscard]] std::optional<std::string> string(std::string_view key) const override;
    [[nodiscard]] bool boolean(std::string_view key) const override;
    [[nodiscard]] std::int64_t integer(std::string_view key) const override;
    [[nodiscard]] bool contains(std::string_view key) const override;
    void set(std::string_view key, const SettingValue& value) override;
    void remove(std::string_view key) override;

    [[nodiscard]] const std::map<std::string, SettingValue, std::less<>>& values() const noexcept { return values_; }
    [[nodiscard]] const std::vector<Change>& changes() const noexcept { return changes_; }

private:
    [[nodiscard]] const SettingValue* find(std::string_view key) const;

    std::map<std::string, SettingValue, std::less<>> values_;
    std::vector<Change> changes_;
};

}  // namespace tarnel
