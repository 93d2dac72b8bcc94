#include "app/ui/account_portal_coordinator.hpp"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <utility>

namespace tarnel {

namespace {

using Kind = AccountPortalNavigationDecision::Kind;

// Runs `work` on a later turn of the event loop, also when the sheet is gone
// by then: the presenter deletes the sheet on onClose, and the handoff must
// still reach it afterwards.
void later(std::function<void()> work) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

}  // namespace

AccountPortalCoordinator::AccountPortalCoordinator(AccountPortalBrowser& browser, std::string language,
                                                   AccountPortalNavigationPolicy::Canonicaliser canonicalise,
                                                   AccountPortalURLOpener openURL, Callbacks callbacks,
                                                   QObject* parent)
    : QObject(parent),
      browser_(browser),
      language_(std::move(language)),
      canonicalise_(std::move(canonicalise)),
      openURL_(std::move(openURL)),
      callbacks_(std::move(callbacks)),
      loadTimer_(this) {
    loadTimer_.setObjectName("accountPortal.loadTimer");
    loadTimer_.setSingleShot(true);
    connect(&loadTimer_, &QTimer::timeout, this, &AccountPortalCoordinator::loadTimedOut);
}

bool AccountPortalCoordinator::engineLoadsScheme(std::string_view scheme) {
    static constexpr std::array<std::string_view, 7> kEngineSchemes = {"https", "http",       "about", "data",
                                                                       "blob",  "filesystem", "file"};
    return std::find(kEngineSchemes.begin(), kEngineSchemes.end(), scheme) != kEngineSchemes.end();
}

bool AccountPortalCoordinator::acceptNavigation(const std::string& url, bool isMainFrame) {
    if (handedOff_) return false;
    const auto decision = AccountPortalNavigationPolicy::decide(
        url, isMainFrame, language_, lastIssuedURL_ ? std::optional<std::string_view>(*lastIssuedURL_) : std::nullopt,
        canonicalise_);
    switch (decision.kind) {
    case Kind::allow: {
        if (isMainFrame) return true;
        const auto scheme = AccountPortalNavigationPolicy::scheme(url);
        return scheme && engineLoadsScheme(*scheme);
    }
    case Kind::cancel:
        return false;
    case Kind::cancelAndHandOff:
        handedOff_ = true;
        later([callbacks = callbacks_, url] {
            if (callbacks.onClose) callbacks.onClose();
            if (callbacks.onHandoff) callbacks.onHandoff(url);
        });
        return false;
    case Kind::cancelAndOpenOutside:
        later([openURL = openURL_, url] { openURL(url); });
        return false;
    case Kind::cancelAndLoad:
        lastIssuedURL_ = decision.url;
        QMetaObject::invokeMethod(
            this, [this, canonical = decision.url] { issueLoad(canonical, false, kReplacementLoadTimeout); },
            Qt::QueuedConnection);
        return false;
    }
    return false;
}

void AccountPortalCoordinator::newWindowRequested(const std::string& url) {
    if (url.empty() || handedOff_) return;
    if (auto* view = browser_.view()) view->load(url, false);
}

void AccountPortalCoordinator::viewChanged() {
    auto* view = browser_.view();
    if (!view) return;
    browser_.update(*view);
    // The load the timer guards is over; a later one of the user's own is
    // not the sheet's to stop.
    if (!view->isLoading()) loadTimer_.stop();
}

void AccountPortalCoordinator::loadFirst(const std::string& url) {
    lastIssuedURL_ = url;
    issueLoad(url, true, kFirstLoadTimeout);
}

void AccountPortalCoordinator::issueLoad(const std::string& url, bool bypassingCaches, std::chrono::seconds timeout) {
    auto* view = browser_.view();
    if (!view || handedOff_) return;
    loadTimer_.start(timeout);
    view->load(url, bypassingCaches);
}

void AccountPortalCoordinator::loadTimedOut() {
    auto* view = browser_.view();
    if (!view || !view->isLoading()) return;
    view->stop();
    browser_.update(*view);
}

}  // namespace tarnel
