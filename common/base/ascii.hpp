#pragma once

#include <algorithm>
#include <string_view>

namespace tarnel::ascii {

// The letter in lower case for A-Z; every other byte unchanged.
[[nodiscard]] constexpr char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal when only the letter case of A-Z differs, as protocol names compare
// (header names, host names, schemes, tokens such as "identity").
[[nodiscard]] constexpr bool equalIgnoringCase(std::string_view left, std::string_view right) noexcept {
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [](char a, char b) { return lower(a) == lower(b); });
}

}  // namespace tarnel::ascii
