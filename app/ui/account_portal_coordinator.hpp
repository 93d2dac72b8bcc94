#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "app/ui/account_portal_browser.hpp"
#include "app/ui/account_portal_navigation_policy.hpp"

namespace tarnel {

// What the account portal's web view asks and tells the sheet: every
// navigation goes through the navigation policy here, a page's request for a
// new window is loaded in the same view, and every start, finish or failure
// of a load refreshes the browser's header state. The engine's page calls it
// from its own callbacks; nothing here runs the sheet's callbacks, loads a
// page or opens a URL inside such a callback: each is queued to the event
// loop.
class AccountPortalCoordinator final : public QObject {
    Q_OBJECT

public:
    // A load the sheet issues is stopped when it still runs after this long.
    static constexpr std::chrono::seconds kFirstLoadTimeout{30};
    static constexpr std::chrono::seconds kReplacementLoadTimeout{60};

    struct Callbacks {
        // Called with a handoff link caught in the view, after onClose.
        std::function<void(const std::string& url)> onHandoff;
        std::function<void()> onClose;
    };

    AccountPortalCoordinator(AccountPortalBrowser& browser, std::string language,
                             AccountPortalNavigationPolicy::Canonicaliser canonicalise,
                             AccountPortalURLOpener openURL, Callbacks callbacks, QObject* parent = nullptr);

    // Whether the view may go on with a navigation to `url` (fully encoded;
    // empty: none). A sub-frame's navigation to a scheme the engine does not
    // load itself is refused too: the engine would hand it to the desktop.
    [[nodiscard]] bool acceptNavigation(const std::string& url, bool isMainFrame);
    // A page asked for a new window: never made; a request with a URL is
    // loaded in this view, where the policy applies.
    void newWindowRequested(const std::string& url);
    // The view started, finished or failed a load.
    void viewChanged();

    // Loads the sheet's first address, bypassing caches, within the first
    // load's time.
    void loadFirst(const std::string& url);

    // Schemes the engine loads in a frame itself; it hands any other to the
    // desktop.
    [[nodiscard]] static bool engineLoadsScheme(std::string_view scheme);

private:
    void issueLoad(const std::string& url, bool bypassingCaches, std::chrono::seconds timeout);
    void loadTimedOut();

    AccountPortalBrowser& browser_;
    std::string language_;
    AccountPortalNavigationPolicy::Canonicaliser canonicalise_;
    AccountPortalURLOpener openURL_;
    Callbacks callbacks_;
    // The canonical address this sheet asked the view to load last.
    std::optional<std::string> lastIssuedURL_;
    // Set once a handoff is caught: the sheet is closing, every further
    // navigation is refused and nothing more is handed off.
    bool handedOff_ = false;
    QTimer loadTimer_;
};

}  // namespace tarnel
