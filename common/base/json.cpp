#include "common/base/json.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/base/json_internal.hpp"
#include "common/base/utf8.hpp"

namespace tarnel::json {

JsonError::JsonError(Case errorCase, std::string detail)
    : case_(errorCase), detail_(std::move(detail)) {}

std::string JsonError::message() const {
    const auto named = [this](std::string_view text) {
        return std::string(text) + " \"" + detail_ + "\".";
    };
    switch (case_) {
        case Case::invalidSyntax: return "The data is not valid JSON.";
        case Case::invalidUTF8: return "The JSON text is not valid UTF-8.";
        case Case::duplicateKey: return named("The JSON object repeats the key");
        case Case::nestingTooDeep: return "The JSON text is nested too deeply.";
        case Case::wrongTopLevel: return "The JSON text has the wrong top-level type.";
        case Case::missingKey: return named("The JSON value is missing");
        case Case::typeMismatch: return named("The JSON value has the wrong type at");
        case Case::numberOutOfRange: return named("The JSON number is out of range at");
        case Case::nonFiniteNumber: return "JSON cannot represent a non-finite number.";
    }
    return "The data is not valid JSON.";
}

namespace {

using detail::anyByteBelow;
using detail::anyByteEqual;
using detail::kHighBits;
using detail::ReadString;
using detail::wordAt;

// Builds the document as json::Value objects for the strict reader.
class ValueBuilder {
public:
    using Slot = Value*;

    Slot root() { return &root_; }
    void openObject(Slot slot) { open(slot, Value::object()); }
    void openArray(Slot slot) { open(slot, Value::array()); }

    Slot member(ReadString&& key) {
        auto [member, added] = open_.back()->get_ref<Value::object_t&>().try_emplace(key.take());
        if (!added) throw JsonError(JsonError::Case::duplicateKey, member->first);
        return &member->second;
    }

    Slot element() { return &open_.back()->get_ref<Value::array_t&>().emplace_back(); }
    [[nodiscard]] bool innermostIsObject() const { return open_.back()->is_object(); }
    [[nodiscard]] std::size_t openContainers() const { return open_.size(); }
    void close() { open_.pop_back(); }

    template <typename Scalar>
    void set(Slot slot, Scalar value) {
        *slot = value;
    }
    void set(Slot slot, ReadString&& text) { *slot = text.take(); }

    [[nodiscard]] bool rootIsObject() const { return root_.is_object(); }
    [[nodiscard]] bool rootIsArray() const { return root_.is_array(); }
    [[nodiscard]] Value take() { return std::move(root_); }

private:
    // Only the innermost open container ever grows, so the pointers to its
    // ancestors stay valid.
    void open(Slot slot, Value container) {
        *slot = std::move(container);
        open_.push_back(slot);
    }

    Value root_;
    std::vector<Value*> open_;
};

}  // namespace

Value parse(std::string_view text, TopLevel topLevel, std::size_t maximumDepth, WideIntegers wideIntegers) {
    ValueBuilder builder;
    detail::readStrictly(text, topLevel, maximumDepth, builder, wideIntegers);
    return builder.take();
}

std::size_t nestingDepth(const Value& value) {
    if (!value.is_structured()) return 0;
    std::size_t deepest = 0;
    for (const Value& element : value) deepest = std::max(deepest, nestingDepth(element));
    return deepest + 1;
}

namespace {
[[noreturn]] void mismatch(std::string_view path) {
    throw JsonError(JsonError::Case::typeMismatch, std::string(path));
}
}  // namespace

const std::string& asString(const Value& value, std::string_view path) {
    if (!value.is_string()) mismatch(path);
    return value.get_ref<const std::string&>();
}

bool asBool(const Value& value, std::string_view path) {
    if (!value.is_boolean()) mismatch(path);
    return value.get<bool>();
}

double asDouble(const Value& value, std::string_view path) {
    if (!value.is_number()) mismatch(path);
    return value.get<double>();
}

std::int64_t asInt64(const Value& value, std::string_view path) {
    if (value.is_number_unsigned()) {
        const auto wide = value.get<std::uint64_t>();
        if (wide > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw JsonError(JsonError::Case::numberOutOfRange, std::string(path));
        }
        return static_cast<std::int64_t>(wide);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    mismatch(path);
}

std::uint64_t asUInt64(const Value& value, std::string_view path) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer()) {
        // A negative integer: nlohmann stores non-negative ones as unsigned.
        throw JsonError(JsonError::Case::numberOutOfRange, std::string(path));
    }
    mismatch(path);
}

