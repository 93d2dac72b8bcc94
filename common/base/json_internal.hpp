#pragma once

// What json::Value and json::Document share: the strict reader of JSON text
// and the canonical form of scalars. Internal to common/json*.cpp.

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/base/json.hpp"
#include "common/base/utf8.hpp"

namespace tarnel::json::detail {

// Eight bytes at a time: whether any byte of a word is below a bound or equal
// to a value (the classic bit tricks; exact as to whether there is one).
inline constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

constexpr std::uint64_t anyByteBelow(std::uint64_t word, std::uint8_t bound) {
    return (word - kEveryByte * bound) & ~word & kHighBits;
}

constexpr std::uint64_t anyByteEqual(std::uint64_t word, char value) {
    return anyByteBelow(word ^ (kEveryByte * static_cast<std::uint8_t>(value)), 1);
}

inline std::uint64_t wordAt(const char* bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// A string as the reader found it: the bytes of the text between the quotes
// when it holds no escape, else the decoded text.
struct ReadString {
    std::string_view source;
    std::string decoded;
    bool escaped = false;

    [[nodiscard]] std::string_view text() const noexcept { return escaped ? std::string_view(decoded) : source; }
    [[nodiscard]] std::string take() { return escaped ? std::move(decoded) : std::string(source); }
};

// Reads strict JSON text (RFC 8259) in one pass: white space only between
// tokens, no comments, no trailing commas, no text after the value (a NUL
// byte included), and only the escapes JSON defines, with surrogates only in
// pairs. Beyond the grammar it refuses what a document must not hold here: a
// key repeated in one object (compared after escapes are decoded; the builder
// checks it), containers nested deeper than the cap, and integers that do not
// fit 64 bits (which would otherwise turn into floats and change value).
// Non-negative integers are unsigned values, negative ones signed values ("-0"
// included), everything with a fraction or an exponent a double.
//
// The first fault in reading order is the one reported, so the outcome does
// not depend on what follows it. A leading byte-order mark is no white space
// and is refused. The text must already be well-formed UTF-8.
//
// The values go to a Builder, which places them:
//   Slot root();                        the place of the top-level value
//   void openObject(Slot), openArray(Slot);  the value there is a container,
//                                       now the innermost open one
//   Slot member(ReadString&& key);      a new member of the innermost object;
//                                       throws duplicateKey for a repeated key
//   Slot element();                     a new element of the innermost array
//   bool innermostIsObject() const;
//   std::size_t openContainers() const;
//   void close();                       the innermost container is complete
//   void set(Slot, V) for V: std::nullptr_t, bool, std::int64_t,
//                        std::uint64_t, double and ReadString&&;
//   bool rootIsObject() const, rootIsArray() const;  once the text is read.
template <typename Builder>
class StrictReader {
public:
    StrictReader(std::string_view text, std::size_t maximumDepth, Builder& builder,
                 WideIntegers wideIntegers = WideIntegers::refuse)
        : next_(text.data()),
          end_(text.data() + text.size()),
          maximumDepth_(maximumDepth),
          wideIntegers_(wideIntegers),
          builder_(builder) {}

    void read() {
        auto slot = builder_.root();  // where the next value goes
        for (;;) {
            skipWhiteSpace();
            if (next_ != end_ && (*next_ == '{' || *next_ == '[')) {
                if (builder_.openContainers() >= maximumDepth_) throw JsonError(JsonError::Case::nestingTooDeep);
                const bool object = *next_++ == '{';
                if (object) {
                    builder_.openObject(slot);
                } else {
                    builder_.openArray(slot);
                }
                skipWhiteSpace();
                if (!take(object ? '}' : ']')) {
                    slot = object ? memberSlot() : builder_.element();
                    continue;
                }
                builder_.close();
            } else {
                scalar(slot);
            }
            // The value is complete: close what ends here, then go on with the
            // next member or element, or finish.
            for (;;) {
                skipWhiteSpace();
                if (builder_.openContainers() == 0) {
                    if (next_ != end_) invalid();
                    return;
                }
                const bool object = builder_.innermostIsObject();
                if (take(',')) {
                    slot = object ? memberSlot() : builder_.element();
                    break;
                }
                if (!take(object ? '}' : ']')) invalid();
                builder_.close();
            }
        }
    }

private:
    using Slot = decltype(std::declval<Builder&>().root());

    [[noreturn]] static void invalid() { throw JsonError(JsonError::Case::invalidSyntax); }

    bool take(char expected) {
        if (next_ == end_ || *next_ != expected) return false;
        ++next_;
        return true;
    }

    void skipWhiteSpace() {
        while (next_ != end_ && (*next_ == ' ' || *next_ == '\n' || *next_ == '\r' || *next_ == '\t')) ++next_;
    }

    // Reads `"key":` and gives the member's place in the innermost object.
    Slot memberSlot() {
        skipWhiteSpace();
        if (!take('"')) invalid();
        const Slot slot = builder_.member(stringBody());
        skipWhiteSpace();
        if (!take(':')) invalid();
        return slot;
    }

    void scalar(Slot slot) {
        if (next_ == end_) invalid();
        switch (*next_) {
            case '"':
                ++next_;
                builder_.set(slot, stringBody());
                return;
            case 't':
                literal("true");
                builder_.set(slot, true);
                return;
            case 'f':
                literal("false");
                builder_.set(slot, false);
                return;
            case 'n':
                literal("null");
                builder_.set(slot, nullptr);
                return;
            default: number(slot);
        }
    }

    void literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - next_) < word.size() || std::string_view(next_, word.size()) != word) {
            invalid();
        }
        next_ += word.size();
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

