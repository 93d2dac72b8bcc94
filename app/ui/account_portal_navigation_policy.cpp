#include "app/ui/account_portal_navigation_policy.hpp"

#include <algorithm>

#include "app/state/account_portal.hpp"
#include "common/base/ascii.hpp"
#include "common/base/url.hpp"

namespace tarnel {

namespace {

using Kind = AccountPortalNavigationDecision::Kind;

bool isHandoffLink(std::string_view url) {
    try {
        (void)DirectAccountPortal::handoffToken(url);
        return true;
    } catch (const DirectAccountPortalError&) {
        return false;
    }
}

// Equal as texts, or equal once both are percent-decoded.
bool sameAddress(std::string_view left, std::string_view right) {
    if (left == right) return true;
    const auto decodedLeft = percentDecode(left);
    const auto decodedRight = percentDecode(right);
    return decodedLeft && decodedRight && *decodedLeft == *decodedRight;
}

}  // namespace

std::optional<std::string> AccountPortalNavigationPolicy::scheme(std::string_view url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view name = url.substr(0, colon);
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const bool valid = isLetter(name.front()) && std::all_of(name.begin(), name.end(), [&](char c) {
                           return isLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
                       });
    if (!valid) return std::nullopt;
    std::string lowered(name);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), ascii::lower);
    return lowered;
}

AccountPortalNavigationDecision AccountPortalNavigationPolicy::decide(std::string_view url, bool isMainFrame,
                                                                      std::string_view language,
                                                                      std::optional<std::string_view> lastIssuedURL,
                                                                      const Canonicaliser& canonicalise) {
    if (url.empty()) return {Kind::cancel, {}};
    if (!isMainFrame) return {Kind::allow, {}};
    if (isHandoffLink(url)) return {Kind::cancelAndHandOff, {}};

    const auto urlScheme = scheme(url);
    if (urlScheme == "mailto") return {Kind::cancelAndOpenOutside, {}};
    if (urlScheme != "https") return {Kind::cancel, {}};

    std::string canonical;
    try {
        canonical = canonicalise(url, language);
    } catch (const DirectAccountPortalError&) {
        return {Kind::allow, {}};  // not a portal address: an ordinary page
    }
    if (canonical == url) return {Kind::allow, {}};
    if (lastIssuedURL && sameAddress(url, *lastIssuedURL)) return {Kind::allow, {}};
    return {Kind::cancelAndLoad, std::move(canonical)};
}

}  // namespace tarnel