const Value& asObject(const Value& value, std::string_view path) {
    if (!value.is_object()) mismatch(path);
    return value;
}

const Value& asArray(const Value& value, std::string_view path) {
    if (!value.is_array()) mismatch(path);
    return value;
}

std::vector<std::string> asStringArray(const Value& value, std::string_view path) {
    const Value& array = asArray(value, path);
    std::vector<std::string> strings;
    strings.reserve(array.size());
    for (std::size_t index = 0; index < array.size(); ++index) {
        if (!array[index].is_string()) mismatch(std::string(path) + "[" + std::to_string(index) + "]");
        strings.push_back(array[index].get_ref<const std::string&>());
    }
    return strings;
}

ObjectReader::ObjectReader(const Value& object, std::string path)
    : object_(asObject(object, path)), path_(std::move(path)) {}

ObjectReader::ObjectReader(const Value& object, const Value* fallback, std::string path)
    : object_(asObject(object, path)),
      fallback_(fallback == nullptr ? nullptr : &asObject(*fallback, path)),
      path_(std::move(path)) {}

std::string ObjectReader::pathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

namespace {
const Value* memberOf(const Value& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}
}  // namespace

const Value* ObjectReader::optionalValue(std::string_view key) const {
    const Value* found = memberOf(object_, key);
    if (found == nullptr && fallback_ != nullptr) found = memberOf(*fallback_, key);
    return found == nullptr || found->is_null() ? nullptr : found;
}

bool ObjectReader::has(std::string_view key) const { return optionalValue(key) != nullptr; }

const Value& ObjectReader::value(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) {
        throw JsonError(JsonError::Case::missingKey, pathOf(key));
    }
    return *found;
}

// The typed reads check the type first and name the member's path only when
// they fail: most reads succeed, and the path is text put together.

std::string ObjectReader::string(std::string_view key) const {
    const Value& found = value(key);
    if (!found.is_string()) mismatch(pathOf(key));
    return found.get_ref<const std::string&>();
}

std::optional<std::string> ObjectReader::optionalString(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    if (!found->is_string()) mismatch(pathOf(key));
    return found->get_ref<const std::string&>();
}

bool ObjectReader::boolean(std::string_view key) const {
    const Value& found = value(key);
    if (!found.is_boolean()) mismatch(pathOf(key));
    return found.get<bool>();
}

std::optional<bool> ObjectReader::optionalBoolean(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    if (!found->is_boolean()) mismatch(pathOf(key));
    return found->get<bool>();
}

double ObjectReader::number(std::string_view key) const {
    const Value& found = value(key);
    if (!found.is_number()) mismatch(pathOf(key));
    return found.get<double>();
}

std::optional<double> ObjectReader::optionalNumber(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    if (!found->is_number()) mismatch(pathOf(key));
    return found->get<double>();
}

const Value& ObjectReader::object(std::string_view key) const {
    const Value& found = value(key);
    if (!found.is_object()) mismatch(pathOf(key));
    return found;
}

const Value& ObjectReader::array(std::string_view key) const {
    const Value& found = value(key);
    if (!found.is_array()) mismatch(pathOf(key));
    return found;
}

std::vector<std::string> ObjectReader::stringArray(std::string_view key) const {
    return asStringArray(value(key), pathOf(key));
}

