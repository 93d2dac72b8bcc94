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

// How a stored value reads as each kind, the way the platform's defaults
// convert between them, so that every store answers alike:
// - as text: a string as it is, a boolean "1" or "0", an integer in decimal;
// - as a boolean: a boolean as it is, an integer when not 0, a string when,
//   after leading white space, a sign and zeros, it starts with one of
//   "YyTt" or a digit 1-9;
// - as an integer: an integer as it is, a boolean 1 or 0, a string by its
//   leading decimal number (after white space and a sign; digits up to the
//   first other character, clamped to the 64-bit range), 0 when it has none.
[[nodiscard]] std::string settingText(const SettingValue& value);
[[nodiscard]] bool settingBoolean(const SettingValue& value);
[[nodiscard]] std::int64_t settingInteger(const SettingValue& value);

}  // namespace tarnel
