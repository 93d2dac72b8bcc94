#include "app/catalog/unicode_text.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "common/utf8.hpp"

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
    const std::u32string scalars = scalarsOf(text);
    std::size_t begin = 0;
    std::size_t end = scalars.size();
    while (begin < end && isWhitespaceOrNewline(scalars[begin])) ++begin;
    while (end > begin && isWhitespaceOrNewline(scalars[end - 1])) --end;
    return utf8Of(std::u32string_view(scalars).substr(begin, end - begin));
}

std::string uppercased(std::string_view text) {
    icu::UnicodeString converted = icuStringOf(text);
    converted.toUpper(icu::Locale::getRoot());
    return utf8Of(converted);
}

std::string lowercased(std::string_view text) {
    icu::UnicodeString converted = icuStringOf(text);
    converted.toLower(icu::Locale::getRoot());
    return utf8Of(converted);
}

std::vector<std::string> letterOrDigitRuns(std::string_view text) {
    std::vector<std::string> runs;
    std::string current;
    for (const char32_t scalar : scalarsOf(text)) {
        if (isLetterOrDigit(scalar)) {
            utf8::append(current, scalar);
        } else if (!current.empty()) {
            runs.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) runs.push_back(std::move(current));
    return runs;
}

std::size_t codePointCount(std::string_view text) { return scalarsOf(text).size(); }

std::string prefixCodePoints(std::string_view text, std::size_t count) {
    const std::u32string scalars = scalarsOf(text);
    return utf8Of(std::u32string_view(scalars).substr(0, count));
}

std::string suffixCodePoints(std::string_view text, std::size_t count) {
    const std::u32string scalars = scalarsOf(text);
    const std::size_t start = scalars.size() > count ? scalars.size() - count : 0;
    return utf8Of(std::u32string_view(scalars).substr(start));
}

}  // namespace tarnel::unicode
