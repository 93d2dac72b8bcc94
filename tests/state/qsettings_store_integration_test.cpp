#include "app/state/qsettings_store.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/base/files.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

TEST(QSettingsStoreTest, TheUsersFileIsUnderTheConfigurationDirectory) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("XDG_CONFIG_HOME", "/tmp/tarnel-config", 1);
    const std::filesystem::path file = QSettingsStore::defaultFile();
    if (restore) {
        ::setenv("XDG_CONFIG_HOME", restore->c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(file, "/tmp/tarnel-config/Tarnel Direct/settings.ini");
}

TEST(QSettingsStoreTest, ValuesSurviveANewInstanceAndReadAsThePlatformsDefaults) {
    const testing::TemporaryDirectory home;
    const std::filesystem::path file = home.path() / "config" / "Tarnel Direct" / "settings.ini";
    const std::string texts[] = {
        "",
        "https://sub.tarnel.test/sub/f/tok.txt",
        "a, b, c",
        "\"quoted\" ; comment = x",
        "  leading and trailing  ",
        "line one\nline two\r\n\ttab",
        "@Variant(\\0\\0)",
        "back\\slash",
        "Ссылка 🇷🇴",
        "[General]",
    };
    {
        QSettingsStore settings(file);
        EXPECT_EQ(settings.string("app.tarnel.direct.absent"), std::nullopt);
        EXPECT_FALSE(settings.boolean("app.tarnel.direct.absent"));
        EXPECT_EQ(settings.integer("app.tarnel.direct.absent"), 0);
        for (std::size_t index = 0; index < std::size(texts); ++index) {
            settings.set("text." + std::to_string(index), texts[index]);
        }
        settings.set("app.tarnel.direct.automaticCrossNodeSelection", true);
        settings.set("app.tarnel.direct.off", false);
        settings.set("app.tarnel.direct.transportManifestRevision", std::int64_t{-7});
        settings.set("app.tarnel.direct.big", std::int64_t{INT64_MAX});
        settings.set("app.tarnel.direct.removed", std::string("gone"));
        settings.remove("app.tarnel.direct.removed");
        settings.remove("");  // names nothing; removes nothing
    }
    EXPECT_TRUE(files::readIfExists(file).has_value());

    const QSettingsStore reopened(file);
    for (std::size_t index = 0; index < std::size(texts); ++index) {
        EXPECT_EQ(reopened.string("text." + std::to_string(index)), texts[index]) << texts[index];
    }
    EXPECT_TRUE(reopened.boolean("app.tarnel.direct.automaticCrossNodeSelection"));
    EXPECT_FALSE(reopened.boolean("app.tarnel.direct.off"));
    EXPECT_TRUE(reopened.contains("app.tarnel.direct.off"));
    EXPECT_EQ(reopened.integer("app.tarnel.direct.transportManifestRevision"), -7);
    EXPECT_EQ(reopened.integer("app.tarnel.direct.big"), INT64_MAX);
    EXPECT_EQ(reopened.integer("text.1"), 0);  // text that is not a number
    EXPECT_FALSE(reopened.contains("app.tarnel.direct.removed"));
    EXPECT_EQ(reopened.string("app.tarnel.direct.removed"), std::nullopt);
}

}  // namespace
}  // namespace tarnel
