#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel {

// What the account portal sheet does with one navigation of its web view.
struct AccountPortalNavigationDecision {
    enum class Kind {
        allow,
        cancel,
        // Cancel, then hand the handoff link to the application.
        cancelAndHandOff,
        // Cancel, then give the URL to the desktop's handler (mail links).
        cancelAndOpenOutside,
        // Cancel, then load `url` (a portal address's canonical form) in the
        // same view.
        cancelAndLoad,
    };

    Kind kind = Kind::cancel;
    std::string url;  // only for cancelAndLoad

    friend bool operator==(const AccountPortalNavigationDecision&, const AccountPortalNavigationDecision&) = default;
};

// The sheet's navigation rules, a pure function of its inputs.
//
// In order: no URL is cancelled; a sub-frame navigates freely; a handoff link
// is caught; a mail link goes to the desktop; an https portal address is
// replaced by its canonical form unless it is that form already (or the one
// the sheet loaded last, as the engine reports it again); any other https
// page is allowed; every other scheme is cancelled.
class AccountPortalNavigationPolicy {
public:
    // The canonical portal address of a URL in a language
    // (DirectAccountPortal::canonicalPortalURL with the sheet's channel);
    // throws DirectAccountPortalError for a URL that is no portal address.
    using Canonicaliser = std::function<std::string(std::string_view url, std::string_view language)>;

    // `url`: the navigation's URL as the engine reports it (empty: none).
    // `lastIssuedURL`: the canonical address the sheet asked the view to load
    // last. The engine may write it back re-encoded ("'" as "%27"), so an
    // address equal to it once both are percent-decoded is allowed rather
    // than replaced again: the view never loops on a replacement.
    [[nodiscard]] static AccountPortalNavigationDecision decide(std::string_view url, bool isMainFrame,
                                                                std::string_view language,
                                                                std::optional<std::string_view> lastIssuedURL,
                                                                const Canonicaliser& canonicalise);

    // The scheme of a URL in lower case: the text before the first ":" when
    // that is a scheme (a letter, then letters, digits, "+", "-", "."),
    // otherwise nothing.
    [[nodiscard]] static std::optional<std::string> scheme(std::string_view url);
};

}  // namespace tarnel
