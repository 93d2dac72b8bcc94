#include "app/catalog/route_selection.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "app/catalog/unicode_text.hpp"

namespace tarnel::RouteSelection {

namespace {

bool isNodeCodeCharacter(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// "^[A-Z0-9_-]{2,16}$" over the whole text (bytes: every allowed character is
// ASCII, so any other byte fails).
bool isNodeCode(std::string_view text) noexcept {
    return text.size() >= 2 && text.size() <= 16 && std::all_of(text.begin(), text.end(), isNodeCodeCharacter);
}

enum class Family { tcp, quic };

Family familyOf(const RouteNode& route) noexcept {
    switch (route.transport) {
    case RouteTransport::hysteria2:
    case RouteTransport::tuic:
    case RouteTransport::hysteria:
        return Family::quic;
    case RouteTransport::naive:
        return route.quic ? Family::quic : Family::tcp;
    default:
        return Family::tcp;
    }
}

// The candidate list under construction: each id is taken once.
class Candidates {
public:
    void append(const RouteNode& route) {
        if (ids_.insert(route.id).second) routes_.push_back(route);
    }
    [[nodiscard]] std::vector<RouteNode> take() { return std::move(routes_); }

private:
    std::vector<RouteNode> routes_;
    std::unordered_set<std::string> ids_;
};

}  // namespace

std::optional<std::string> normalizedRouteCode(const RouteNode& route) {
    if (!route.nodeCode) return std::nullopt;
    std::string code = unicode::uppercased(unicode::trimmingWhitespaceAndNewlines(*route.nodeCode));
    if (!isNodeCode(code)) return std::nullopt;
    return code;
}

std::vector<RouteNode> failoverCandidates(std::span<const RouteNode> routes, const std::optional<std::string>& selected,
                                          const std::optional<std::string>& serviceClass, bool selectedRouteOnly) {
    if (routes.empty()) return {};
    const auto chosen = selected ? std::find_if(routes.begin(), routes.end(),
                                                [&](const RouteNode& route) { return route.id == *selected; })
                                 : routes.end();
    const RouteNode& anchor = chosen != routes.end() ? *chosen : routes.front();
    if (selectedRouteOnly || !serviceClass) return {anchor};

    const std::string serviceClassName = unicode::lowercased(unicode::trimmingWhitespaceAndNewlines(*serviceClass));
    const bool crossNode = serviceClassName == "free" || serviceClassName == "rescue";
    const std::optional<std::string> anchorCode = normalizedRouteCode(anchor);
    if (!anchorCode || (!crossNode && serviceClassName != "paid")) return {anchor};

    // Each route's code, worked out once.
    std::vector<std::optional<std::string>> codes;
    codes.reserve(routes.size());
    for (const RouteNode& route : routes) codes.push_back(normalizedRouteCode(route));

    std::vector<std::string> nodes{*anchorCode};
    if (crossNode) {
        for (const std::optional<std::string>& code : codes) {
            if (code && std::find(nodes.begin(), nodes.end(), *code) == nodes.end()) nodes.push_back(*code);
        }
    }

    Candidates candidates;
    // First pass: each node's anchor, then its first route of the other family.
    for (const std::string& node : nodes) {
        const RouteNode* nodeAnchor = &anchor;
        if (node != *anchorCode) {
            const auto first = std::find(codes.begin(), codes.end(), node);
            nodeAnchor = &routes[static_cast<std::size_t>(first - codes.begin())];
        }
        candidates.append(*nodeAnchor);
        const Family anchorFamily = familyOf(*nodeAnchor);
        for (std::size_t index = 0; index < routes.size(); ++index) {
            if (codes[index] == node && familyOf(routes[index]) != anchorFamily) {
                candidates.append(routes[index]);
                break;
            }
        }
    }
    // Second pass: every route of each node, in list order.
    for (const std::string& node : nodes) {
        for (std::size_t index = 0; index < routes.size(); ++index) {
            if (codes[index] == node) candidates.append(routes[index]);
        }
    }
    return candidates.take();
}

bool sharesNodeCode(const RouteNode& first, const RouteNode& second) {
    const std::optional<std::string> code = normalizedRouteCode(first);
    return code && code == normalizedRouteCode(second);
}

}  // namespace tarnel::RouteSelection