std::optional<std::vector<std::string>> ObjectReader::optionalStringArray(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    return asStringArray(*found, pathOf(key));
}

namespace {

// The integer a typed read accepts: written as an integer and within int64.
bool exactInt64(const Value& member, std::int64_t& field) {
    if (member.is_number_unsigned()) {
        const auto wide = member.get<std::uint64_t>();
        if (wide > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        field = static_cast<std::int64_t>(wide);
        return true;
    }
    if (!member.is_number_integer()) return false;
    field = member.get<std::int64_t>();
    return true;
}

bool isAbsent(const Value* member) { return member == nullptr || member->is_null(); }

template <typename Field>
bool tryReadOptional(const Value* member, std::optional<Field>& field) {
    if (isAbsent(member)) {
        field.reset();
        return true;
    }
    return ObjectReader::tryRead(member, field.emplace());
}

}  // namespace

bool ObjectReader::tryRead(const Value* member, std::string& field) {
    if (isAbsent(member) || !member->is_string()) return false;
    field = member->get_ref<const std::string&>();
    return true;
}

bool ObjectReader::tryRead(const Value* member, std::int64_t& field) {
    return !isAbsent(member) && exactInt64(*member, field);
}

bool ObjectReader::tryRead(const Value* member, bool& field) {
    if (isAbsent(member) || !member->is_boolean()) return false;
    field = member->get<bool>();
    return true;
}

bool ObjectReader::tryRead(const Value* member, std::vector<std::string>& field) {
    if (isAbsent(member) || !member->is_array()) return false;
    field.clear();
    field.reserve(member->size());
    for (const Value& element : *member) {
        if (!element.is_string()) return false;
        field.push_back(element.get_ref<const std::string&>());
    }
    return true;
}

bool ObjectReader::tryRead(const Value* member, std::optional<std::string>& field) {
    return tryReadOptional(member, field);
}

bool ObjectReader::tryRead(const Value* member, std::optional<std::int64_t>& field) {
    return tryReadOptional(member, field);
}

bool ObjectReader::tryRead(const Value* member, std::optional<bool>& field) { return tryReadOptional(member, field); }

bool ObjectReader::tryRead(const Value* member, std::optional<std::vector<std::string>>& field) {
    return tryReadOptional(member, field);
}

// ---------------------------------------------------------------------------
// Writers

namespace {

struct Style {
    bool pretty = false;
    bool escapeSlash = false;
};

// How the writers treat each byte of a string.
enum class ByteClass : std::uint8_t {
    plain,      // ASCII written as itself
    escaped,    // '"', '\\' and the control characters
    slash,      // '/': escaped only in the pretty form
    multibyte,  // the lead or continuation byte of a longer sequence
};

constexpr std::array<ByteClass, 256> kByteClasses = [] {
    std::array<ByteClass, 256> classes{};
    for (std::size_t byte = 0; byte < classes.size(); ++byte) {
        classes[byte] = byte < 0x20 || byte == '"' || byte == '\\' ? ByteClass::escaped
                        : byte == '/'                               ? ByteClass::slash
                        : byte >= 0x80                              ? ByteClass::multibyte
                                                                    : ByteClass::plain;
    }
    return classes;
}();

void appendEscape(std::string& out, char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '/': out += "\\/"; break;
        default:
            out += "\\u00";
            out += kHex[(c >> 4) & 0x0F];
            out += kHex[c & 0x0F];
    }
}

// Writes the string in one pass: runs of bytes that stand for themselves are
// copied whole, multi-byte sequences are checked as they are met, and text
// that is not well-formed UTF-8 is refused before anything of it is written.
void appendString(std::string& out, std::string_view text, const Style& style) {
    const std::size_t start = out.size();
    out += '"';
    std::size_t run = 0;
    std::size_t next = 0;
    while (next < text.size()) {
        // Eight plain ASCII bytes at a time while there are.
        while (text.size() - next >= 8) {
            const std::uint64_t word = wordAt(text.data() + next);
            if ((anyByteBelow(word, 0x20) | anyByteEqual(word, '"') | anyByteEqual(word, '\\') |
                 anyByteEqual(word, '/') | (word & kHighBits)) != 0) {
                break;
            }
            next += 8;
        }
        if (next == text.size()) break;
        switch (kByteClasses[static_cast<unsigned char>(text[next])]) {
            case ByteClass::plain:
                ++next;
                continue;
            case ByteClass::multibyte:
                if (!utf8::decodeNext(text, next)) {
                    out.resize(start);
                    throw JsonError(JsonError::Case::invalidUTF8);
                }
                continue;
            case ByteClass::slash:
                if (!style.escapeSlash) {
                    ++next;
                    continue;
                }
                break;
            case ByteClass::escaped:
                break;
        }
        out.append(text.substr(run, next - run));
        appendEscape(out, text[next]);
        run = ++next;
    }
    out.append(text.substr(run));
    out += '"';
}

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// The shortest digits that read back as the same double, laid out as a
// decimal for exponents -4..15 and in scientific form otherwise, always with a
// fraction or an exponent so that the text reads back as a float.
void appendDouble(std::string& out, double value) {
    if (!std::isfinite(value)) {
        throw JsonError(JsonError::Case::nonFiniteNumber);
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
    std::string sign;
    if (!scientific.empty() && scientific.front() == '-') {
        sign = "-";
        scientific.remove_prefix(1);
    }
    const auto e = scientific.find('e');
    std::string digits;
    for (const char c : scientific.substr(0, e)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    const auto exponentText = scientific.substr(e + 1);
    std::from_chars(exponentText.data() + (exponentText.front() == '+' ? 1 : 0),
                    exponentText.data() + exponentText.size(), exponent);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    out += sign;
    const int pointPosition = exponent + 1;  // digits before the decimal point
    if (exponent >= -4 && exponent < 16) {
        if (pointPosition <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-pointPosition), '0');
            out += digits;
        } else if (static_cast<std::size_t>(pointPosition) >= digits.size()) {
            out += digits;
            out.append(static_cast<std::size_t>(pointPosition) - digits.size(), '0');
            out += ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(pointPosition));
            out += '.';
            out += digits.substr(static_cast<std::size_t>(pointPosition));
        }
    } else {
        out += digits.front();
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
    }
}

