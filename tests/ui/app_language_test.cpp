#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/ui/app_language.hpp"
#include "platform/settings/memory_settings.hpp"

namespace tarnel {
namespace {

EnvironmentReader environmentOf(std::map<std::string, std::string> variables) {
    return [variables = std::move(variables)](std::string_view name) -> std::optional<std::string> {
        const auto found = variables.find(std::string(name));
        if (found == variables.end()) return std::nullopt;
        return found->second;
    };
}

TEST(AppLanguageTest, TheSystemLanguageIsTheFirstLocaleVariableSetUpToItsSeparators) {
    const struct {
        std::map<std::string, std::string> variables;
        std::optional<std::string> code;
    } cases[] = {
        {{{"LANG", "ru_RU.UTF-8"}}, "ru"},
        {{{"LANG", "ru.UTF-8"}}, "ru"},
        {{{"LANG", "ru@latin"}}, "ru"},
        {{{"LANG", "uk_UA.UTF-8"}}, "uk"},
        {{{"LC_ALL", "de_DE"}, {"LC_MESSAGES", "ru_RU"}, {"LANG", "ru_RU"}}, "de"},
        {{{"LC_ALL", ""}, {"LC_MESSAGES", "ru_RU"}, {"LANG", "en_US"}}, "ru"},
        {{{"LC_MESSAGES", ""}, {"LANG", "en_GB.UTF-8"}}, "en"},
        {{{"LANG", "C.UTF-8"}}, std::nullopt},
        {{{"LANG", "POSIX"}}, std::nullopt},
        {{{"LC_ALL", "C"}, {"LANG", "ru_RU"}}, std::nullopt},
        {{{"LANG", "_RU"}}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(systemLanguageCode(environmentOf(test.variables)), test.code)
            << (test.variables.empty() ? "nothing set" : test.variables.rbegin()->second);
    }
}

// (stored code, system language) -> (language shown, code stored once a
// window was shown); the system is asked only while the stored code is not
// exactly "en" or "ru".
TEST(AppLanguageTest, TheStoredCodeWinsElseTheSystemAndAWindowFixesIt) {
    const struct {
        std::optional<std::string> stored;
        std::optional<std::string> lang;
        AppLanguage shown;
        std::string fixed;
    } cases[] = {
        {std::nullopt, "ru_RU.UTF-8", AppLanguage::ru, "ru"},
        {"", "ru_RU.UTF-8", AppLanguage::ru, "ru"},
        {"", "uk_UA.UTF-8", AppLanguage::en, "en"},
        {"EN", "ru_RU.UTF-8", AppLanguage::ru, "ru"},
        {"Ru", std::nullopt, AppLanguage::en, "en"},
        {"de", "en_US.UTF-8", AppLanguage::en, "en"},
        {"en", "ru_RU.UTF-8", AppLanguage::en, "en"},
        {"ru", "en_US.UTF-8", AppLanguage::ru, "ru"},
    };
    for (const auto& test : cases) {
        auto settings = std::make_shared<MemorySettings>();
        if (test.stored) settings->set(LanguageSetting::kKey, *test.stored);
        std::map<std::string, std::string> variables;
        if (test.lang) variables["LANG"] = *test.lang;
        LanguageSetting language(settings, environmentOf(variables));
        bool announced = false;
        QObject::connect(&language, &LanguageSetting::changed, [&announced] { announced = true; });
        const std::string context = test.stored.value_or("(absent)") + " on " + test.lang.value_or("(none)");

        EXPECT_EQ(language.language(), test.shown) << context;
        language.fixStoredCode();
        EXPECT_EQ(settings->string(LanguageSetting::kKey), test.fixed) << context;
        EXPECT_EQ(language.language(), test.shown) << context;
        // A code that was already "en" or "ru" is left alone.
        EXPECT_EQ(announced, test.stored != test.fixed) << context;
    }
}

TEST(AppLanguageTest, OnceStoredTheSystemNoLongerChangesTheLanguage) {
    auto settings = std::make_shared<MemorySettings>();
    std::string lang = "ru_RU.UTF-8";
    LanguageSetting language(settings, [&lang](std::string_view name) -> std::optional<std::string> {
        if (name == "LANG") return lang;
        return std::nullopt;
    });
    EXPECT_EQ(language.language(), AppLanguage::ru);
    language.fixStoredCode();
    lang = "en_US.UTF-8";
    EXPECT_EQ(language.language(), AppLanguage::ru);
    language.setStoredCode("en");
    EXPECT_EQ(language.language(), AppLanguage::en);
    EXPECT_EQ(language.languageCode(), "en");
}

TEST(AppLanguageTest, OnlyTheExactRawValuesAreLanguages) {
    EXPECT_EQ(appLanguageFromRawValue("en"), AppLanguage::en);
    EXPECT_EQ(appLanguageFromRawValue("ru"), AppLanguage::ru);
    for (const char* other : {"EN", "Ru", "ru ", "", "de"}) EXPECT_EQ(appLanguageFromRawValue(other), std::nullopt);
}

}  // namespace
}  // namespace tarnel
