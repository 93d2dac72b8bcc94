#include "app/catalog/unicode_text.hpp"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "common/base/utf8.hpp"

namespace tarnel::unicode {
namespace {

TEST(UnicodeText, TrimsUnicodeWhiteSpaceAndNewlinesAtBothEndsOnly) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {" ro\n", "ro"},
        {"\t\r\n\v\f ee \u0085", "ee"},
        {"\u00A0\u3000\u2028ru\u2029\u202F\u1680", "ru"},  // no-break, ideographic, line/paragraph separators
        {"  a \n b  ", "a \n b"},                           // inner white space stays
        {"\u200Bkz\u200B", "\u200Bkz\u200B"},               // zero-width space is not white space
        {" \n\t ", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trimmingWhitespaceAndNewlines(c.input), c.expected) << c.input;
    }
}

TEST(UnicodeText, CaseMappingIsFullAndIgnoresTheProcessLocale) {
    const icu::Locale previous = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
    ASSERT_TRUE(U_SUCCESS(status));

    EXPECT_EQ(uppercased("in"), "IN");  // Turkish rules would give "İN"
    EXPECT_EQ(lowercased("IN"), "in");  // and "ın"
    EXPECT_EQ(uppercased("straße"), "STRASSE");
    EXPECT_EQ(uppercased("\uFB01x"), "FIX");               // ligature fi
    EXPECT_EQ(lowercased("\u0130"), "i\u0307");           // İ keeps its dot as a combining mark
    EXPECT_EQ(lowercased("ΟΔΟΣ"), "οδος");                 // final sigma
    EXPECT_EQ(lowercased("My rUsSiA Box"), "my russia box");
    EXPECT_EQ(uppercased("москва-1"), "МОСКВА-1");

    icu::Locale::setDefault(previous, status);
}

// ASCII text is mapped and classified without ICU: every ASCII character
// comes out as ICU's root locale and character properties have it.
TEST(UnicodeText, AsciiIsReadAsICUReadsIt) {
    for (int code = 0; code < 0x80; ++code) {
        const std::string character(1, static_cast<char>(code));
        icu::UnicodeString upper(static_cast<UChar32>(code));
        icu::UnicodeString lower(static_cast<UChar32>(code));
        std::string icuUpper;
        std::string icuLower;
        upper.toUpper(icu::Locale::getRoot()).toUTF8String(icuUpper);
        lower.toLower(icu::Locale::getRoot()).toUTF8String(icuLower);
        EXPECT_EQ(uppercased("a" + character + "b"), "A" + icuUpper + "B") << code;
        EXPECT_EQ(lowercased("A" + character + "B"), "a" + icuLower + "b") << code;
        const bool space = isWhitespaceOrNewline(static_cast<char32_t>(code));
        EXPECT_EQ(trimmingWhitespaceAndNewlines(character + "x" + character), space ? "x" : character + "x" + character)
            << code;
        const std::vector<std::string> runs = letterOrDigitRuns("-" + character + "-");
        EXPECT_EQ(runs.size(), isLetterOrDigit(static_cast<char32_t>(code)) ? 1u : 0u) << code;
    }
}

TEST(UnicodeText, GivesTheRunsOfLettersAndDigitsOneAtATime) {
    const std::string text = "Таллин—ee, x\u00B2 cafe\u0301!";
    std::vector<std::string_view> runs;
    std::size_t offset = 0;
    for (std::string_view run; !(run = nextLetterOrDigitRun(text, offset)).empty();) runs.push_back(run);
    EXPECT_EQ(runs, (std::vector<std::string_view>{"Таллин", "ee", "x\u00B2", "cafe\u0301"}));
    EXPECT_EQ(offset, text.size());
}

TEST(UnicodeText, SplitsIntoRunsOfLettersAndDigits) {
    const struct {
        std::string input;
        std::vector<std::string> expected;
    } cases[] = {
        {"Fast EE-2", {"Fast", "EE", "2"}},
        {"ru1.example.org", {"ru1", "example", "org"}},
        {"--a__b--", {"a", "b"}},  // connector punctuation separates
        {"Москва·1", {"Москва", "1"}},
        {"x\u00B2 \u2167", {"x\u00B2", "\u2167"}},    // superscript two, roman numeral eight
        {"cafe\u0301 bar", {"cafe\u0301", "bar"}},    // a combining mark stays with its letter
        {"a\U0001F642b", {"a", "b"}},                  // emoji separates
        {"", {}},
        {" .-", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(letterOrDigitRuns(c.input), c.expected) << c.input;
    }
}

TEST(UnicodeText, SlicesByCodePointAndRepairsIllFormedInput) {
    EXPECT_EQ(codePointCount("Ωmega\U0001F642"), 6u);
    EXPECT_EQ(prefixCodePoints("Ωmega", 2), "Ωm");
    EXPECT_EQ(suffixCodePoints("пример.рф", 3), ".рф");
    EXPECT_EQ(suffixCodePoints("ab", 5), "ab");
    EXPECT_EQ(prefixCodePoints("ab", 0), "");

    const std::string illFormed = "\xFF" "a\xC3";  // stray byte, truncated sequence
    EXPECT_EQ(codePointCount(illFormed), 3u);
    EXPECT_EQ(wellFormed(illFormed), "\uFFFDa\uFFFD");
    EXPECT_EQ(prefixCodePoints(illFormed, 1), "\uFFFD");
    EXPECT_TRUE(utf8::isValid(uppercased(illFormed)));
    EXPECT_EQ(uppercased(illFormed), "\uFFFDA\uFFFD");
    EXPECT_EQ(trimmingWhitespaceAndNewlines(" \xFF "), "\uFFFD");
}

}  // namespace
}  // namespace tarnel::unicode
