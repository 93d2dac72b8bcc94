#include "platform/settings/settings.hpp"

#include <limits>
#include <type_traits>

namespace tarnel {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view skipSpace(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    return text;
}

bool textBoolean(std::string_view text) {
    text = skipSpace(text);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    while (!text.empty() && text.front() == '0') text.remove_prefix(1);
    if (text.empty()) return false;
    const char first = text.front();
    return first == 'Y' || first == 'y' || first == 'T' || first == 't' || (first >= '1' && first <= '9');
}

std::int64_t textInteger(std::string_view text) {
    text = skipSpace(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // Accumulated as a negative number, whose range holds the magnitude of
    // every 64-bit integer.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (; !text.empty() && isDigit(text.front()); text.remove_prefix(1)) {
        const int digit = text.front() - '0';
        if (value < (lowest + digit) / 10) {
            return negative ? lowest : std::numeric_limits<std::int64_t>::max();
        }
        value = value * 10 - digit;
    }
    if (negative) return value;
    return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

}  // namespace

std::string settingText(const SettingValue& value) {
    return std::visit(
        [](const auto& stored) -> std::string {
            using Stored = std::decay_t<decltype(stored)>;
            if constexpr (std::is_same_v<Stored, std::string>) {
                return stored;
            } else if constexpr (std::is_same_v<Stored, bool>) {
                return stored ? "1" : "0";
            } else {
                return std::to_string(stored);
            }
        },
        value);
}

bool settingBoolean(const SettingValue& value) {
    return std::visit(
        [](const auto& stored) -> bool {
            using Stored = std::decay_t<decltype(stored)>;
            if constexpr (std::is_same_v<Stored, std::string>) {
                return textBoolean(stored);
            } else {
                return stored != 0;
            }
        },
        value);
}

std::int64_t settingInteger(const SettingValue& value) {
    return std::visit(
        [](const auto& stored) -> std::int64_t {
            using Stored = std::decay_t<decltype(stored)>;
            if constexpr (std::is_same_v<Stored, std::string>) {
                return textInteger(stored);
            } else {
                return static_cast<std::int64_t>(stored);
            }
        },
        value);
}

}  // namespace tarnel
