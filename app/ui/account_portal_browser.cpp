#include "app/ui/account_portal_browser.hpp"

#include <utility>

#include "app/ui/account_portal_navigation_policy.hpp"

namespace tarnel {

AccountPortalBrowser::AccountPortalBrowser(AccountPortalURLOpener openURL, QObject* parent)
    : QObject(parent), openURL_(std::move(openURL)) {}

void AccountPortalBrowser::setView(AccountPortalWebView* view) {
    view_ = view;
    viewWidget_ = view ? view->widget() : nullptr;
}

void AccountPortalBrowser::update(const AccountPortalWebView& view) {
    canGoBack_ = view.canGoBack();
    isLoading_ = view.isLoading();
    std::string url = view.url();
    currentURL_ = url.empty() ? std::nullopt : std::optional<std::string>(std::move(url));
    Q_EMIT changed();
}

void AccountPortalBrowser::openCurrentPageInBrowser() const {
    if (currentURL_ && AccountPortalNavigationPolicy::scheme(*currentURL_) == "https") openURL_(*currentURL_);
}

void AccountPortalBrowser::goBack() const {
    if (auto* current = view()) current->goBack();
}

void AccountPortalBrowser::reload() const {
    if (auto* current = view()) current->reload();
}

}  // namespace tarnel
