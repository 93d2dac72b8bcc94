#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::utf8 {

// Decodes the scalar that starts at `offset` and advances `offset` past it.
// Gives nothing, leaving `offset` unchanged, for an ill-formed sequence:
// overlong forms, surrogates, values above U+10FFFF and truncated sequences.
[[nodiscard]] std::optional<char32_t> decodeNext(std::string_view text, std::size_t& offset) noexcept;

[[nodiscard]] bool isValid(std::string_view text) noexcept;

// The text with every ill-formed sequence replaced by U+FFFD, one replacement
// per maximal ill-formed subpart (so "\xE2\x82" followed by "A" gives one
// U+FFFD and then "A"). Well-formed input comes back unchanged.
[[nodiscard]] std::string decodeReplacingInvalid(std::string_view bytes);

// Appends the UTF-8 form of a scalar value (no surrogates, at most U+10FFFF).
void append(std::string& out, char32_t scalar);

// White space is the Unicode White_Space property: U+0009...U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000...U+200A, U+2028, U+2029, U+202F, U+205F and
// U+3000. Ill-formed bytes are never white space.
[[nodiscard]] bool isWhiteSpace(char32_t scalar) noexcept;

// Line breaks: U+000A...U+000D, U+0085, U+2028 and U+2029.
[[nodiscard]] bool isLineBreak(char32_t scalar) noexcept;

// The length in bytes of the white-space character that starts at `offset`;
// 0 when another character, an ill-formed byte or the end of the text is there.
[[nodiscard]] std::size_t whiteSpaceLength(std::string_view text, std::size_t offset) noexcept;

// The text without the white space at its two ends.
[[nodiscard]] std::string_view trimWhiteSpace(std::string_view text) noexcept;

// The non-empty pieces of `text` between the scalars that `isSeparator`
// accepts, in order. A byte outside a well-formed sequence belongs to a piece.
template <typename IsSeparator>
[[nodiscard]] std::vector<std::string_view> nonEmptyPieces(std::string_view text, IsSeparator isSeparator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::size_t scalarStart = offset;
        const auto scalar = decodeNext(text, offset);
        if (!scalar) {
            ++offset;
            continue;
        }
        if (isSeparator(*scalar)) {
            if (scalarStart > start) pieces.push_back(text.substr(start, scalarStart - start));
            start = offset;
        }
    }
    if (text.size() > start) pieces.push_back(text.substr(start));
    return pieces;
}

}  // namespace tarnel::utf8
