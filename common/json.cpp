#include "common/json.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/utf8.hpp"

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

// Eight bytes at a time: whether any byte of a word is below a bound or equal
// to a value (the classic bit tricks; exact as to whether there is one).
constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

constexpr std::uint64_t anyByteBelow(std::uint64_t word, std::uint8_t bound) {
    return (word - kEveryByte * bound) & ~word & kHighBits;
}

constexpr std::uint64_t anyByteEqual(std::uint64_t word, char value) {
    return anyByteBelow(word ^ (kEveryByte * static_cast<std::uint8_t>(value)), 1);
}

std::uint64_t wordAt(const char* bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Reads strict JSON text (RFC 8259) into a document in one pass: white space
// only between tokens, no comments, no trailing commas, no text after the
// value (a NUL byte included), and only the escapes JSON defines, with
// surrogates only in pairs. Beyond the grammar it refuses what a document
// must not hold here: a key repeated in one object (compared after escapes
// are decoded), containers nested deeper than the cap, and integers that do
// not fit 64 bits (which would otherwise turn into floats and change value).
// Non-negative integers become unsigned values, negative ones signed values
// ("-0" included), everything with a fraction or an exponent a double.
//
// The first fault in reading order is the one reported, so the outcome does
// not depend on what follows it. A leading byte-order mark is no white space
// and is refused. The text must already be well-formed UTF-8.
class StrictReader {
public:
    StrictReader(std::string_view text, std::size_t maximumDepth)
        : next_(text.data()), end_(text.data() + text.size()), maximumDepth_(maximumDepth) {}

    Value document() {
        Value root;
        Value* slot = &root;  // where the next value goes
        // The containers being filled, innermost last. Only the innermost one
        // ever grows, so the pointers to its ancestors stay valid.
        std::vector<Value*> open;
        for (;;) {
            skipWhiteSpace();
            if (next_ != end_ && (*next_ == '{' || *next_ == '[')) {
                if (open.size() >= maximumDepth_) throw JsonError(JsonError::Case::nestingTooDeep);
                const bool object = *next_++ == '{';
                *slot = object ? Value::object() : Value::array();
                skipWhiteSpace();
                if (!take(object ? '}' : ']')) {
                    open.push_back(slot);
                    slot = object ? &memberSlot(*slot) : &elementSlot(*slot);
                    continue;
                }
            } else {
                *slot = scalar();
            }
            // The value is complete: close what ends here, then go on with the
            // next member or element, or finish.
            for (;;) {
                skipWhiteSpace();
                if (open.empty()) {
                    if (next_ != end_) invalid();
                    return root;
                }
                Value& container = *open.back();
                const bool object = container.is_object();
                if (take(',')) {
                    slot = object ? &memberSlot(container) : &elementSlot(container);
                    break;
                }
                if (!take(object ? '}' : ']')) invalid();
                open.pop_back();
            }
        }
    }

private:
    [[noreturn]] static void invalid() { throw JsonError(JsonError::Case::invalidSyntax); }

    bool take(char expected) {
        if (next_ == end_ || *next_ != expected) return false;
        ++next_;
        return true;
    }

    void skipWhiteSpace() {
        while (next_ != end_ && (*next_ == ' ' || *next_ == '\n' || *next_ == '\r' || *next_ == '\t')) ++next_;
    }

    // Reads `"key":` and gives the member's place in the object.
    Value& memberSlot(Value& object) {
        skipWhiteSpace();
        if (!take('"')) invalid();
        std::string key = stringBody();
        auto [member, added] = object.get_ref<Value::object_t&>().try_emplace(std::move(key));
        if (!added) throw JsonError(JsonError::Case::duplicateKey, member->first);
        skipWhiteSpace();
        if (!take(':')) invalid();
        return member->second;
    }

    static Value& elementSlot(Value& array) { return array.get_ref<Value::array_t&>().emplace_back(); }

    Value scalar() {
        if (next_ == end_) invalid();
        switch (*next_) {
            case '"':
                ++next_;
                return stringBody();
            case 't': return literal("true", true);
            case 'f': return literal("false", false);
            case 'n': return literal("null", nullptr);
            default: return number();
        }
    }

    template <typename Scalar>
    Value literal(std::string_view word, Scalar value) {
        if (static_cast<std::size_t>(end_ - next_) < word.size() || std::string_view(next_, word.size()) != word) {
            invalid();
        }
        next_ += word.size();
        return value;
    }

    // The bytes that a string holds as they are: all but '"', '\\' and the
    // control characters.
    static bool isPlain(char c) {
        return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
    }

    // Moves past the plain bytes at the current position, eight at a time
    // while it can.
    void skipPlain() {
        while (end_ - next_ >= 8) {
            const std::uint64_t word = wordAt(next_);
            if ((anyByteBelow(word, 0x20) | anyByteEqual(word, '"') | anyByteEqual(word, '\\')) != 0) break;
            next_ += 8;
        }
        while (next_ != end_ && isPlain(*next_)) ++next_;
    }

    // The rest of a string after its opening quote, escapes decoded.
    std::string stringBody() {
        const char* start = next_;
        skipPlain();
        std::string text(start, next_);
        for (;;) {
            if (next_ == end_) invalid();
            const char c = *next_++;
            if (c == '"') return text;
            if (c != '\\') invalid();  // a control character
            appendEscape(text);
            start = next_;
            skipPlain();
            text.append(start, next_);
        }
    }

    void appendEscape(std::string& text) {
        if (next_ == end_) invalid();
        switch (*next_++) {
            case '"': text += '"'; return;
            case '\\': text += '\\'; return;
            case '/': text += '/'; return;
            case 'b': text += '\b'; return;
            case 'f': text += '\f'; return;
            case 'n': text += '\n'; return;
            case 'r': text += '\r'; return;
            case 't': text += '\t'; return;
            case 'u': break;
            default: invalid();
        }
        char32_t scalar = hexCodeUnit();
        if (scalar >= 0xDC00 && scalar <= 0xDFFF) invalid();  // a low surrogate alone
        if (scalar >= 0xD800 && scalar <= 0xDBFF) {
            // A high surrogate needs its low half right after it.
            if (!take('\\') || !take('u')) invalid();
            const char32_t low = hexCodeUnit();
            if (low < 0xDC00 || low > 0xDFFF) invalid();
            scalar = 0x10000 + ((scalar - 0xD800) << 10) + (low - 0xDC00);
        }
        utf8::append(text, scalar);
    }

    // The four hexadecimal digits of a \u escape.
    char32_t hexCodeUnit() {
        if (end_ - next_ < 4) invalid();
        char32_t unit = 0;
        for (int digit = 0; digit < 4; ++digit) {
            const char c = *next_++;
            unit <<= 4;
            if (c >= '0' && c <= '9') {
                unit |= static_cast<char32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                unit |= static_cast<char32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                unit |= static_cast<char32_t>(c - 'A' + 10);
            } else {
                invalid();
            }
        }
        return unit;
    }

    bool takeDigits() {
        const char* start = next_;
        while (next_ != end_ && *next_ >= '0' && *next_ <= '9') ++next_;
        return next_ != start;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    Value number() {
        const char* start = next_;
        const bool negative = take('-');
        if (take('0')) {
            // A leading zero stands alone: what follows it is the next token.
        } else if (next_ == end_ || *next_ < '1' || *next_ > '9' || !takeDigits()) {
            invalid();
        }
        bool integer = true;
        if (take('.')) {
            if (!takeDigits()) invalid();
            integer = false;
        }
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!takeDigits()) invalid();
            integer = false;
        }
        const std::string_view token(start, static_cast<std::size_t>(next_ - start));
        if (integer) {
            if (negative) {
                std::int64_t value = 0;
                if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) return value;
            } else {
                std::uint64_t value = 0;
                if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) return value;
            }
        }
        const double value = toDouble(token);
        // Nothing beyond a double, and no integer that only a float could hold.
        if (!std::isfinite(value)) invalid();
        if (integer) throw JsonError(JsonError::Case::numberOutOfRange, std::string(token));
        return value;
    }

    // The nearest double, or 0 or infinity beyond the range of doubles.
    static double toDouble(std::string_view token) {
        double value = 0;
        const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
        if (result.ec == std::errc()) return value;
        // Out of range: strtod (in the C locale, so "." is the decimal point)
        // rounds to zero or to infinity with the token's sign.
        static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
        return ::strtod_l(std::string(token).c_str(), nullptr, cLocale);
    }

    const char* next_;
    const char* end_;
    std::size_t maximumDepth_;
};

}  // namespace