    // The rest of a string after its opening quote.
    ReadString stringBody() {
        const char* start = next_;
        skipPlain();
        ReadString string;
        string.source = std::string_view(start, static_cast<std::size_t>(next_ - start));
        for (;;) {
            if (next_ == end_) invalid();
            const char c = *next_++;
            if (c == '"') return string;
            if (c != '\\') invalid();  // a control character
            if (!string.escaped) {
                string.decoded.assign(string.source);
                string.escaped = true;
            }
            appendEscape(string.decoded);
            start = next_;
            skipPlain();
            string.decoded.append(start, next_);
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
    void number(Slot slot) {
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
                if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) {
                    builder_.set(slot, value);
                    return;
                }
            } else {
                std::uint64_t value = 0;
                if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) {
                    builder_.set(slot, value);
                    return;
                }
            }
        }
        const double value = toDouble(token);
        // Nothing beyond a double, and no integer that only a float could hold.
        if (!std::isfinite(value)) invalid();
        if (integer && wideIntegers_ == WideIntegers::refuse) {
            throw JsonError(JsonError::Case::numberOutOfRange, std::string(token));
        }
        builder_.set(slot, value);
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
    WideIntegers wideIntegers_;
    Builder& builder_;
};

// The canonical forms of a string and of numbers, appended to `out` (the
// forms of json::writeCanonical). A string that is not well-formed UTF-8 is
// refused with JsonError(invalidUTF8) before anything is appended.
void appendCanonicalString(std::string& out, std::string_view text);
void appendCanonicalNumber(std::string& out, std::int64_t number);
void appendCanonicalNumber(std::string& out, std::uint64_t number);
void appendCanonicalNumber(std::string& out, double number);

// Reads a whole text with a builder: the text is checked for well-formed
// UTF-8 first, and the top-level kind after.
template <typename Builder>
void readStrictly(std::string_view text, TopLevel topLevel, std::size_t maximumDepth, Builder& builder,
                  WideIntegers wideIntegers = WideIntegers::refuse) {
    if (!utf8::isValid(text)) throw JsonError(JsonError::Case::invalidUTF8);
    StrictReader<Builder>(text, maximumDepth, builder, wideIntegers).read();
    if ((topLevel == TopLevel::object && !builder.rootIsObject()) ||
        (topLevel == TopLevel::array && !builder.rootIsArray())) {
        throw JsonError(JsonError::Case::wrongTopLevel);
    }
}

}  // namespace tarnel::json::detail
