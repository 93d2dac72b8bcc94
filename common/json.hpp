#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.hpp"

namespace tarnel::json {

// A parsed JSON value. Objects keep their keys sorted by UTF-8 bytes, which is
// Unicode code point order.
using Value = nlohmann::json;
// A JSON value whose objects keep their keys in insertion order (state files).
using OrderedValue = nlohmann::ordered_json;

inline constexpr std::size_t kDefaultMaximumDepth = 64;

enum class TopLevel { object, array, any };

class JsonError final : public Error {
public:
    enum class Case {
        invalidSyntax,      // not JSON at all
        invalidUTF8,        // the text is not well-formed UTF-8
        duplicateKey,       // an object repeats a key
        nestingTooDeep,     // containers nested beyond the cap
        wrongTopLevel,      // the top-level value is not of the required kind
        missingKey,         // a required key is absent or null
        typeMismatch,       // a value has another type than the one required
        numberOutOfRange,   // an integer does not fit the required type
        nonFiniteNumber,    // a writer was given NaN or an infinity
    };

    JsonError(Case errorCase, std::string detail = {});
    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The key path or parser detail that the message names.
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "JSONError"; }

private:
    Case case_;
    std::string detail_;
};

// How an integer literal beyond the 64-bit range is read: refused as
// numberOutOfRange (our own files and most documents), or as the nearest
// double, for documents whose rules judge every number by its value.
enum class WideIntegers { refuse, asDouble };

// Strict parsing: refuses invalid UTF-8 anywhere in the text, duplicate keys,
// nesting deeper than `maximumDepth` containers and a top-level value of the
// wrong kind. Throws JsonError.
[[nodiscard]] Value parse(std::string_view text, TopLevel topLevel = TopLevel::object,
                          std::size_t maximumDepth = kDefaultMaximumDepth,
                          WideIntegers wideIntegers = WideIntegers::refuse);

// Typed reads of single values. `path` names the value in error messages.
// Integers must be written as integers: a float such as 1.0 is refused, and a
// value outside the target type is a range error, never converted.
[[nodiscard]] const std::string& asString(const Value& value, std::string_view path);
[[nodiscard]] bool asBool(const Value& value, std::string_view path);
[[nodiscard]] double asDouble(const Value& value, std::string_view path);  // integer or float
[[nodiscard]] std::int64_t asInt64(const Value& value, std::string_view path);
[[nodiscard]] std::uint64_t asUInt64(const Value& value, std::string_view path);
[[nodiscard]] const Value& asObject(const Value& value, std::string_view path);
[[nodiscard]] const Value& asArray(const Value& value, std::string_view path);
// A list of strings; an element of another type fails naming "<path>[<index>]".
[[nodiscard]] std::vector<std::string> asStringArray(const Value& value, std::string_view path);

template <std::integral T>
[[nodiscard]] T asInteger(const Value& value, std::string_view path) {
    if constexpr (std::is_same_v<T, bool>) {
        return asBool(value, path);
    } else if constexpr (std::is_signed_v<T>) {
        const std::int64_t wide = asInt64(value, path);
        if (wide < std::numeric_limits<T>::min() || wide > std::numeric_limits<T>::max()) {
            throw JsonError(JsonError::Case::numberOutOfRange, std::string(path));
        }
        return static_cast<T>(wide);
    } else {
        const std::uint64_t wide = asUInt64(value, path);
        if (wide > std::numeric_limits<T>::max()) {
            throw JsonError(JsonError::Case::numberOutOfRange, std::string(path));
        }
        return static_cast<T>(wide);
    }
}

// Reads the members of one object. Required reads fail when the key is absent
// or null; optional reads give nothing for an absent or null key but still
// refuse a present value of the wrong type.
class ObjectReader {
public:
    // Throws typeMismatch unless `object` is an object.
    explicit ObjectReader(const Value& object, std::string path = {});
    // The reader keeps a reference to the object, so it cannot read a temporary.
    ObjectReader(const Value&& object, std::string path = {}) = delete;

    [[nodiscard]] bool has(std::string_view key) const;  // present and not null
    [[nodiscard]] const Value& value(std::string_view key) const;
    [[nodiscard]] const Value* optionalValue(std::string_view key) const;

    [[nodiscard]] std::string string(std::string_view key) const;
    [[nodiscard]] std::optional<std::string> optionalString(std::string_view key) const;
    [[nodiscard]] bool boolean(std::string_view key) const;
    [[nodiscard]] std::optional<bool> optionalBoolean(std::string_view key) const;
    [[nodiscard]] double number(std::string_view key) const;
    [[nodiscard]] std::optional<double> optionalNumber(std::string_view key) const;
    [[nodiscard]] const Value& object(std::string_view key) const;
    [[nodiscard]] const Value& array(std::string_view key) const;
    [[nodiscard]] std::vector<std::string> stringArray(std::string_view key) const;
    [[nodiscard]] std::optional<std::vector<std::string>> optionalStringArray(std::string_view key) const;

    template <std::integral T>
    [[nodiscard]] T integer(std::string_view key) const {
        return asInteger<T>(value(key), pathOf(key));
    }
    template <std::integral T>
    [[nodiscard]] std::optional<T> optionalInteger(std::string_view key) const {
        const Value* found = optionalValue(key);
        if (found == nullptr) return std::nullopt;
        return asInteger<T>(*found, pathOf(key));
    }

    [[nodiscard]] const Value& raw() const noexcept { return object_; }
    [[nodiscard]] std::string pathOf(std::string_view key) const;

private:
    const Value& object_;
    std::string path_;
};

// Canonical form for bytes that are hashed or signed: keys sorted by code
// point, no white space, "/" not escaped, non-ASCII written as UTF-8, control
// characters as \b \f \n \r \t or \u00xx, integers in decimal and floats in
// their shortest round-trip form (1.0, 1e-05, 1e+16).
[[nodiscard]] std::string writeCanonical(const Value& value);

// How a writer writes "/" inside strings.
enum class Slashes { escaped, unescaped };

// Pretty form of the runtime configuration files: keys sorted, two-space
// indent, `"key" : value`, "/" written as "\/" unless asked otherwise.
[[nodiscard]] std::string writePretty(const Value& value, Slashes slashes = Slashes::escaped);

// Compact form that keeps each object's keys in insertion order, for records
// whose fields are written in their declared order.
[[nodiscard]] std::string writeOrdered(const OrderedValue& value);

}  // namespace tarnel::json
