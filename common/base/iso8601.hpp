#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Internet date-times (the profile of ISO 8601 that manifests, delegations
// and the diagnostic log use), read and written strictly.
namespace tarnel::iso8601 {

// Parses exactly "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a numeric offset
// "+HH:MM" / "-HH:MM", and gives the instant as whole seconds since
// 1970-01-01T00:00:00Z (negative before it).
//
// Accepted: years 0000-9999 of the proleptic Gregorian calendar; the day must
// exist in its month (February 29 only in leap years); hours 00-23, minutes
// and seconds 00-59; offset hours 00-23 and minutes 00-59 ("-00:00" is UTC).
// The instant itself must lie in the years 0000-9999 in UTC too (from
// 0000-01-01T00:00:00Z to 9999-12-31T23:59:59Z), so that every accepted text
// can be written by format(): "0000-01-01T00:00:00+01:00" is refused.
// Refused: anything else, among it fractional seconds, a missing zone, a
// leap second (":60"), hour 24, a lower-case "t" or "z", a space in place of
// "T", an offset without its colon ("+0000") or without minutes ("+00"),
// signs or extra digits in any field, and any leading or trailing text or
// white space (a trailing line feed included).
//
// The text itself is not normalised: where a signature covers a date, the
// caller keeps the text as received ("+00:00" and "Z" name the same instant
// but are different bytes).
[[nodiscard]] std::optional<std::int64_t> parse(std::string_view text) noexcept;

// Writes the instant in UTC as "YYYY-MM-DDTHH:MM:SSZ", dropping any fraction
// of a second (rounding towards the past, so 1.9 and -0.1 give the seconds 1
// and -1). Throws std::out_of_range for a value that is not finite or lies
// outside the years 0000-9999.
[[nodiscard]] std::string format(double secondsSince1970);

}  // namespace tarnel::iso8601
