#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace tarnel::utf8