void appendIndent(std::string& out, std::size_t level) { out.append(level * 2, ' '); }

template <typename Json>
void appendValue(std::string& out, const Json& value, const Style& style, std::size_t level) {
    switch (value.type()) {
        case nlohmann::json::value_t::null: out += "null"; return;
        case nlohmann::json::value_t::boolean: out += value.template get<bool>() ? "true" : "false"; return;
        case nlohmann::json::value_t::number_integer:
            appendInteger(out, value.template get<std::int64_t>());
            return;
        case nlohmann::json::value_t::number_unsigned:
            appendInteger(out, value.template get<std::uint64_t>());
            return;
        case nlohmann::json::value_t::number_float: appendDouble(out, value.template get<double>()); return;
        case nlohmann::json::value_t::string:
            appendString(out, value.template get_ref<const std::string&>(), style);
            return;
        case nlohmann::json::value_t::array: {
            if (value.empty()) {
                out += "[]";
                return;
            }
            out += '[';
            bool first = true;
            for (const auto& element : value) {
                if (!first) out += ',';
                first = false;
                if (style.pretty) {
                    out += '\n';
                    appendIndent(out, level + 1);
                }
                appendValue(out, element, style, level + 1);
            }
            if (style.pretty) {
                out += '\n';
                appendIndent(out, level);
            }
            out += ']';
            return;
        }
        case nlohmann::json::value_t::object: {
            if (value.empty()) {
                out += "{}";
                return;
            }
            out += '{';
            bool first = true;
            for (const auto& [key, member] : value.template get_ref<const typename Json::object_t&>()) {
                if (!first) out += ',';
                first = false;
                if (style.pretty) {
                    out += '\n';
                    appendIndent(out, level + 1);
                }
                appendString(out, key, style);
                out += style.pretty ? " : " : ":";
                appendValue(out, member, style, level + 1);
            }
            if (style.pretty) {
                out += '\n';
                appendIndent(out, level);
            }
            out += '}';
            return;
        }
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded:
            break;
    }
    throw JsonError(JsonError::Case::typeMismatch, "binary or discarded value");
}

}  // namespace

