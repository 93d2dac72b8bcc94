#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnel {

// Strict Base64 (RFC 4648, section 4). The text must be a whole number of
// four-character groups from the standard alphabet; "=" may appear only as
// the one or two padding characters that end the last group, and the unused
// low bits of a padded group must be zero, so that every byte string has
// exactly one accepted encoding. White space, line breaks and any other
// character are refused. Gives nothing when the text does not decode.
[[nodiscard]] std::optional<std::string> base64Decode(std::string_view text);

// Base64url as the signed manifests and the built-in trust root carry it:
// "-" and "_" stand for "+" and "/", then the text is completed with "="
// until its length is a multiple of four and decoded as strict Base64 above.
// Padding is therefore optional, and a standard-alphabet text decodes too;
// "=" anywhere but the end, white space and line breaks are refused.
[[nodiscard]] std::optional<std::string> base64UrlDecode(std::string_view text);

// Standard alphabet, padded with "=".
[[nodiscard]] std::string base64Encode(std::string_view bytes);

// URL-safe alphabet ("-" and "_"), without padding.
[[nodiscard]] std::string base64UrlEncode(std::string_view bytes);

}  // namespace tarnel
