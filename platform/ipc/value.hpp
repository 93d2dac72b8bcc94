#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

// The values that travel over the helper's IPC channel: the property-list
// kinds that the helper's operations use, and nothing else.
namespace tarnel::ipc {

// A byte string. A type of its own, so that data is never taken for text or
// text for data; an empty Data is a present value, unlike an absent key.
struct Data {
    std::string bytes;

    Data() = default;
    explicit Data(std::string value) : bytes(std::move(value)) {}
    friend bool operator==(const Data&, const Data&) = default;
};

// One value: data, text (always well-formed UTF-8), a 64-bit integer, a
// double (sent bit for bit) or a boolean. Nil is not a value: it is a key
// that is absent from its dictionary.
using Value = std::variant<Data, std::string, std::int64_t, double, bool>;

// Named values; the arguments of a request and the values of a reply.
using Dictionary = std::map<std::string, Value, std::less<>>;

// The value of `key` when it is present and of kind T; nullptr when the key
// is absent (nil) or holds another kind.
template <typename T>
[[nodiscard]] const T* find(const Dictionary& dictionary, std::string_view key) {
    const auto entry = dictionary.find(key);
    return entry == dictionary.end() ? nullptr : std::get_if<T>(&entry->second);
}

// The text of `key`, or "" when it is nil or not text: how an operation reads
// a text argument whose absence means the empty text.
[[nodiscard]] inline std::string textOrEmpty(const Dictionary& dictionary, std::string_view key) {
    const auto* text = find<std::string>(dictionary, key);
    return text ? *text : std::string();
}

// The number of `key`, or 0 when it is nil or not a number: how an operation
// reads a number argument whose absence means 0. An integer counts when a
// double holds it exactly (magnitude at most 2^53).
[[nodiscard]] inline double numberOrZero(const Dictionary& dictionary, std::string_view key) {
    if (const auto* number = find<double>(dictionary, key)) return *number;
    constexpr std::int64_t exactLimit = std::int64_t{1} << 53;
    if (const auto* integer = find<std::int64_t>(dictionary, key);
        integer && *integer >= -exactLimit && *integer <= exactLimit) {
        return static_cast<double>(*integer);
    }
    return 0.0;
}

}  // namespace tarnel::ipc
