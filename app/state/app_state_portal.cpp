// The account portal on the application state: opening the portal, the
// handoff of a fresh access link from it, and the support mail.

#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "app/catalog/unicode_text.hpp"
#include "app/state/account_portal.hpp"
#include "app/state/app_state.hpp"
#include "common/base/error.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

// Texts of the account panel; the handoff's are Russian in both languages.
constexpr std::string_view kPreparingRussian = "Готовим безопасный доступ...";
constexpr std::string_view kPreparingEnglish = "Preparing secure account access...";
constexpr std::string_view kOpenedRussian = "Кабинет открыт в приложении.";
constexpr std::string_view kOpenedEnglish = "Account opened in Tarnel.";
constexpr std::string_view kReceivingHandoff = "Получаем доступ из личного кабинета...";
constexpr std::string_view kHandedOver = "Доступ передан приложению.";

// The portal of the configured account service over its HTTP layer: a
// service without an HTTP layer or with a host that is no host name is
// unavailable, and nothing is sent.
DirectAccountPortal configuredPortal(const AccountServiceEndpoints& service,
                                     const std::shared_ptr<const HttpClient>& http) {
    if (!http) throw DirectAccountPortalError::unavailable();
    try {
        return DirectAccountPortal(service.host);
    } catch (const std::invalid_argument&) {
        throw DirectAccountPortalError::unavailable();
    }
}

}  // namespace

void AppState::openAccountPortal(std::string_view language) {
    // The text as it is now: a later edit of the field changes nothing.
    std::string text = unicode::trimmingWhitespaceAndNewlines(subscriptionInput_);
    const bool russian = language == "ru";
    setIsOpeningAccount(true);
    setAccountMessage(std::string(russian ? kPreparingRussian : kPreparingEnglish));
    startTask([text = std::move(text), russian](AppState& state, std::stop_token stop) {
        return state.finishOpeningAccountPortal(text, russian, std::move(stop));
    });
}

QCoro::Task<> AppState::finishOpeningAccountPortal(std::string text, bool russian, std::stop_token stop) {
    try {
        // An access link is claimed (never falling back to the default
        // address); anything else opens the default address.
        std::optional<std::string> accessLink;
        if (accessLinkURL(text)) accessLink = std::move(text);
        auto call = onPool([service = environment_.accountService, http = environment_.accountHttp,
                            accessLink = std::move(accessLink), russian, stop] {
            const DirectAccountPortal portal = configuredPortal(service, http);
            return portal.portalURLToOpen(*http, accessLink, russian ? "ru" : "en", stop);
        });
        std::string url = co_await call;
        setAccountPortalURL(std::move(url));
        setAccountMessage(std::string(russian ? kOpenedRussian : kOpenedEnglish));
    } catch (const std::exception& error) {
        setAccountMessage(errorMessage(error));
    }
    setIsOpeningAccount(false);
}

void AppState::handleAccountHandoff(std::string_view url) {
    try {
        static_cast<void>(DirectAccountPortal::handoffToken(url));
    } catch (const DirectAccountPortalError&) {
        return;  // not a handoff link
    }
    setAccountMessage(std::string(kReceivingHandoff));
    appendLog("Account access handoff received.");
    startTask([url = std::string(url)](AppState& state, std::stop_token stop) {
        return state.redeemAccountHandoff(url, std::move(stop));
    });
}

QCoro::Task<> AppState::redeemAccountHandoff(std::string url, std::stop_token stop) {
    std::string accessLink;
    try {
        auto call = onPool([service = environment_.accountService, http = environment_.accountHttp,
                            url = std::move(url), stop] {
            const DirectAccountPortal portal = configuredPortal(service, http);
            return portal.redeemHandoff(*http, url, DirectAccountPortal::kClientChannel, stop);
        });
        accessLink = co_await call;
    } catch (const std::exception& error) {
        setAccountMessage(errorMessage(error));
        appendLog("Account access handoff failed.");
        co_return;
    }
    // An import that runs now would ignore the request of a new one: the
    // handed-over link waits for its end instead of being dropped.
    co_await untilNoImportRuns();
    setSubscriptionInput(std::move(accessLink));
    importSubscription(false, false);
    setAccountMessage(std::string(kHandedOver));
}

QCoro::Task<> AppState::untilNoImportRuns() {
    while (isImporting_) {
        std::stop_source ended;
        const QMetaObject::Connection watch =
            QObject::connect(this, &AppState::isImportingChanged, this, [this, ended]() mutable {
                if (!isImporting_) ended.request_stop();
            });
        auto wait = tasks_.waitForStop(ended.get_token());
        try {
            co_await wait;
        } catch (const CancellationError&) {
            // the import ended
        }
        QObject::disconnect(watch);
    }
}

void AppState::openSupportEmail() {
    const auto url = DirectAccountPortal::supportMailURL(environment_.accountService.supportEmailAddress);
    if (url && environment_.openURL) environment_.openURL(*url);
}

}  // namespace tarnel
