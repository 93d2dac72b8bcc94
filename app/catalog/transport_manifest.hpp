#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/route_model.hpp"
#include "common/base/json.hpp"
#include "common/base/json_document.hpp"

namespace tarnel {

class UrlComponents;

// The records of a "tarnel.transport-manifest.v1" document. Each record reads
// its snake_case keys strictly: a required key that is missing, null or of the
// wrong type fails, an optional key may be missing or null but not of the
// wrong type, integers are signed 64-bit written as integers (no fraction, no
// overflow), and keys the record does not know are ignored. Every `fromJson`
// throws json::JsonError naming the key path.

struct ManifestEndpoint {
    std::string server;
    std::int64_t port = 0;
    std::optional<std::string> uuid;
    std::optional<std::string> flow;
    std::string serverName;
    std::optional<std::string> publicKey;
    std::optional<std::string> shortID;
    std::optional<std::string> fingerprint;
    std::optional<std::string> password;
    std::optional<std::string> username;
    std::optional<bool> insecure;
    std::optional<std::vector<std::string>> alpn;
    std::optional<std::string> obfsType;
    std::optional<std::string> obfsPassword;
    std::optional<std::int64_t> upMbps;
    std::optional<std::int64_t> downMbps;
    std::optional<bool> quic;
    std::optional<bool> udpOverTcp;
    std::optional<std::int64_t> insecureConcurrency;
    std::optional<std::string> method;
    std::optional<std::string> shadowTLSPassword;
    std::optional<std::string> congestionControl;
    std::optional<std::string> udpRelayMode;
    std::optional<std::string> path;
    std::optional<std::string> host;
    std::optional<std::string> serviceName;
    std::optional<std::string> authString;
    std::optional<std::string> obfs;

    bool operator==(const ManifestEndpoint&) const = default;

    [[nodiscard]] static ManifestEndpoint fromJson(const json::Value& value, std::string path = {});
    // The same from a reader of the endpoint object.
    [[nodiscard]] static ManifestEndpoint fromJson(const json::ObjectReader& reader);
    // The same from the members of the parsed object `values` merged over
    // `defaults` (as the endpoint of a compact manifest's entry is the entry's
    // values over its node's defaults), read as that merged object would be.
    [[nodiscard]] static ManifestEndpoint fromJson(const json::Document::Node& values,
                                                   const std::optional<json::Document::Node>& defaults,
                                                   std::string path);
};

struct ManifestTransport {
    std::string id;
    std::string transportID;
    std::string label;
    std::string kind;
    std::int64_t priority = 0;
    ManifestEndpoint endpoint;

    bool operator==(const ManifestTransport&) const = default;

    [[nodiscard]] static ManifestTransport fromJson(const json::Value& value, std::string path = {});
};

struct ManifestNode {
    std::string id;  // node code, e.g. "RO"
    std::string label;
    std::vector<ManifestTransport> transports;

    bool operator==(const ManifestNode&) const = default;

    [[nodiscard]] static ManifestNode fromJson(const json::Value& value, std::string path = {});
};

struct ManifestCatalogTransport {
    std::string id;  // catalog id: node code, ":" and slot name
    std::string transportID;
    std::string label;
    std::string kind;
    CatalogRouteStatus status = CatalogRouteStatus::available;

    bool operator==(const ManifestCatalogTransport&) const = default;

    [[nodiscard]] static ManifestCatalogTransport fromJson(const json::Value& value, std::string path = {});
};

struct ManifestCatalogNode {
    std::string id;  // node code
    std::string label;
    std::vector<ManifestCatalogTransport> transports;

    bool operator==(const ManifestCatalogNode&) const = default;

    [[nodiscard]] static ManifestCatalogNode fromJson(const json::Value& value, std::string path = {});
};

// The transport manifest: the nodes and transports a subscription may route
// through, and the catalog that the route list shows.
struct TarnelTransportManifest {
    inline static constexpr std::string_view kSchemaV1 = "tarnel.transport-manifest.v1";
    // The most subscription origins a manifest may name.
    inline static constexpr std::size_t kMaximumSubscriptionOrigins = 8;

    std::string schema;
    std::int64_t revision = 0;
    // Instants in whole seconds since 1970-01-01T00:00:00Z, read from ISO 8601
    // texts ("2026-05-01T12:00:00Z" or with a numeric offset).
    std::int64_t generatedAt = 0;
    std::int64_t expiresAt = 0;
    std::string serviceClass;
    std::optional<std::vector<std::string>> subscriptionOrigins;
    std::optional<std::vector<ManifestCatalogNode>> catalog;
    std::vector<ManifestNode> nodes;

    bool operator==(const TarnelTransportManifest&) const = default;

    // A date that is not a string fails with typeMismatch; one that is not an
    // accepted ISO 8601 date-time fails with typeMismatch naming its key.
    [[nodiscard]] static TarnelTransportManifest fromJson(const json::Value& value, std::string path = {});
    // The first part of fromJson: every member but "catalog" and "nodes",
    // read in the same order with the same failures, for a reader that puts
    // the two lists together itself.
    [[nodiscard]] static TarnelTransportManifest headerFromJson(const json::ObjectReader& reader);
    // Parses the bytes strictly (a JSON object at the top) and decodes them.
    [[nodiscard]] static TarnelTransportManifest decode(std::string_view bytes);

    // One route per transport, in manifest order. `now` is the wall-clock time
    // in seconds since 1970. Throws TransportManifestError: invalidOrExpired
    // unless the schema is v1 and `expiresAt` is later than `now` (a NaN `now`
    // counts as expired), the first failure of `routeNode`, or noRoutes.
    [[nodiscard]] std::vector<RouteNode> routeNodes(double now) const;

    // One line per catalog transport, in catalog order; none without a catalog.
    [[nodiscard]] std::vector<RouteCatalogItem> catalogItems() const;

    // The route of one transport of the node `nodeID`. Throws
    // TransportManifestError: invalidEndpoint (empty server, a port outside
    // 1...65535, a value the kind needs missing, an insecure naive endpoint)
    // or unsupportedTransport (a kind without a row). The endpoint is checked
    // before the kind.
    [[nodiscard]] static RouteNode routeNode(std::string_view nodeID, const ManifestTransport& transport);

    // A bare https origin: scheme "https" (any case), a non-empty host made
    // only of ASCII letters, digits, "." and "-" once lower-cased, port absent
    // or 443, no user information. Path, query and fragment are not looked at.
    [[nodiscard]] static bool isValidSubscriptionOrigin(const UrlComponents& url);
    // "https://" + the lower-cased host of a trimmed origin that is valid and
    // has no path but "/", no query and no fragment. Throws
    // TransportManifestError(invalidSubscriptionOrigins).
    [[nodiscard]] static std::string normalizedSubscriptionOrigin(std::string_view origin);
    // Absent stays absent. At most eight entries, each normalised (the first
    // failure throws invalidSubscriptionOrigins), duplicates dropped keeping
    // the first.
    [[nodiscard]] static std::optional<std::vector<std::string>> validatedSubscriptionOrigins(
        const std::optional<std::vector<std::string>>& origins);
};

}  // namespace tarnel
