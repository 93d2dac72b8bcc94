#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/catalog/route_model.hpp"

// The order in which a connect tries routes, and the node-code rules it rests
// on. The plan runner tries the candidates one after the other until one passes
// the traffic checks; free and rescue subscriptions may fail over to other
// nodes, paid ones stay on the selected node. Pure functions of their
// arguments; callable from any thread.
namespace tarnel::RouteSelection {

// The route's node code: its `nodeCode` trimmed of white space and newlines
// and upper-cased, when the whole result is 2 to 16 characters of A-Z, 0-9,
// "_" and "-". Nothing for a route without `nodeCode` or with any other code.
// Unlike the region code, the title and server are never looked at.
[[nodiscard]] std::optional<std::string> normalizedRouteCode(const RouteNode& route);

// The candidates of one connect, in the order they are tried, each `id` once
// (the first appearance wins).
//
// The selected route is the first route whose `id` is `selected`, else the
// first route of the list; an empty list gives no candidate. It is the only
// candidate when `selectedRouteOnly` is set, when there is no service class,
// when the class (trimmed, lower-cased) is not "free", "rescue" or "paid", or
// when the selected route has no node code.
//
// Otherwise the nodes are the selected route's node, then for "free" and
// "rescue" every other node in list order ("paid" keeps the selected node
// alone). A first pass offers, per node, its anchor (the selected route on the
// selected node, else the node's first route) and then the node's first route
// of the other transport family (QUIC: hysteria2, tuic, hysteria and naive over
// QUIC; TCP: all the others); a second pass adds every other route of each node
// in list order. Routes without a node code never appear, but for the selected
// route itself.
[[nodiscard]] std::vector<RouteNode> failoverCandidates(std::span<const RouteNode> routes,
                                                        const std::optional<std::string>& selected,
                                                        const std::optional<std::string>& serviceClass,
                                                        bool selectedRouteOnly);

// Whether both routes have a node code and the codes are equal. A route
// without one shares a node with no route, not even itself.
[[nodiscard]] bool sharesNodeCode(const RouteNode& first, const RouteNode& second);

}  // namespace tarnel::RouteSelection
