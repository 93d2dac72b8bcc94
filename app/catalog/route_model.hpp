#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/json.hpp"

namespace tarnel {

// The transport kind of a route. The raw values are the stored and published
// names, matched exactly (lower case).
enum class RouteTransport {
    vless,
    hysteria2,
    anyTLS,
    naive,
    shadowsocks,
    shadowTLS,
    trojan,
    tuic,
    vmessWS,
    vlessGRPC,
    hysteria,
};

inline constexpr std::array<RouteTransport, 11> kAllRouteTransports = {
    RouteTransport::vless,   RouteTransport::hysteria2, RouteTransport::anyTLS,  RouteTransport::naive,
    RouteTransport::shadowsocks, RouteTransport::shadowTLS, RouteTransport::trojan, RouteTransport::tuic,
    RouteTransport::vmessWS, RouteTransport::vlessGRPC, RouteTransport::hysteria,
};

[[nodiscard]] std::string_view rawValue(RouteTransport transport) noexcept;
[[nodiscard]] std::optional<RouteTransport> routeTransportFromRawValue(std::string_view raw) noexcept;
// The name shown in titles and descriptions. Naive routes are told apart by
// their carrier: "Naive H3" over QUIC, "Naive H2" otherwise; `naiveOverQuic`
// matters for naive only.
[[nodiscard]] std::string_view displayName(RouteTransport transport, bool naiveOverQuic) noexcept;

// The status of a route as the manifest publishes it.
enum class CatalogRouteStatus {
    available,
    paidRequired,
    temporarilyUnavailable,
};

[[nodiscard]] std::string_view rawValue(CatalogRouteStatus status) noexcept;
[[nodiscard]] std::optional<CatalogRouteStatus> catalogRouteStatusFromRawValue(std::string_view raw) noexcept;

// The application's published connection state.
enum class TunnelStatus {
    disconnected,
    connecting,
    connected,
    failed,
};

[[nodiscard]] std::string_view rawValue(TunnelStatus status) noexcept;
[[nodiscard]] std::optional<TunnelStatus> tunnelStatusFromRawValue(std::string_view raw) noexcept;

// JSON forms of the enumerations: their raw values. Reading refuses a value
// that is not a string (typeMismatch) or not one of the raw values
// (typeMismatch, naming `path`).
[[nodiscard]] json::Value toJson(RouteTransport transport);
[[nodiscard]] json::Value toJson(TunnelStatus status);
[[nodiscard]] RouteTransport routeTransportFromJson(const json::Value& value, std::string_view path);
[[nodiscard]] CatalogRouteStatus catalogRouteStatusFromJson(const json::Value& value, std::string_view path);
[[nodiscard]] TunnelStatus tunnelStatusFromJson(const json::Value& value, std::string_view path);

// The region code ("RU", "RO", "EE", "IN" or "KZ") named by the first of the
// words "ru", "ro", "ee", "in", "kz", in that order, that is a whole word of
// the lower-cased, well-formed text (a run of letters and digits); nothing
// when none is.
[[nodiscard]] std::optional<std::string_view> regionCodeInWords(std::string_view loweredText);

// The texts shown for one route, computed together.
struct RouteDisplayTexts {
    std::optional<std::string> regionCode;
    std::string regionLabel;
    std::string title;
    std::string diagnosticDescription;

    bool operator==(const RouteDisplayTexts&) const = default;
};

// One usable route: a node and a transport kind with every parameter that the
// sing-box configuration needs. Equal only when every field is equal.
struct RouteNode {
    std::string id;
    RouteTransport transport = RouteTransport::vless;
    std::string title;
    std::optional<std::string> nodeCode;
    std::string server;
    std::int64_t port = 0;
    std::optional<std::string> uuid;
    std::optional<std::string> flow;
    std::string serverName;
    std::optional<std::string> publicKey;
    std::string shortID;
    std::string fingerprint;
    std::optional<std::string> password;
    std::optional<std::string> username;
    bool insecure = false;
    std::vector<std::string> alpn;
    std::optional<std::string> obfsType;
    std::optional<std::string> obfsPassword;
    std::optional<std::int64_t> upMbps;
    std::optional<std::int64_t> downMbps;
    bool quic = false;
    bool udpOverTcp = false;
    std::optional<std::int64_t> insecureConcurrency;
    std::optional<std::string> method;
    std::optional<std::string> shadowTLSPassword;
    std::optional<std::string> congestionControl;
    std::optional<std::string> udpRelayMode;
    std::optional<std::string> transportPath;
    std::optional<std::string> transportHost;
    std::optional<std::string> serviceName;
    std::optional<std::string> obfs;

    bool operator==(const RouteNode&) const = default;

    // The node's region, one of "EE", "IN", "RO", "RU", "KZ": the node code
    // when it is one of them, else the first code found as a whole word of
    // the title, then the server name, then the server.
    [[nodiscard]] std::optional<std::string> regionCode() const;
    // The label that groups the route in the list.
    [[nodiscard]] std::string regionLabel() const;
    // The transport's display name for this route (naive by its `quic` flag).
    [[nodiscard]] std::string_view transportDisplayName() const noexcept;
    // "<region label> · <transport>", the route's one-line title.
    [[nodiscard]] std::string displayTitle() const;
    // "<region label> (<transport>, <masked server>:<port>)" for log lines.
    [[nodiscard]] std::string diagnosticDescription() const;
    // All of the above at once, each computed once: what a list row or a run
    // of log lines about the route shows.
    [[nodiscard]] RouteDisplayTexts displayTexts() const;

    // The server address with its middle hidden: "10.***.***.1" for four
    // numeric pieces, "<host>" for a text shorter than 9 characters, else its
    // first three characters, "..." and its last three characters.
    [[nodiscard]] static std::string maskedHost(std::string_view server);

    // The stored form: every field under its own name, `transport` as its raw
    // value, absent optionals written as no key at all.
    [[nodiscard]] json::Value toJson() const;
    // Reads the stored form. Every non-optional key is required; an optional
    // key may be missing or null; a present value of the wrong type, a float
    // where an integer belongs and an unknown transport are refused. Keys
    // that are not fields are ignored. Throws json::JsonError.
    [[nodiscard]] static RouteNode fromJson(const json::Value& value, std::string path = {});
};

// One line of the catalog a manifest publishes, including routes the user
// may not use.
struct RouteCatalogItem {
    std::string id;
    std::string nodeCode;
    std::string nodeLabel;
    std::string transportID;
    std::string label;
    std::string kind;
    CatalogRouteStatus status = CatalogRouteStatus::available;

    bool operator==(const RouteCatalogItem&) const = default;

    // All seven keys are required. Throws json::JsonError.
    [[nodiscard]] static RouteCatalogItem fromJson(const json::Value& value, std::string path = {});
};

// A catalog line with its usable route, if it has one.
struct RouteListItem {
    RouteCatalogItem catalog;
    std::optional<RouteNode> route;

    [[nodiscard]] const std::string& id() const noexcept { return catalog.id; }

    bool operator==(const RouteListItem&) const = default;
};

}  // namespace tarnel
