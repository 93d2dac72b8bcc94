#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/base/error.hpp"

namespace tarnel::sysconfig {

// A property-list value: a string, a signed 64-bit integer, a real, a
// boolean, data, an array or a dictionary with string keys. Two values are
// equal when they are of the same kind and hold equal contents, arrays element
// by element and dictionaries key by key; an integer never equals a real or a
// boolean. Dates and keyed-archive identifiers are not supported.
class PropertyList {
public:
    using Array = std::vector<PropertyList>;
    using Dictionary = std::map<std::string, PropertyList>;
    struct Data {
        std::string bytes;
        friend bool operator==(const Data&, const Data&) = default;
    };
    enum class Kind { string, integer, real, boolean, data, array, dictionary };

    PropertyList(std::string value) : value_(std::move(value)) {}
    PropertyList(const char* value) : value_(std::string(value)) {}
    template <std::integral T>
        requires(!std::same_as<T, bool> && (std::is_signed_v<T> || sizeof(T) < sizeof(std::int64_t)))
    PropertyList(T value) : value_(static_cast<std::int64_t>(value)) {}
    PropertyList(double value) : value_(value) {}
    PropertyList(bool value) : value_(value) {}
    PropertyList(Data value) : value_(std::move(value)) {}
    PropertyList(Array value) : value_(std::move(value)) {}
    PropertyList(Dictionary value) : value_(std::move(value)) {}

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }

    // The value when it is of kind T (std::string, std::int64_t, double, bool,
    // Data, Array or Dictionary), else nullptr.
    template <typename T>
    [[nodiscard]] const T* get() const noexcept {
        return std::get_if<T>(&value_);
    }
    template <typename T>
    [[nodiscard]] T* get() noexcept {
        return std::get_if<T>(&value_);
    }

    friend bool operator==(const PropertyList&, const PropertyList&) = default;

private:
    // In the order of Kind.
    std::variant<std::string, std::int64_t, double, bool, Data, Array, Dictionary> value_;
};

class PropertyListError final : public Error {
public:
    enum class Case {
        unreadable,   // not a property list in the XML or binary format, or one this type cannot hold
        unwritable,   // a string or key that is not well-formed UTF-8 or holds a NUL byte
    };

    explicit PropertyListError(Case errorCase) noexcept : case_(errorCase) {}
    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "PropertyListError"; }

private:
    Case case_;
};

// Reads property-list bytes in the XML or the binary format (libplist). Refuses
// with PropertyListError unreadable: any other text, a string or key that is
// not well-formed UTF-8, a date or keyed-archive identifier, and nesting
// deeper than 64 containers. A dictionary that repeats a key keeps the last
// value, as property-list readers do. Integers are read as signed 64-bit
// numbers.
[[nodiscard]] PropertyList parsePropertyList(std::string_view bytes);

// The value in the binary format, which keeps every string, integer and real
// exactly. Throws PropertyListError unwritable for a string or key that a
// property list cannot hold.
[[nodiscard]] std::string writeBinaryPropertyList(const PropertyList& value);

}  // namespace tarnel::sysconfig
