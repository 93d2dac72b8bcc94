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

#include "common/base/error.hpp"

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

// The containers on the deepest path of the value: 0 for a scalar, 1 for a
// container of scalars. parse refuses a text whose value is deeper than its cap.
[[nodiscard]] std::size_t nestingDepth(const Value& value);

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

// Calls `visit(key, member)` for every member of the object `top` merged over
// the object `base` (null for none), as if `top`'s members had been copied
// over a copy of `base`, in ascending key order.
template <typename Visit>
void forEachMergedMember(const Value& top, const Value* base, Visit&& visit) {
    const auto& upper = top.get_ref<const Value::object_t&>();
    auto next = upper.begin();
    if (base != nullptr) {
        for (const auto& [key, member] : base->get_ref<const Value::object_t&>()) {
            for (; next != upper.end() && next->first < key; ++next) visit(std::string_view(next->first), next->second);
            if (next != upper.end() && next->first == key) continue;  // `top` replaces it
            visit(std::string_view(key), member);
        }
    }
    for (; next != upper.end(); ++next) visit(std::string_view(next->first), next->second);
}

// Reads the members of one object. Required reads fail when the key is absent
// or null; optional reads give nothing for an absent or null key but still
// refuse a present value of the wrong type. A reader may have a fallback
// object: a key the object lacks is looked up there, as if the object had
// been merged over a copy of the fallback.
class ObjectReader {
public:
    // Throws typeMismatch unless `object` is an object.
    explicit ObjectReader(const Value& object, std::string path = {});
    // `fallback`, when not null, must be an object.
    ObjectReader(const Value& object, const Value* fallback, std::string path);
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
        return integerOf<T>(value(key), key);
    }
    template <std::integral T>
    [[nodiscard]] std::optional<T> optionalInteger(std::string_view key) const {
        const Value* found = optionalValue(key);
        if (found == nullptr) return std::nullopt;
        return integerOf<T>(*found, key);
    }

    // Reads a member into a field by the field's type: required for a plain
    // field, optional for one in std::optional, with the failures of the
    // typed reads above.
    void read(std::string_view key, std::string& field) const { field = string(key); }
    void read(std::string_view key, std::optional<std::string>& field) const { field = optionalString(key); }
    void read(std::string_view key, std::int64_t& field) const { field = integer<std::int64_t>(key); }
    void read(std::string_view key, std::optional<std::int64_t>& field) const {
        field = optionalInteger<std::int64_t>(key);
    }
    void read(std::string_view key, bool& field) const { field = boolean(key); }
    void read(std::string_view key, std::optional<bool>& field) const { field = optionalBoolean(key); }
    void read(std::string_view key, std::vector<std::string>& field) const { field = stringArray(key); }
    void read(std::string_view key, std::optional<std::vector<std::string>>& field) const {
        field = optionalStringArray(key);
    }

    // The same for a member already at hand (null for an absent key), without
    // naming it: false where `read` would throw, `field` then unspecified.
    static bool tryRead(const Value* member, std::string& field);
    static bool tryRead(const Value* member, std::optional<std::string>& field);
    static bool tryRead(const Value* member, std::int64_t& field);
    static bool tryRead(const Value* member, std::optional<std::int64_t>& field);
    static bool tryRead(const Value* member, bool& field);
    static bool tryRead(const Value* member, std::optional<bool>& field);
    static bool tryRead(const Value* member, std::vector<std::string>& field);
    static bool tryRead(const Value* member, std::optional<std::vector<std::string>>& field);

    // Calls `visit(key, member)` for every member, the fallback's included
    // where the object has no member of that key, in ascending key order.
    template <typename Visit>
    void forEachMember(Visit&& visit) const {
        forEachMergedMember(object_, fallback_, visit);
    }

    [[nodiscard]] const Value& raw() const noexcept { return object_; }
    [[nodiscard]] std::string pathOf(std::string_view key) const;

private:
    // The path of a member is put together only when an error names it.
    template <std::integral T>
    T integerOf(const Value& member, std::string_view key) const {
        if constexpr (!std::is_same_v<T, bool>) {
            if (member.is_number_integer()) {
                // Within T: the common case, read without naming the member.
                if (member.is_number_unsigned()) {
                    const auto wide = member.get<std::uint64_t>();
                    if (wide <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(wide);
                } else if constexpr (std::is_signed_v<T>) {
                    const auto wide = member.get<std::int64_t>();
                    if (wide >= std::numeric_limits<T>::min() && wide <= std::numeric_limits<T>::max()) {
                        return static_cast<T>(wide);
                    }
                }
            }
        }
        return asInteger<T>(member, pathOf(key));
    }

    const Value& object_;
    const Value* fallback_ = nullptr;
    std::string path_;
};

// Canonical form for bytes that are hashed or signed: keys sorted by code
// point, no white space, "/" not escaped, non-ASCII written as UTF-8, control
// characters as \b \f \n \r \t or \u00xx, integers in decimal and floats in
// their shortest round-trip form (1.0, 1e-05, 1e+16).
[[nodiscard]] std::string writeCanonical(const Value& value);

// Writes canonical JSON (the form of writeCanonical) piece by piece, for a
// document that is put together while it is written instead of being held as
// one value. The caller gives the members of each object in ascending key
// order (UTF-8 byte order), as the canonical form requires. Throws JsonError
// as writeCanonical does.
class CanonicalWriter {
public:
    CanonicalWriter() = default;
    // Room for a text of about that size, made once rather than as it grows.
    explicit CanonicalWriter(std::size_t expectedSize) { out_.reserve(expectedSize); }

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // The key of the next member of the innermost object.
    void key(std::string_view key);
    // A whole value, as a member's value or an array element.
    void value(const Value& value);
    // A whole value of another form that writes itself canonically
    // (`appendCanonical(std::string&)`, as json::Document::Node does).
    template <typename SelfWriting>
    void value(const SelfWriting& value) {
        separate();
        value.appendCanonical(out_);
        comma_ = true;
    }
    void string(std::string_view text);
    void integer(std::int64_t number);

    // The text written so far; the writer is empty afterwards.
    [[nodiscard]] std::string take() { return std::move(out_); }

private:
    void open(char bracket);
    void close(char bracket);
    // Puts the comma before every element or member but the first.
    void separate() {
        if (comma_) out_ += ',';
    }

    std::string out_;
    // Whether what comes next follows an element or a member of the same
    // container: false right after an opening bracket and after a key.
    bool comma_ = false;
#ifndef NDEBUG
    // The last key of each open container ("" for an array or a new object).
    std::vector<std::string> lastKeys_;
#endif
};

// How a writer writes "/" inside strings.
enum class Slashes { escaped, unescaped };

// Pretty form of the runtime configuration files: keys sorted, two-space
// indent, `"key" : value`, "/" written as "\/" unless asked otherwise.
[[nodiscard]] std::string writePretty(const Value& value, Slashes slashes = Slashes::escaped);

// Compact form that keeps each object's keys in insertion order, for records
// whose fields are written in their declared order.
[[nodiscard]] std::string writeOrdered(const OrderedValue& value);

}  // namespace tarnel::json
