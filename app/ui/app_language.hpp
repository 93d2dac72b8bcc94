#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/catalog/route_model.hpp"
#include "app/state/connection_types.hpp"
#include "platform/settings/settings.hpp"

namespace tarnel {

// The language of the window. Every text of it is an English/Russian pair
// chosen in code; there are no translation files.
enum class AppLanguage {
    en,
    ru,
};

[[nodiscard]] std::string_view rawValue(AppLanguage language) noexcept;
// Exactly "en" or "ru" (letter case counts); none for anything else.
[[nodiscard]] std::optional<AppLanguage> appLanguageFromRawValue(std::string_view raw) noexcept;

// The Russian text in Russian, the English one otherwise.
[[nodiscard]] inline const char* text(AppLanguage language, const char* english, const char* russian) noexcept {
    return language == AppLanguage::ru ? russian : english;
}

// The status and availability titles that several views share.
[[nodiscard]] std::string_view title(TunnelStatus status, AppLanguage language) noexcept;
[[nodiscard]] std::string_view title(RouteAvailability availability, AppLanguage language) noexcept;

// Reads one variable of the process's environment (none: unset).
using EnvironmentReader = std::function<std::optional<std::string>(std::string_view name)>;

// The language code of the system's locale: of LC_ALL, LC_MESSAGES and LANG,
// the first that is set and not empty, up to its first "_", "." or "@".
// "C", "POSIX" and an empty code give none.
[[nodiscard]] std::optional<std::string> systemLanguageCode(const EnvironmentReader& environment);

// The language shown for a stored code and the system's code: a stored "en"
// or "ru" wins; otherwise Russian exactly when the system's code is "ru".
[[nodiscard]] AppLanguage resolveLanguage(std::string_view storedCode, const std::optional<std::string>& systemCode);

// The stored language code of the window ("app.tarnel.direct.language" in
// the user's settings, empty when absent) shared by every window, with the
// language it resolves to. Nothing is cached: each read asks the settings
// and the system again. Main thread only.
class LanguageSetting final : public QObject {
    Q_OBJECT

public:
    static constexpr std::string_view kKey = "app.tarnel.direct.language";

    LanguageSetting(std::shared_ptr<Settings> settings, EnvironmentReader environment, QObject* parent = nullptr);

    [[nodiscard]] std::string storedCode() const;
    [[nodiscard]] AppLanguage language() const;
    // "ru" or "en": the language as the calls that take a code want it.
    [[nodiscard]] std::string languageCode() const { return std::string(rawValue(language())); }

    // Stores a code (the picker writes "en" or "ru") and tells every window.
    void setStoredCode(std::string_view code);
    // Once a window is shown: a stored code that is neither "en" nor "ru"
    // becomes the code of the language it resolves to, so that a later
    // change of the system's language changes nothing.
    void fixStoredCode();

signals:
    void changed();

private:
    std::shared_ptr<Settings> settings_;
    EnvironmentReader environment_;
};

}  // namespace tarnel
