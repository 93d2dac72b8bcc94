#include "app/catalog/route_selection.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tarnel {
namespace {

// A route named by its node code and transport ("RO vless"); the id is that
// name unless given. Naive routes are "h2" (TCP) and "h3" (QUIC).
RouteNode route(std::optional<std::string> nodeCode, std::string_view kind, std::optional<std::string> id = {}) {
    RouteNode node;
    const std::string transport = kind == "h2" || kind == "h3" ? "naive" : std::string(kind);
    node.transport = *routeTransportFromRawValue(transport);
    node.quic = kind == "h3";
    node.nodeCode = nodeCode;
    node.id = id.value_or(nodeCode.value_or("none") + " " + std::string(kind));
    node.title = node.id;
    node.server = "203.0.113.7";
    node.port = 443;
    return node;
}

std::vector<std::string> idsOf(const std::vector<RouteNode>& routes) {
    std::vector<std::string> ids;
    for (const RouteNode& node : routes) ids.push_back(node.id);
    return ids;
}

const std::vector<RouteNode> kMixedFreeList = {
    route("EE", "trojan"), route("RO", "vless"), route("RO", "tuic"), route("EE", "hysteria2"), route("RO", "trojan"),
};

TEST(RouteSelection, FailoverCandidatesFollowTheNodesAndTransportFamilies) {
    struct Case {
        std::string name;
        std::vector<RouteNode> routes;
        std::optional<std::string> selected;
        std::optional<std::string> serviceClass;
        bool selectedRouteOnly;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"empty list", {}, std::nullopt, "free", false, {}},
        {"empty list, flag set", {}, "RO vless", "free", true, {}},
        {"paid stays on the selected node",
         {route("RO", "vless"), route("RO", "trojan"), route("RO", "hysteria2"), route("EE", "vless")},
         "RO vless",
         "paid",
         false,
         {"RO vless", "RO hysteria2", "RO trojan"}},
        {"free: the selected node first, then the others", kMixedFreeList, "RO tuic", "free", false,
         {"RO tuic", "RO vless", "EE trojan", "EE hysteria2", "RO trojan"}},
        {"the class is trimmed and lower-cased", kMixedFreeList, "RO tuic", " FREE\n", false,
         {"RO tuic", "RO vless", "EE trojan", "EE hysteria2", "RO trojan"}},
        {"rescue fails over like free", kMixedFreeList, "RO tuic", "rescue", false,
         {"RO tuic", "RO vless", "EE trojan", "EE hysteria2", "RO trojan"}},
        {"the flag keeps the selected route alone", kMixedFreeList, "RO tuic", "free", true, {"RO tuic"}},
        {"an unknown selection anchors on the first route", kMixedFreeList, "nope", "free", false,
         {"EE trojan", "EE hysteria2", "RO vless", "RO tuic", "RO trojan"}},
        {"no selection anchors on the first route", kMixedFreeList, std::nullopt, "paid", false,
         {"EE trojan", "EE hysteria2"}},
        {"naive counts as QUIC only over HTTP/3",
         {route("RO", "h2"), route("RO", "trojan"), route("RO", "h3")},
         "RO h2",
         "free",
         false,
         {"RO h2", "RO h3", "RO trojan"}},
        {"routes without a node code never appear",
         {route("RO", "vless"), route(std::nullopt, "trojan"), route("RO", "tuic")},
         "RO vless",
         "free",
         false,
         {"RO vless", "RO tuic"}},
        {"an id appears once",
         {route("RO", "vless"), route("RO", "vless"), route("RO", "tuic")},
         "RO vless",
         "free",
         false,
         {"RO vless", "RO tuic"}},
        {"codes are compared normalised",
         {route(" ro", "vless", "a"), route("EE", "trojan", "b"), route("RO\n", "tuic", "c")},
         "a",
         "free",
         false,
         {"a", "c", "b"}},
        {"class absent", kMixedFreeList, "RO tuic", std::nullopt, false, {"RO tuic"}},
        {"class unknown", kMixedFreeList, "RO tuic", "gold", false, {"RO tuic"}},
        {"selected route without a node code",
         {route(std::nullopt, "vless"), route("RO", "tuic")},
         "none vless",
         "free",
         false,
         {"none vless"}},
        {"selected node code of one character",
         {route("R", "vless"), route("RO", "tuic")},
         "R vless",
         "free",
         false,
         {"R vless"}},
        {"selected node code with a dot",
         {route("R.O", "vless"), route("RO", "tuic")},
         "R.O vless",
         "free",
         false,
         {"R.O vless"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(idsOf(RouteSelection::failoverCandidates(c.routes, c.selected, c.serviceClass, c.selectedRouteOnly)),
                  c.expected)
            << c.name;
    }
}

TEST(RouteSelection, TheFirstAppearanceOfAnIdIsTheOneKept) {
    RouteNode first = route("RO", "vless");
    RouteNode second = route("RO", "vless");
    second.port = 8443;
    const std::vector<RouteNode> routes{first, second, route("RO", "tuic")};
    const std::vector<RouteNode> candidates = RouteSelection::failoverCandidates(routes, "RO vless", "free", false);
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0], first);
}

TEST(RouteSelection, NormalizedRouteCodeReadsOnlyTheNodeCode) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {" ee", "EE"},
        {"ro\n", "RO"},
        {"eu-west_2", "EU-WEST_2"},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},  // 16 characters
        {"ABCDEFGHIJKLMNOPQ", std::nullopt},       // 17
        {"R", std::nullopt},
        {"R.O", std::nullopt},
        {"R O", std::nullopt},
        {"", std::nullopt},
        {"\xC3\xA9\xC3\xA9", std::nullopt},  // "éé" upper-cases to letters outside A-Z
        {std::nullopt, std::nullopt},
    };
    for (const auto& [nodeCode, expected] : cases) {
        RouteNode node = route(nodeCode, "vless", "id");
        node.title = "Romania RO";  // never read for the node code
        EXPECT_EQ(RouteSelection::normalizedRouteCode(node), expected) << nodeCode.value_or("(absent)");
    }
}

TEST(RouteSelection, SharesNodeCodeNeedsTwoEqualCodes) {
    EXPECT_TRUE(RouteSelection::sharesNodeCode(route(" ee", "vless"), route("EE", "tuic")));
    EXPECT_FALSE(RouteSelection::sharesNodeCode(route("EE", "vless"), route("RO", "vless")));
    EXPECT_FALSE(RouteSelection::sharesNodeCode(route("EE", "vless"), route(std::nullopt, "vless")));
    const RouteNode withoutCode = route(std::nullopt, "vless");
    EXPECT_FALSE(RouteSelection::sharesNodeCode(withoutCode, withoutCode));
    const RouteNode invalid = route("R.O", "vless");
    EXPECT_FALSE(RouteSelection::sharesNodeCode(invalid, invalid));
}

}  // namespace
}  // namespace tarnel