namespace detail {

void appendCanonicalString(std::string& out, std::string_view text) { appendString(out, text, Style{}); }
void appendCanonicalNumber(std::string& out, std::int64_t number) { appendInteger(out, number); }
void appendCanonicalNumber(std::string& out, std::uint64_t number) { appendInteger(out, number); }
void appendCanonicalNumber(std::string& out, double number) { appendDouble(out, number); }

}  // namespace detail

std::string writeCanonical(const Value& value) {
    std::string out;
    appendValue(out, value, Style{}, 0);
    return out;
}

void CanonicalWriter::open(char bracket) {
    separate();
    out_ += bracket;
    comma_ = false;
#ifndef NDEBUG
    lastKeys_.emplace_back();
#endif
}

void CanonicalWriter::close(char bracket) {
    out_ += bracket;
    comma_ = true;
#ifndef NDEBUG
    lastKeys_.pop_back();
#endif
}

namespace {

// Appends a short string that needs no escape, with the comma before it and
// the colon after it when asked, in one piece: a document has a great many
// such keys and values, and one append costs less than several. False (and
// nothing appended) for a string that is long or needs an escape.
bool appendShortPlain(std::string& out, bool comma, std::string_view text, bool colon) {
    constexpr std::size_t kShort = 48;
    if (text.size() > kShort) return false;
    for (const char c : text) {
        if (kByteClasses[static_cast<unsigned char>(c)] != ByteClass::plain &&
            kByteClasses[static_cast<unsigned char>(c)] != ByteClass::slash) {
            return false;
        }
    }
    char piece[kShort + 4];
    std::size_t size = 0;
    if (comma) piece[size++] = ',';
    piece[size++] = '"';
    std::memcpy(piece + size, text.data(), text.size());
    size += text.size();
    piece[size++] = '"';
    if (colon) piece[size++] = ':';
    out.append(piece, size);
    return true;
}

}  // namespace

void CanonicalWriter::key(std::string_view key) {
#ifndef NDEBUG
    assert((!comma_ || lastKeys_.back() < key) && "canonical keys ascend");
    lastKeys_.back() = key;
#endif
    if (!appendShortPlain(out_, comma_, key, true)) {
        separate();
        appendString(out_, key, Style{});
        out_ += ':';
    }
    comma_ = false;
}

void CanonicalWriter::value(const Value& value) {
    separate();
    appendValue(out_, value, Style{}, 0);
    comma_ = true;
}

void CanonicalWriter::string(std::string_view text) {
    if (!appendShortPlain(out_, comma_, text, false)) {
        separate();
        appendString(out_, text, Style{});
    }
    comma_ = true;
}

void CanonicalWriter::integer(std::int64_t number) {
    separate();
    appendInteger(out_, number);
    comma_ = true;
}

std::string writePretty(const Value& value, Slashes slashes) {
    std::string out;
    appendValue(out, value, Style{.pretty = true, .escapeSlash = slashes == Slashes::escaped}, 0);
    return out;
}

std::string writeOrdered(const OrderedValue& value) {
    std::string out;
    appendValue(out, value, Style{}, 0);
    return out;
}

}  // namespace tarnel::json
