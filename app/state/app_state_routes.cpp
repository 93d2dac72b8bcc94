// The values the window reads from the state, computed on every read: the
// selected, active and displayed route, the route list, what each button may
// do, and the hint texts; and the text formats of elapsed times.

#include <algorithm>
#include <charconv>
#include <map>

#include "app/catalog/unicode_text.hpp"
#include "app/state/app_state.hpp"
#include "common/base/ascii.hpp"
#include "common/base/url.hpp"

namespace tarnel {

namespace {

const RouteNode* routeWithID(const std::vector<RouteNode>& routes, const std::optional<std::string>& id) {
    if (!id) return nullptr;
    const auto found = std::ranges::find(routes, *id, &RouteNode::id);
    return found == routes.end() ? nullptr : &*found;
}

// The transport part of a route's catalog key.
std::string_view keyTransportID(const RouteNode& route) {
    switch (route.transport) {
        case RouteTransport::vless: return "reality";
        case RouteTransport::naive: return route.quic ? "naive-h3" : "naive-h2";
        default: return rawValue(route.transport);
    }
}

// "<region code>:<key transport id>"; none for a route without a region.
std::optional<std::string> catalogKey(const RouteNode& route, const std::optional<std::string>& regionCode) {
    if (!regionCode) return std::nullopt;
    return *regionCode + ":" + std::string(keyTransportID(route));
}

// The catalog entry of a route when the subscription has no catalog.
RouteCatalogItem fallbackCatalogItem(const RouteNode& route, std::string key, std::string regionCode) {
    const std::string transportID(rawValue(route.transport));
    return RouteCatalogItem{std::move(key), std::move(regionCode), route.regionLabel(), transportID,
                            std::string(route.transportDisplayName()), transportID, CatalogRouteStatus::available};
}

// "%.3f" of the seconds, 0 for anything not above 0, in the C locale's
// digits whatever the process's locale, then "s".
std::string secondsText(double seconds) {
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, seconds > 0.0 ? seconds : 0.0,
                                       std::chars_format::fixed, 3);
    return std::string(buffer, written.ptr) + "s";
}

}  // namespace

const RouteNode* AppState::selectedRoute() const {
    if (const RouteNode* selected = routeWithID(routes_, selectedRouteID_)) return selected;
    return routes_.empty() ? nullptr : &routes_.front();
}

const RouteNode* AppState::activeRoute() const { return routeWithID(routes_, activeRouteID_); }

const RouteNode* AppState::displayedRoute() const {
    if (tunnelStatus_ == TunnelStatus::connected || tunnelStatus_ == TunnelStatus::failed) {
        if (const RouteNode* active = activeRoute()) return active;
    }
    return selectedRoute();
}

std::vector<RouteListItem> AppState::routeListItems() const {
    std::vector<RouteListItem> items;
    if (routeCatalog_.empty()) {
        for (const RouteNode& route : routes_) {
            auto regionCode = route.regionCode();
            auto key = catalogKey(route, regionCode);
            if (!key) continue;
            items.push_back({fallbackCatalogItem(route, std::move(*key), std::move(*regionCode)), route});
        }
        return items;
    }
    // Of routes that share a catalog key, the first in list order joins.
    std::map<std::string, const RouteNode*, std::less<>> byKey;
    for (const RouteNode& route : routes_) {
        if (auto key = catalogKey(route, route.regionCode())) byKey.try_emplace(std::move(*key), &route);
    }
    items.reserve(routeCatalog_.size());
    for (const RouteCatalogItem& entry : routeCatalog_) {
        const auto found = byKey.find(entry.id);
        items.push_back({entry, found == byKey.end() ? std::nullopt : std::optional<RouteNode>(*found->second)});
    }
    return items;
}

RouteAvailability AppState::availability(const RouteListItem& item) const {
    if (!item.route) {
        return item.catalog.status == CatalogRouteStatus::paidRequired ? RouteAvailability::paidRequired
                                                                       : RouteAvailability::unavailable;
    }
    const auto found = routeAvailability_.find(item.route->id);
    return found == routeAvailability_.end() ? RouteAvailability::untested : found->second;
}

std::optional<std::string> AppState::routeTestCurrentRouteName() const {
    if (!routeTestProgress_) return std::nullopt;
    const RouteNode* current = routeWithID(routes_, routeTestProgress_->currentRouteID);
    if (current == nullptr) return std::nullopt;
    return current->displayTitle();
}

bool AppState::isConnectionEngaged() const {
    switch (tunnelStatus_) {
        case TunnelStatus::connecting:
        case TunnelStatus::connected: return true;
        case TunnelStatus::failed: return activeMode.has_value();
        case TunnelStatus::disconnected: return false;
    }
    return false;
}

bool AppState::canConnect() const {
    if (selectedRoute() == nullptr || tunnelStatus_ == TunnelStatus::connecting || routeTestProgress_) return false;
    // Connected: Connect switches to another selected route.
    if (tunnelStatus_ == TunnelStatus::connected) return selectedRouteID_ != activeRouteID_;
    return true;
}

bool AppState::canImport() const {
    return !unicode::trimmingWhitespaceAndNewlines(subscriptionInput_).empty() && !isConnectionEngaged() &&
           !isImporting_ && !routeTestProgress_;
}

bool AppState::canRefresh() const {
    return hasAccessLink() && tunnelStatus_ != TunnelStatus::connecting && !isImporting_ && !routeTestProgress_;
}

bool AppState::canTestAllRoutes() const {
    return !routes_.empty() && connectionMode_ == ConnectionMode::tun &&
           tunnelStatus_ == TunnelStatus::disconnected && !connectionAttemptID && !isImporting_ &&
           !routeTestProgress_;
}

std::optional<std::string> AppState::accessLinkURL(std::string_view text) {
    const auto url = UrlComponents::parse(text);
    if (!url || !url->scheme()) return std::nullopt;
    const std::string& scheme = *url->scheme();
    if (!ascii::equalIgnoringCase(scheme, "http") && !ascii::equalIgnoringCase(scheme, "https")) return std::nullopt;
    return std::string(text);
}

bool AppState::hasAccessLink() const {
    return accessLinkURL(unicode::trimmingWhitespaceAndNewlines(subscriptionInput_)).has_value();
}

std::string AppState::refreshHint() const {
    if (!hasAccessLink()) return "Один раз импортируйте ссылку доступа, чтобы включить обновления.";
    if (tunnelStatus_ == TunnelStatus::connected) return "Загрузить свежие маршруты через работающий VPN.";
    return "Загрузить свежие маршруты по сохранённой ссылке.";
}

std::string AppState::savedAccessHint() const {
    if (unicode::trimmingWhitespaceAndNewlines(subscriptionInput_).empty()) return "No access link saved";
    return hasAccessLink() ? "Ссылка сохранена только на этом Mac" : "Ключ сохранён только на этом Mac";
}

std::string AppState::elapsedText(double startUptime) const {
    return secondsText(environment_.clock->uptime() - startUptime);
}

std::string AppState::checkResultText(bool passed, double seconds) {
    return std::string(passed ? "pass/" : "fail/") + secondsText(seconds);
}

}  // namespace tarnel
