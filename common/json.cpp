#include "common/json.hpp"

#include <charconv>
#include <cmath>
#include <set>
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

// Builds the document from the parser's events and enforces what the parser
// itself allows: repeated keys, unbounded nesting and integers too large for
// 64 bits (which it would silently turn into floats, changing their value),
// unless the caller asked for such integers as floats.
class StrictDocumentBuilder final : public nlohmann::json_sax<Value> {
public:
    StrictDocumentBuilder(std::size_t maximumDepth, WideIntegers wideIntegers)
        : maximumDepth_(maximumDepth), wideIntegers_(wideIntegers) {}

    bool null() override { return add(Value(nullptr)); }
    bool boolean(bool value) override { return add(Value(value)); }
    bool number_integer(number_integer_t value) override { return add(Value(value)); }
    bool number_unsigned(number_unsigned_t value) override { return add(Value(value)); }
    bool number_float(number_float_t value, const string_t& text) override {
        if (wideIntegers_ == WideIntegers::refuse && text.find_first_of(".eE") == string_t::npos) {
            throw JsonError(JsonError::Case::numberOutOfRange, text);
        }
        return add(Value(value));
    }
    bool string(string_t& value) override { return add(Value(std::move(value))); }
    bool binary(binary_t&) override { return false; }  // JSON text has no binary values
    bool key(string_t& key) override {
        if (!openKeys_.back().insert(key).second) {
            throw JsonError(JsonError::Case::duplicateKey, key);
        }
        pendingKey_ = std::move(key);
        return true;
    }
    bool start_object(std::size_t) override {
        openKeys_.emplace_back();
        return enter(Value::object());
    }
    bool end_object() override {
        openKeys_.pop_back();
        open_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return enter(Value::array()); }
    bool end_array() override {
        open_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        throw JsonError(JsonError::Case::invalidSyntax);
    }

    [[nodiscard]] Value take() { return std::move(root_); }

private:
    bool add(Value value) {
        put(std::move(value));
        return true;
    }
    // Only the innermost open container ever changes, so the pointers to its
    // ancestors stay valid.
    Value* put(Value value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Value& container = *open_.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        Value& slot = container[pendingKey_];
        slot = std::move(value);
        return &slot;
    }
    bool enter(Value container) {
        if (open_.size() >= maximumDepth_) {
            throw JsonError(JsonError::Case::nestingTooDeep);
        }
        open_.push_back(put(std::move(container)));
        return true;
    }

    std::size_t maximumDepth_;
    WideIntegers wideIntegers_;
    Value root_;
    std::vector<Value*> open_;
    std::vector<std::set<std::string>> openKeys_;
    std::string pendingKey_;
};

}  // namespace

Value parse(std::string_view text, TopLevel topLevel, std::size_t maximumDepth, WideIntegers wideIntegers) {
    if (!utf8::isValid(text)) {
        throw JsonError(JsonError::Case::invalidUTF8);
    }
    // The underlying parser skips a leading byte-order mark; JSON text has none.
    if (text.starts_with("\xEF\xBB\xBF")) {
        throw JsonError(JsonError::Case::invalidSyntax);
    }
    StrictDocumentBuilder builder(maximumDepth, wideIntegers);
    if (!Value::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                          /*strict=*/true, /*ignore_comments=*/false)) {
        throw JsonError(JsonError::Case::invalidSyntax);
    }
    Value result = builder.take();
    if ((topLevel == TopLevel::object && !result.is_object()) ||
        (topLevel == TopLevel::array && !result.is_array())) {
        throw JsonError(JsonError::Case::wrongTopLevel);
    }
    return result;
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
        strings.push_back(asString(array[index], std::string(path) + "[" + std::to_string(index) + "]"));
    }
    return strings;
}

ObjectReader::ObjectReader(const Value& object, std::string path)
    : object_(asObject(object, path)), path_(std::move(path)) {}

std::string ObjectReader::pathOf(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

const Value* ObjectReader::optionalValue(std::string_view key) const {
    const auto found = object_.find(key);
    if (found == object_.end() || found->is_null()) return nullptr;
    return &*found;
}

bool ObjectReader::has(std::string_view key) const { return optionalValue(key) != nullptr; }

const Value& ObjectReader::value(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) {
        throw JsonError(JsonError::Case::missingKey, pathOf(key));
    }
    return *found;
}

std::string ObjectReader::string(std::string_view key) const {
    return asString(value(key), pathOf(key));
}

std::optional<std::string> ObjectReader::optionalString(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    return asString(*found, pathOf(key));
}

bool ObjectReader::boolean(std::string_view key) const { return asBool(value(key), pathOf(key)); }

std::optional<bool> ObjectReader::optionalBoolean(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    return asBool(*found, pathOf(key));
}

double ObjectReader::number(std::string_view key) const { return asDouble(value(key), pathOf(key)); }

std::optional<double> ObjectReader::optionalNumber(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    return asDouble(*found, pathOf(key));
}

const Value& ObjectReader::object(std::string_view key) const {
    return asObject(value(key), pathOf(key));
}

const Value& ObjectReader::array(std::string_view key) const {
    return asArray(value(key), pathOf(key));
}

std::vector<std::string> ObjectReader::stringArray(std::string_view key) const {
    return asStringArray(value(key), pathOf(key));
}

std::optional<std::vector<std::string>> ObjectReader::optionalStringArray(std::string_view key) const {
    const Value* found = optionalValue(key);
    if (found == nullptr) return std::nullopt;
    return asStringArray(*found, pathOf(key));
}

// ---------------------------------------------------------------------------
// Writers

namespace {

struct Style {
    bool pretty = false;
    bool escapeSlash = false;
};

void appendString(std::string& out, std::string_view text, const Style& style) {
    if (!utf8::isValid(text)) {
        throw JsonError(JsonError::Case::invalidUTF8);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '/':
                out += style.escapeSlash ? "\\/" : "/";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += kHex[(c >> 4) & 0x0F];
                    out += kHex[c & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
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
            out += std::to_string(value.template get<std::int64_t>());
            return;
        case nlohmann::json::value_t::number_unsigned:
            out += std::to_string(value.template get<std::uint64_t>());
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
            for (auto member = value.begin(); member != value.end(); ++member) {
                if (!first) out += ',';
                first = false;
                if (style.pretty) {
                    out += '\n';
                    appendIndent(out, level + 1);
                }
                appendString(out, member.key(), style);
                out += style.pretty ? " : " : ":";
                appendValue(out, member.value(), style, level + 1);
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
