#include "app/ui/app_language.hpp"

#include <array>
#include <utility>

namespace tarnel {

namespace {

struct Titles {
    std::string_view english;
    std::string_view russian;
};

constexpr std::array<std::pair<TunnelStatus, Titles>, 4> kStatusTitles{{
    {TunnelStatus::disconnected, {"Disconnected", "Отключено"}},
    {TunnelStatus::connecting, {"Connecting", "Подключаем"}},
    {TunnelStatus::connected, {"Connected", "Подключено"}},
    {TunnelStatus::failed, {"Failed", "Ошибка"}},
}};

constexpr std::array<std::pair<RouteAvailability, Titles>, 5> kAvailabilityTitles{{
    {RouteAvailability::untested, {"Not tested", "Не проверен"}},
    {RouteAvailability::available, {"Available", "Доступен"}},
    {RouteAvailability::slow, {"Slow", "Медленно"}},
    {RouteAvailability::unavailable, {"Unavailable", "Недоступен"}},
    {RouteAvailability::paidRequired, {"Paid", "Платный"}},
}};

template <typename Enum, std::size_t N>
std::string_view titleOf(const std::array<std::pair<Enum, Titles>, N>& table, Enum value,
                         AppLanguage language) noexcept {
    for (const auto& [candidate, titles] : table) {
        if (candidate == value) return language == AppLanguage::ru ? titles.russian : titles.english;
    }
    return {};
}

}  // namespace

std::string_view rawValue(AppLanguage language) noexcept { return language == AppLanguage::ru ? "ru" : "en"; }

std::optional<AppLanguage> appLanguageFromRawValue(std::string_view raw) noexcept {
    if (raw == "en") return AppLanguage::en;
    if (raw == "ru") return AppLanguage::ru;
    return std::nullopt;
}

std::string_view title(TunnelStatus status, AppLanguage language) noexcept {
    return titleOf(kStatusTitles, status, language);
}

std::string_view title(RouteAvailability availability, AppLanguage language) noexcept {
    return titleOf(kAvailabilityTitles, availability, language);
}

std::optional<std::string> systemLanguageCode(const EnvironmentReader& environment) {
    for (const std::string_view name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto value = environment(name);
        if (!value || value->empty()) continue;
        std::string code = value->substr(0, value->find_first_of("_.@"));
        if (code.empty() || code == "C" || code == "POSIX") return std::nullopt;
        return code;
    }
    return std::nullopt;
}

AppLanguage resolveLanguage(std::string_view storedCode, const std::optional<std::string>& systemCode) {
    if (const auto stored = appLanguageFromRawValue(storedCode)) return *stored;
    return systemCode == "ru" ? AppLanguage::ru : AppLanguage::en;
}

LanguageSetting::LanguageSetting(std::shared_ptr<Settings> settings, EnvironmentReader environment, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), environment_(std::move(environment)) {}

std::string LanguageSetting::storedCode() const { return settings_->string(kKey).value_or(""); }

AppLanguage LanguageSetting::language() const {
    return resolveLanguage(storedCode(), systemLanguageCode(environment_));
}

void LanguageSetting::setStoredCode(std::string_view code) {
    settings_->set(kKey, std::string(code));
    emit changed();
}

void LanguageSetting::fixStoredCode() {
    if (appLanguageFromRawValue(storedCode())) return;
    setStoredCode(rawValue(language()));
}

}  // namespace tarnel