Value parse(std::string_view text, TopLevel topLevel, std::size_t maximumDepth) {
    if (!utf8::isValid(text)) {
        throw JsonError(JsonError::Case::invalidUTF8);
    }
    Value result = StrictReader(text, maximumDepth).document();
    if ((topLevel == TopLevel::object && !result.is_object()) ||
        (topLevel == TopLevel::array && !result.is_array())) {
        throw JsonError(JsonError::Case::wrongTopLevel);
    }
    return result;
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

std::string writeCanonical(const Value& value) {
    std::string out;
    appendValue(out, value, Style{}, 0);
    return out;
}

void CanonicalWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
    } else if (!filled_.empty()) {
        if (filled_.back()) out_ += ',';
        filled_.back() = true;
    }
}

void CanonicalWriter::beginObject() {
    separate();
    out_ += '{';
    filled_.push_back(false);
#ifndef NDEBUG
    lastKeys_.emplace_back();
#endif
}

void CanonicalWriter::endObject() {
    out_ += '}';
    filled_.pop_back();
#ifndef NDEBUG
    lastKeys_.pop_back();
#endif
}

void CanonicalWriter::beginArray() {
    separate();
    out_ += '[';
    filled_.push_back(false);
}

void CanonicalWriter::endArray() {
    out_ += ']';
    filled_.pop_back();
}

void CanonicalWriter::key(std::string_view key) {
#ifndef NDEBUG
    assert((!filled_.back() || lastKeys_.back() < key) && "canonical keys ascend");
    lastKeys_.back() = key;
#endif
    separate();
    appendString(out_, key, Style{});
    out_ += ':';
    afterKey_ = true;
}

void CanonicalWriter::value(const Value& value) {
    separate();
    appendValue(out_, value, Style{}, 0);
}

void CanonicalWriter::string(std::string_view text) {
    separate();
    appendString(out_, text, Style{});
}

void CanonicalWriter::integer(std::int64_t number) {
    separate();
    appendInteger(out_, number);
}

std::string writePretty(const Value& value) {
    std::string out;
    appendValue(out, value, Style{.pretty = true, .escapeSlash = true}, 0);
    return out;
}

std::string writeOrdered(const OrderedValue& value) {
    std::string out;
    appendValue(out, value, Style{}, 0);
    return out;
}

}  // namespace tarnel::json
