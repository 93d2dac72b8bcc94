#include "common/base/iso8601.hpp"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace tarnel::iso8601 {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;

// Days from 1970-01-01 to the given civil date of the proleptic Gregorian
// calendar (the era-based method: eras of 400 years, 146,097 days each).
constexpr std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);                  // [0, 399]
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // [0, 365]
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + static_cast<std::int64_t>(dayOfEra) - 719'468;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

constexpr CivilDate civilFromDays(std::int64_t days) noexcept {
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

constexpr bool isLeapYear(std::int64_t year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr unsigned daysInMonth(std::int64_t year, unsigned month) noexcept {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads exactly `count` ASCII digits at `offset`.
std::optional<unsigned> digits(std::string_view text, std::size_t offset, std::size_t count) noexcept {
    if (offset + count > text.size()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (std::size_t i = offset; i < offset + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

// The lowest and highest instants of years 0000-9999.
constexpr std::int64_t kEarliest = daysFromCivil(0, 1, 1) * kSecondsPerDay;
constexpr std::int64_t kLatest = daysFromCivil(9'999, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;

}  // namespace

std::optional<std::int64_t> parse(std::string_view text) noexcept {
    // "YYYY-MM-DDTHH:MM:SS" is 19 characters; then "Z" or "+HH:MM".
    if (text.size() != 20 && text.size() != 25) {
        return std::nullopt;
    }
    const auto year = digits(text, 0, 4);
    const auto month = digits(text, 5, 2);
    const auto day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2);
    const auto minute = digits(text, 14, 2);
    const auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-' ||
        text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    std::int64_t offsetSeconds = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z') {
            return std::nullopt;
        }
    } else {
        const char sign = text[19];
        const auto offsetHour = digits(text, 20, 2);
        const auto offsetMinute = digits(text, 23, 2);
        if ((sign != '+' && sign != '-') || !offsetHour || text[22] != ':' || !offsetMinute ||
            *offsetHour > 23 || *offsetMinute > 59) {
            return std::nullopt;
        }
        offsetSeconds = (static_cast<std::int64_t>(*offsetHour) * 60 + *offsetMinute) * 60;
        if (sign == '-') {
            offsetSeconds = -offsetSeconds;
        }
    }
    const std::int64_t local = daysFromCivil(*year, *month, *day) * kSecondsPerDay +
                               (static_cast<std::int64_t>(*hour) * 60 + *minute) * 60 + *second;
    const std::int64_t instant = local - offsetSeconds;
    // An offset can carry a local time of year 0000 or 9999 into a UTC year
    // outside 0000-9999, where no instant can be written back in this form.
    if (instant < kEarliest || instant > kLatest) {
        return std::nullopt;
    }
    return instant;
}

std::string format(double secondsSince1970) {
    if (!std::isfinite(secondsSince1970)) {
        throw std::out_of_range("date is not a finite number of seconds");
    }
    const double whole = std::floor(secondsSince1970);
    if (whole < static_cast<double>(kEarliest) || whole > static_cast<double>(kLatest)) {
        throw std::out_of_range("date lies outside the years 0000-9999");
    }
    const auto seconds = static_cast<std::int64_t>(whole);
    // Floor division, so that instants before 1970 fall on the right day.
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t secondOfDay = seconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    char buffer[128];  // room for any values the format could print, so nothing is ever cut
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<long long>(secondOfDay / 3'600), static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return buffer;
}

}  // namespace tarnel::iso8601
