#include "app/catalog/unicode_text.hpp"

#include <algorithm>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "common/base/utf8.hpp"

namespace tarnel::unicode {

namespace {

// The scalars of the text, each ill-formed sequence read as one U+FFFD (the
// same rule as everywhere else in the system).
std::u32string scalarsOf(std::string_view text) {
    const std::string valid = utf8::isValid(text) ? std::string(text) : utf8::decodeReplacingInvalid(text);
    std::u32string scalars;
    scalars.reserve(valid.size());
    std::size_t offset = 0;
    while (const auto scalar = utf8::decodeNext(valid, offset)) {
        scalars += *scalar;
    }
    return scalars;
}

std::string utf8Of(std::u32string_view scalars) {
    std::string text;
    text.reserve(scalars.size());
    for (const char32_t scalar : scalars) utf8::append(text, scalar);
    return text;
}

icu::UnicodeString icuStringOf(std::string_view text) {
    const std::u32string scalars = scalarsOf(text);
    icu::UnicodeString result;
    for (const char32_t scalar : scalars) result.append(static_cast<UChar32>(scalar));
    return result;
}

std::string utf8Of(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

bool isAsciiByte(char c) noexcept { return static_cast<unsigned char>(c) < 0x80; }

bool isAscii(std::string_view text) noexcept { return std::all_of(text.begin(), text.end(), isAsciiByte); }

// White_Space within ASCII: U+0009...U+000D and the space.
bool isAsciiWhiteSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isAsciiLetterOrDigit(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A byte that starts a scalar in well-formed UTF-8 (not a continuation byte).
bool startsScalar(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// The byte offset of the scalar `count` scalars into well-formed text, or its
// size when it has fewer.
std::size_t offsetOfScalar(std::string_view text, std::size_t count) noexcept {
    std::size_t offset = 0;
    for (; offset < text.size(); ++offset) {
        if (startsScalar(text[offset]) && count-- == 0) break;
    }
    return offset;
}

}  // namespace

std::string wellFormed(std::string_view text) {
    return utf8::isValid(text) ? std::string(text) : utf8::decodeReplacingInvalid(text);
}

bool isWhitespaceOrNewline(char32_t scalar) noexcept {
    return u_isUWhiteSpace(static_cast<UChar32>(scalar)) != 0;
}

bool isLetterOrDigit(char32_t scalar) noexcept {
    const auto category = U_GET_GC_MASK(static_cast<UChar32>(scalar));
    return (category & (U_GC_L_MASK | U_GC_N_MASK | U_GC_M_MASK)) != 0;
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
    if (utf8::isValid(text)) {
        // ASCII white space is trimmed in place; an end that is not ASCII may
        // be white space of another kind (U+00A0, U+3000, ...) and is read
        // as scalars below.
        std::size_t begin = 0;
        std::size_t end = text.size();
        while (begin < end && isAsciiWhiteSpace(text[begin])) ++begin;
        while (end > begin && isAsciiWhiteSpace(text[end - 1])) --end;
        if (begin == end || (isAsciiByte(text[begin]) && isAsciiByte(text[end - 1]))) {
            return std::string(text.substr(begin, end - begin));
        }
    }
    const std::u32string scalars = scalarsOf(text);
    std::size_t begin = 0;
    std::size_t end = scalars.size();
    while (begin < end && isWhitespaceOrNewline(scalars[begin])) ++begin;
    while (end > begin && isWhitespaceOrNewline(scalars[end - 1])) --end;
    return utf8Of(std::u32string_view(scalars).substr(begin, end - begin));
}

std::string uppercased(std::string_view text) {
    if (isAscii(text)) {
        std::string converted(text);
        for (char& c : converted) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        return converted;
    }
    icu::UnicodeString converted = icuStringOf(text);
    converted.toUpper(icu::Locale::getRoot());
    return utf8Of(converted);
}

std::string lowercased(std::string_view text) {
    if (isAscii(text)) {
        std::string converted(text);
        for (char& c : converted) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return converted;
    }
    icu::UnicodeString converted = icuStringOf(text);
    converted.toLower(icu::Locale::getRoot());
    return utf8Of(converted);
}

std::string_view nextLetterOrDigitRun(std::string_view wellFormedText, std::size_t& offset) {
    // Reads one scalar at `at`: whether it is a letter or digit, and where it ends.
    const auto scalarAt = [wellFormedText](std::size_t at, std::size_t& next) {
        const char byte = wellFormedText[at];
        if (isAsciiByte(byte)) {
            next = at + 1;
            return isAsciiLetterOrDigit(byte);
        }
        next = at;
        const std::optional<char32_t> scalar = utf8::decodeNext(wellFormedText, next);
        if (!scalar) {
            next = at + 1;  // not well-formed after all: the byte is no letter
            return false;
        }
        return isLetterOrDigit(*scalar);
    };
    std::size_t next = offset;
    while (offset < wellFormedText.size() && !scalarAt(offset, next)) offset = next;
    const std::size_t start = offset;
    while (offset < wellFormedText.size() && scalarAt(offset, next)) offset = next;
    return wellFormedText.substr(start, offset - start);
}

std::vector<std::string> letterOrDigitRuns(std::string_view text) {
    const std::string valid = wellFormed(text);
    std::vector<std::string> runs;
    std::size_t offset = 0;
    for (std::string_view run; !(run = nextLetterOrDigitRun(valid, offset)).empty();) runs.emplace_back(run);
    return runs;
}

std::size_t codePointCount(std::string_view text) {
    if (!utf8::isValid(text)) return scalarsOf(text).size();
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), startsScalar));
}

std::string prefixCodePoints(std::string_view text, std::size_t count) {
    if (!utf8::isValid(text)) {
        const std::u32string scalars = scalarsOf(text);
        return utf8Of(std::u32string_view(scalars).substr(0, count));
    }
    return std::string(text.substr(0, offsetOfScalar(text, count)));
}

std::string suffixCodePoints(std::string_view text, std::size_t count) {
    if (!utf8::isValid(text)) {
        const std::u32string scalars = scalarsOf(text);
        const std::size_t start = scalars.size() > count ? scalars.size() - count : 0;
        return utf8Of(std::u32string_view(scalars).substr(start));
    }
    const std::size_t total = codePointCount(text);
    return std::string(text.substr(offsetOfScalar(text, total > count ? total - count : 0)));
}

}  // namespace tarnel::unicode
