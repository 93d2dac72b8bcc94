#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

#include "common/base/iso8601.hpp"

namespace tarnel {
namespace {

// Expected values computed with python3's datetime (fromisoformat/timestamp).
TEST(Iso8601, ParsesInternetDateTimesWithZOrNumericOffset) {
    const struct {
        const char* text;
        std::int64_t seconds;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"1969-12-31T23:59:59Z", -1},
        {"2026-01-01T00:00:00Z", 1'767'225'600},
        {"2026-01-01T00:00:00+00:00", 1'767'225'600},
        {"2026-01-01T00:00:00-00:00", 1'767'225'600},
        {"2026-01-01T03:00:00+03:00", 1'767'225'600},
        {"2025-12-31T19:00:00-05:00", 1'767'225'600},
        {"2026-03-08T23:30:00-23:59", 1'773'098'940},
        {"2026-03-08T23:30:00+23:59", 1'772'926'260},
        {"2024-02-29T12:00:00Z", 1'709'208'000},   // leap year
        {"2000-02-29T00:00:00Z", 951'782'400},     // divisible by 400: leap
        {"1600-02-29T06:07:08Z", -11'670'976'372},
        {"2100-03-01T00:00:00Z", 4'107'542'400},
        {"0000-01-01T00:00:00Z", -62'167'219'200},
        {"9999-12-31T23:59:59Z", 253'402'300'799},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(iso8601::parse(c.text), c.seconds) << c.text;
    }
}

TEST(Iso8601, RefusesImpossibleDatesAndEveryLooserForm) {
    for (const char* bad : {
             "2026-02-30T00:00:00Z", "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
             "2026-04-31T00:00:00Z", "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z", "2026-01-00T00:00:00Z",
             "2026-01-01T24:00:00Z", "2026-01-01T23:60:00Z", "2026-12-31T23:59:60Z",  // no leap seconds
             "2026-01-01t00:00:00Z", "2026-01-01T00:00:00z", "2026-01-01 00:00:00Z", "2026-01-01T00:00:00",
             "2026-01-01T00:00:00.5Z", "2026-01-01T00:00:00.000+00:00", "2026-01-01T00:00:00+0000",
             "2026-01-01T00:00:00+00", "2026-01-01T00:00:00+24:00", "2026-01-01T00:00:00+05:60",
             "2026-01-01T00:00:00 +00:00", "2026-01-01T00:00:00ZZ", "2026-01-01T00:00:00+01:00Z",
             " 2026-01-01T00:00:00Z", "2026-01-01T00:00:00Z ", "2026-01-01T00:00:00Z\n", "+2026-01-01T00:00:00Z",
             "26-01-01T00:00:00Z", "2026-1-01T00:00:00Z", "2026-01-01T0:00:00Z", "2026-01-01T00:00Z",
             "20260101T000000Z", "2026-01-01", "2026/01/01T00:00:00Z", "2026-01-01T00-00-00Z",
             "2026-01-01T00:00:00*01:00", "2026-01-01T00:00:00+01-00", "2026-01-01T00:00:00+1:000",
             "2026-0a-01T00:00:00Z", "", "Z"}) {
        EXPECT_FALSE(iso8601::parse(bad)) << bad;
    }
    // A NUL byte inside the text is not a terminator.
    EXPECT_FALSE(iso8601::parse(std::string("2026-01-01T00:00:00Z\0", 21)));
}

// An offset may not carry the instant out of the years that format() writes:
// every accepted text must be one that can be written back.
TEST(Iso8601, RefusesAnOffsetThatLeavesTheWritableYears) {
    for (const char* outside : {"0000-01-01T00:00:00+00:01", "0000-01-01T00:59:59+01:00",
                                "9999-12-31T23:59:59-00:01", "9999-12-31T23:00:00-23:59"}) {
        EXPECT_FALSE(iso8601::parse(outside)) << outside;
    }
    const struct {
        const char* text;
        const char* utc;
    } edges[] = {
        {"0000-01-01T01:00:00+01:00", "0000-01-01T00:00:00Z"},
        {"0000-01-01T00:00:00-00:00", "0000-01-01T00:00:00Z"},
        {"9999-12-31T22:59:59-01:00", "9999-12-31T23:59:59Z"},
        {"9999-12-31T23:59:59+23:59", "9999-12-31T00:00:59Z"},
    };
    for (const auto& edge : edges) {
        const auto instant = iso8601::parse(edge.text);
        ASSERT_TRUE(instant) << edge.text;
        EXPECT_EQ(iso8601::format(static_cast<double>(*instant)), edge.utc) << edge.text;
    }
}

TEST(Iso8601, FormatsUtcWithZAndDropsFractionsTowardsThePast) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0.0, "1970-01-01T00:00:00Z"},
        {1'767'225'600.999, "2026-01-01T00:00:00Z"},
        {-0.1, "1969-12-31T23:59:59Z"},
        {-86'400.0, "1969-12-31T00:00:00Z"},
        {951'782'400.0, "2000-02-29T00:00:00Z"},
        {-62'167'219'200.0, "0000-01-01T00:00:00Z"},
        {253'402'300'799.5, "9999-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(iso8601::format(c.seconds), c.text) << c.seconds;
    }
    for (const double outside : {253'402'300'800.0, -62'167'219'200.5, std::nan(""),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW((void)iso8601::format(outside), std::out_of_range) << outside;
    }
}

// Compares the calendar arithmetic with the C library's gmtime_r as an
// independent reference: one instant every 97 days over the whole range of
// years, and every day around the century and epoch boundaries, each at a
// varying time of day.
TEST(Iso8601, AgreesWithTheCLibraryOverTheWholeRange) {
    const auto check = [](std::int64_t day) {
        const std::int64_t seconds = day * 86'400 + (day * 7'919 % 86'400 + 86'400) % 86'400;
        const std::string text = iso8601::format(static_cast<double>(seconds));
        EXPECT_EQ(iso8601::parse(text), seconds) << text;

        const std::time_t time = static_cast<std::time_t>(seconds);
        std::tm fields{};
        ASSERT_NE(::gmtime_r(&time, &fields), nullptr);
        char expected[96];
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02dT%02d:%02d:%02dZ", fields.tm_year + 1900,
                      fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
        EXPECT_EQ(text, expected) << seconds;
    };
    constexpr std::int64_t kFirstDay = -719'528;  // 0000-01-01
    constexpr std::int64_t kLastDay = 2'932'896;  // 9999-12-31
    for (std::int64_t day = kFirstDay; day <= kLastDay; day += 97) check(day);
    check(kLastDay);
    // Years 1899-1901, 1969-1971, 1999-2001 and 2099-2101, day by day.
    for (const std::int64_t firstDay : {-25'932, -365, 10'592, 47'117}) {
        for (std::int64_t day = firstDay; day < firstDay + 3 * 366; ++day) check(day);
    }
}

}  // namespace
}  // namespace tarnel
