#include "platform/settings/memory_settings.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace tarnel {
namespace {

TEST(SettingValueTest, ReadsAsEachKindTheWayThePlatformConverts) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        SettingValue value;
        std::string text;
        bool boolean;
        std::int64_t integer;
    };
    const Case cases[] = {
        {std::string("abc"), "abc", false, 0},
        {std::string(""), "", false, 0},
        {std::string("7"), "7", true, 7},
        {std::string("  -12abc"), "  -12abc", true, -12},
        {std::string("+0"), "+0", false, 0},
        {std::string("007"), "007", true, 7},
        {std::string("7.9"), "7.9", true, 7},
        {std::string("YES"), "YES", true, 0},
        {std::string("true"), "true", true, 0},
        {std::string("false"), "false", false, 0},
        {std::string("no"), "no", false, 0},
        {std::string(" 0y"), " 0y", true, 0},
        {std::string("- 1"), "- 1", false, 0},
        {std::string("9223372036854775807"), "9223372036854775807", true, max},
        {std::string("9223372036854775808"), "9223372036854775808", true, max},
        {std::string("-9223372036854775808"), "-9223372036854775808", true, min},
        {std::string("-99999999999999999999"), "-99999999999999999999", true, min},
        {true, "1", true, 1},
        {false, "0", false, 0},
        {std::int64_t{42}, "42", true, 42},
        {std::int64_t{-3}, "-3", true, -3},
        {std::int64_t{0}, "0", false, 0},
    };
    for (const Case& c : cases) {
        const std::string shown = settingText(c.value);
        EXPECT_EQ(shown, c.text);
        EXPECT_EQ(settingBoolean(c.value), c.boolean) << shown;
        EXPECT_EQ(settingInteger(c.value), c.integer) << shown;
    }
}

TEST(MemorySettingsTest, ReadsAbsentKeysAsThePlatformsDefaults) {
    const MemorySettings settings;
    EXPECT_EQ(settings.string("k"), std::nullopt);
    EXPECT_FALSE(settings.boolean("k"));
    EXPECT_EQ(settings.integer("k"), 0);
    EXPECT_FALSE(settings.contains("k"));
}

TEST(MemorySettingsTest, RecordsEveryWriteAndRemovalInOrderButNotItsStartingValues) {
    MemorySettings settings({{"legacy", std::int64_t{7}}, {"kept", std::string("x")}});
    EXPECT_EQ(settings.integer("legacy"), 7);
    EXPECT_EQ(settings.string("legacy"), "7");

    settings.set("route", std::string("a"));
    settings.remove("legacy");
    settings.remove("never-there");
    settings.set("route", true);

    using Change = MemorySettings::Change;
    const std::vector<Change> expected = {
        {"route", SettingValue(std::string("a"))},
        {"legacy", std::nullopt},
        {"never-there", std::nullopt},
        {"route", SettingValue(true)},
    };
    EXPECT_EQ(settings.changes(), expected);
    EXPECT_FALSE(settings.contains("legacy"));
    EXPECT_TRUE(settings.boolean("route"));
    EXPECT_EQ(settings.string("route"), "1");
    EXPECT_EQ(settings.string("kept"), "x");
}

}  // namespace
}  // namespace tarnel
