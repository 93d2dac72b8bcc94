#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Unicode text operations of the route catalog, on ICU. Every function takes
// UTF-8; an ill-formed byte sequence in the input is read as U+FFFD, so every
// text these functions return is well-formed UTF-8. Well-formed ASCII, the
// common case, is handled without ICU: its case mapping, white space, letters
// and digits are those of ASCII under the Unicode rules as well.
namespace tarnel::unicode {

// The input with each ill-formed sequence replaced by U+FFFD.
[[nodiscard]] std::string wellFormed(std::string_view text);

// White space and newlines: the Unicode White_Space property (spaces of
// category Z*, U+0009...U+000D and U+0085).
[[nodiscard]] bool isWhitespaceOrNewline(char32_t scalar) noexcept;

// Letters (L*), numbers (N*) and the combining marks (M*) that belong to them.
[[nodiscard]] bool isLetterOrDigit(char32_t scalar) noexcept;

// Removes white space and newlines from both ends.
[[nodiscard]] std::string trimmingWhitespaceAndNewlines(std::string_view text);

// Full Unicode case mapping, independent of the process locale ("ß" upper-cases
// to "SS", "İ" lower-cases to "i̇" whatever the user's language).
[[nodiscard]] std::string uppercased(std::string_view text);
[[nodiscard]] std::string lowercased(std::string_view text);

// The runs of letters and digits of the text, in order: the text split at every
// other character, with empty pieces dropped.
[[nodiscard]] std::vector<std::string> letterOrDigitRuns(std::string_view text);

// The same runs one at a time, as views into a well-formed text: the first run
// at or after `offset`, with `offset` moved past it; empty after the last.
[[nodiscard]] std::string_view nextLetterOrDigitRun(std::string_view wellFormedText, std::size_t& offset);

// Lengths and slices counted in code points, never splitting a scalar.
[[nodiscard]] std::size_t codePointCount(std::string_view text);
[[nodiscard]] std::string prefixCodePoints(std::string_view text, std::size_t count);
[[nodiscard]] std::string suffixCodePoints(std::string_view text, std::size_t count);

}  // namespace tarnel::unicode
