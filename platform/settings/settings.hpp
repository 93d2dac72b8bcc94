#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tarnel {

// One stored value of the user's settings.
using SettingValue = std::variant<std::string, bool, std::int64_t>;

// The user's settings (the user defaults of the application): a flat map from
// keys to strings, booleans and integers. Reads follow the platform's
// defaults: an absent string is none, an absent boolean false, an absent
// integer, or text that is not a number, 0.
class Settings {
public:
    virtual ~Settings() = default;

    [[nodiscard]] virtual std::optional<std::string> string(std::string_view key) const = 0;
    [[nodiscard]] virtual bool boolean(std::string_view key) const = 0;
    [[nodiscard]] virtual std::int64_t integer(std::string_view key) const = 0;
    [[nodiscard]] virtual bool contains(std::string_view key) const = 0;
    virtual void set(std::string_view key, const SettingValue& value) = 0;
    virtual void remove(std::string_view key) = 0;
};

}  // namespace tarnel
