#include "app/catalog/transport_manifest.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/manifest_json.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/url.hpp"

namespace tarnel {

// ---------------------------------------------------------------------------
// Decoding

namespace {

void buildRouteNode(std::string_view nodeID, const ManifestTransport& transport, RouteNode& route);

template <typename Record>
std::vector<Record> recordList(const json::ObjectReader& reader, std::string_view key) {
    const json::Value& array = reader.array(key);
    const std::string path = reader.pathOf(key);
    std::vector<Record> records;
    records.reserve(array.size());
    for (std::size_t index = 0; index < array.size(); ++index) {
        records.push_back(Record::fromJson(array[index], path + "[" + std::to_string(index) + "]"));
    }
    return records;
}

}  // namespace

ManifestEndpoint ManifestEndpoint::fromJson(const json::Value& value, std::string path) {
    return fromJson(json::ObjectReader(value, std::move(path)));
}

namespace {

// Every field of an endpoint under its key, in declaration order: the one
// list that reading goes through.
template <typename Visit>
void forEachField(ManifestEndpoint& endpoint, Visit&& visit) {
    visit("server", endpoint.server);
    visit("port", endpoint.port);
    visit("uuid", endpoint.uuid);
    visit("flow", endpoint.flow);
    visit("server_name", endpoint.serverName);
    visit("public_key", endpoint.publicKey);
    visit("short_id", endpoint.shortID);
    visit("fingerprint", endpoint.fingerprint);
    visit("password", endpoint.password);
    visit("username", endpoint.username);
    visit("insecure", endpoint.insecure);
    visit("alpn", endpoint.alpn);
    visit("obfs_type", endpoint.obfsType);
    visit("obfs_password", endpoint.obfsPassword);
    visit("up_mbps", endpoint.upMbps);
    visit("down_mbps", endpoint.downMbps);
    visit("quic", endpoint.quic);
    visit("udp_over_tcp", endpoint.udpOverTcp);
    visit("insecure_concurrency", endpoint.insecureConcurrency);
    visit("method", endpoint.method);
    visit("shadowtls_password", endpoint.shadowTLSPassword);
    visit("congestion_control", endpoint.congestionControl);
    visit("udp_relay_mode", endpoint.udpRelayMode);
    visit("path", endpoint.path);
    visit("host", endpoint.host);
    visit("service_name", endpoint.serviceName);
    visit("auth_str", endpoint.authString);
    visit("obfs", endpoint.obfs);
}

constexpr std::size_t kEndpointFields = 28;

// The endpoint's keys in ascending order, each with its field's position.
struct FieldKey {
    std::string_view key;
    std::size_t position;
};

const std::array<FieldKey, kEndpointFields>& sortedFieldKeys() {
    static const std::array<FieldKey, kEndpointFields> keys = [] {
        std::array<FieldKey, kEndpointFields> sorted{};
        std::size_t position = 0;
        ManifestEndpoint endpoint;
        forEachField(endpoint, [&](std::string_view key, auto&) {
            sorted[position] = {key, position};
            ++position;
        });
        std::sort(sorted.begin(), sorted.end(), [](const FieldKey& a, const FieldKey& b) { return a.key < b.key; });
        return sorted;
    }();
    return keys;
}

// Where each field's member is, found in one pass over the members (an
// endpoint has a few of its 28 keys) instead of a search per field.
template <typename Member, typename ForEachMember>
std::array<Member, kEndpointFields> membersByField(ForEachMember&& forEachMember) {
    const auto& keys = sortedFieldKeys();
    std::array<Member, kEndpointFields> members{};
    forEachMember([&](std::string_view key, const auto& member) {
        const auto found = std::lower_bound(keys.begin(), keys.end(), key,
                                            [](const FieldKey& field, std::string_view wanted) { return field.key < wanted; });
        if (found != keys.end() && found->key == key) members[found->position] = Member(member);
    });
    return members;
}

bool tryReadMember(const json::Value* member, auto& field) { return json::ObjectReader::tryRead(member, field); }
bool tryReadMember(const std::optional<json::Document::Node>& member, auto& field) {
    return json::Document::Node::tryRead(member, field);
}

// Reads the fields in order from their members; false where a read by key
// would fail.
template <typename Member>
bool readFields(const std::array<Member, kEndpointFields>& members, ManifestEndpoint& endpoint) {
    bool read = true;
    std::size_t position = 0;
    forEachField(endpoint, [&](std::string_view, auto& field) {
        read = read && tryReadMember(members[position], field);
        ++position;
    });
    return read;
}

}  // namespace

ManifestEndpoint ManifestEndpoint::fromJson(const json::ObjectReader& reader) {
    ManifestEndpoint endpoint;
    if (readFields(membersByField<const json::Value*>([&](auto visit) {
            reader.forEachMember([&](std::string_view key, const json::Value& member) { visit(key, &member); });
        }),
                   endpoint)) {
        return endpoint;
    }
    // A member is missing or of the wrong type: reading the fields in order
    // names the first such field, as every failure of a record does.
    endpoint = {};
    forEachField(endpoint, [&reader](std::string_view key, auto& field) { reader.read(key, field); });
    return endpoint;
}

ManifestEndpoint ManifestEndpoint::fromJson(const json::Document::Node& values,
                                            const std::optional<json::Document::Node>& defaults, std::string path) {
    using Node = json::Document::Node;
    ManifestEndpoint endpoint;
    if (readFields(membersByField<std::optional<Node>>([&](auto visit) {
            json::forEachMergedMember(values, defaults, [&](std::string_view key, const Node& member) { visit(key, member); });
        }),
                   endpoint)) {
        return endpoint;
    }
    // Read again as JSON values, by the reader that names the failure.
    const json::Value top = values.toValue();
    const json::Value base = defaults ? defaults->toValue() : json::Value();
    return fromJson(json::ObjectReader(top, defaults ? &base : nullptr, std::move(path)));
}

ManifestTransport ManifestTransport::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    ManifestTransport transport;
    transport.id = reader.string("id");
    transport.transportID = reader.string("transport_id");
    transport.label = reader.string("label");
    transport.kind = reader.string("kind");
    transport.priority = reader.integer<std::int64_t>("priority");
    transport.endpoint = ManifestEndpoint::fromJson(reader.value("endpoint"), reader.pathOf("endpoint"));
    return transport;
}

ManifestNode ManifestNode::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    ManifestNode node;
    node.id = reader.string("id");
    node.label = reader.string("label");
    node.transports = recordList<ManifestTransport>(reader, "transports");
    return node;
}

ManifestCatalogTransport ManifestCatalogTransport::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    ManifestCatalogTransport transport;
    transport.id = reader.string("id");
    transport.transportID = reader.string("transport_id");
    transport.label = reader.string("label");
    transport.kind = reader.string("kind");
    transport.status = catalogRouteStatusFromJson(reader.value("status"), reader.pathOf("status"));
    return transport;
}

ManifestCatalogNode ManifestCatalogNode::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    ManifestCatalogNode node;
    node.id = reader.string("id");
    node.label = reader.string("label");
    node.transports = recordList<ManifestCatalogTransport>(reader, "transports");
    return node;
}

TarnelTransportManifest TarnelTransportManifest::headerFromJson(const json::ObjectReader& reader) {
    TarnelTransportManifest manifest;
    manifest.schema = reader.string("schema");
    manifest.revision = reader.integer<std::int64_t>("revision");
    manifest.generatedAt = manifest_json::dateMember(reader, "generated_at");
    manifest.expiresAt = manifest_json::dateMember(reader, "expires_at");
    manifest.serviceClass = reader.string("service_class");
    manifest.subscriptionOrigins = reader.optionalStringArray("subscription_origins");
    return manifest;
}

TarnelTransportManifest TarnelTransportManifest::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    TarnelTransportManifest manifest = headerFromJson(reader);
    if (reader.has("catalog")) manifest.catalog = recordList<ManifestCatalogNode>(reader, "catalog");
    manifest.nodes = recordList<ManifestNode>(reader, "nodes");
    return manifest;
}

TarnelTransportManifest TarnelTransportManifest::decode(std::string_view bytes) {
    return fromJson(json::parse(bytes, json::TopLevel::object));
}

// ---------------------------------------------------------------------------
// Routes and catalog

std::vector<RouteNode> TarnelTransportManifest::routeNodes(double now) const {
    // Written so that a NaN `now` takes the expired branch.
    if (schema != kSchemaV1 || !(static_cast<double>(expiresAt) > now)) {
        throw TransportManifestError::invalidOrExpired();
    }
    std::vector<RouteNode> routes;
    routes.reserve(std::accumulate(nodes.begin(), nodes.end(), std::size_t{0},
                                   [](std::size_t count, const ManifestNode& node) {
                                       return count + node.transports.size();
                                   }));
    for (const ManifestNode& node : nodes) {
        for (const ManifestTransport& transport : node.transports) {
            buildRouteNode(node.id, transport, routes.emplace_back());
        }
    }
    if (routes.empty()) throw TransportManifestError::noRoutes();
    return routes;
}

std::vector<RouteCatalogItem> TarnelTransportManifest::catalogItems() const {
    std::vector<RouteCatalogItem> items;
    if (!catalog) return items;
    for (const ManifestCatalogNode& node : *catalog) {
        for (const ManifestCatalogTransport& transport : node.transports) {
            items.push_back({transport.id, node.id, node.label, transport.transportID, transport.label,
                             transport.kind, transport.status});
        }
    }
    return items;
}

// ---------------------------------------------------------------------------
// Route node building

namespace {

constexpr std::string_view kDefaultFingerprint = "chrome";
constexpr std::int64_t kHighestPort = 65535;

using EndpointText = std::optional<std::string> ManifestEndpoint::*;

// One supported kind: the route transport it becomes, the prefix of its
// route ids and the endpoint values it cannot run without.
struct KindRow {
    std::string_view kind;
    RouteTransport transport;
    std::string_view prefix;
    std::vector<EndpointText> required;
};

const std::vector<KindRow>& kindTable() {
    using E = ManifestEndpoint;
    static const std::vector<KindRow> rows = {
        {"vless-reality", RouteTransport::vless, "vless-", {&E::uuid, &E::publicKey}},
        {"hysteria2", RouteTransport::hysteria2, "hysteria2-", {&E::password}},
        {"anytls", RouteTransport::anyTLS, "anytls-", {&E::password}},
        {"naive", RouteTransport::naive, "naive-", {&E::username, &E::password}},
        {"tuic", RouteTransport::tuic, "tuic-", {&E::uuid, &E::password}},
        {"trojan-tls", RouteTransport::trojan, "trojan-", {&E::password}},
        {"shadowsocks-shadowtls", RouteTransport::shadowTLS, "shadowtls-",
         {&E::method, &E::password, &E::shadowTLSPassword}},
        {"shadowsocks-2022", RouteTransport::shadowsocks, "shadowsocks-", {&E::method, &E::password}},
        {"vmess-ws-tls", RouteTransport::vmessWS, "vmess-ws-", {&E::uuid, &E::path, &E::host}},
        {"vless-grpc-tls", RouteTransport::vlessGRPC, "vless-grpc-", {&E::uuid, &E::serviceName}},
        {"hysteria-v1", RouteTransport::hysteria, "hysteria-", {&E::authString}},
    };
    return rows;
}

std::string fingerprintOrDefault(const ManifestEndpoint& endpoint) {
    return endpoint.fingerprint.value_or(std::string(kDefaultFingerprint));
}

std::vector<std::string> alpnOrEmpty(const ManifestEndpoint& endpoint) {
    return endpoint.alpn.value_or(std::vector<std::string>{});
}


// Fills a default route in place: a route list is built where it stays,
// rather than built aside and moved in.
void buildRouteNode(std::string_view nodeID, const ManifestTransport& transport, RouteNode& route) {
    const ManifestEndpoint& endpoint = transport.endpoint;
    // A port outside the TCP/UDP range can never be dialled.
    if (endpoint.server.empty() || endpoint.port <= 0 || endpoint.port > kHighestPort) {
        throw TransportManifestError::invalidEndpoint(transport.id);
    }
    const std::string title = std::string(nodeID) + " \u00B7 " + transport.label;

    const auto& rows = kindTable();
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const KindRow& candidate) { return candidate.kind == transport.kind; });
    if (row == rows.end()) throw TransportManifestError::unsupportedTransport(transport.kind);
    const bool complete = std::all_of(row->required.begin(), row->required.end(),
                                      [&](EndpointText member) { return (endpoint.*member).has_value(); });
    // A naive endpoint that skips certificate checks is refused outright.
    const bool refusedInsecure = row->transport == RouteTransport::naive && endpoint.insecure == true;
    if (!complete || refusedInsecure) throw TransportManifestError::invalidEndpoint(transport.id);

    route.id = std::string(row->prefix) + title + "-" + endpoint.server + "-" + std::to_string(endpoint.port);
    route.transport = row->transport;
    route.title = title;
    route.nodeCode = std::string(nodeID);
    route.server = endpoint.server;
    route.port = endpoint.port;
    route.serverName = endpoint.serverName;
    route.fingerprint = std::string(kDefaultFingerprint);

    switch (row->transport) {
        case RouteTransport::vless:
            route.uuid = endpoint.uuid;
            route.flow = endpoint.flow;
            route.publicKey = endpoint.publicKey;
            route.shortID = endpoint.shortID.value_or("");
            route.fingerprint = fingerprintOrDefault(endpoint);
            break;
        case RouteTransport::hysteria2:
            route.password = endpoint.password;
            route.insecure = endpoint.insecure.value_or(false);
            route.alpn = alpnOrEmpty(endpoint);
            route.obfsType = endpoint.obfsType;
            route.obfsPassword = endpoint.obfsPassword;
            route.upMbps = endpoint.upMbps;
            route.downMbps = endpoint.downMbps;
            break;
        case RouteTransport::anyTLS:
        case RouteTransport::trojan:
            route.password = endpoint.password;
            route.insecure = endpoint.insecure.value_or(false);
            route.fingerprint = fingerprintOrDefault(endpoint);
            route.alpn = alpnOrEmpty(endpoint);
            break;
        case RouteTransport::naive:
            route.username = endpoint.username;
            route.password = endpoint.password;
            route.quic = endpoint.quic.value_or(false);
            route.udpOverTcp = endpoint.udpOverTcp.value_or(false);
            route.insecureConcurrency = endpoint.insecureConcurrency;
            break;
        case RouteTransport::tuic:
            route.uuid = endpoint.uuid;
            route.password = endpoint.password;
            route.insecure = endpoint.insecure.value_or(false);
            route.alpn = alpnOrEmpty(endpoint);
            route.congestionControl = endpoint.congestionControl.value_or("bbr");
            route.udpRelayMode = endpoint.udpRelayMode.value_or("native");
            break;
        case RouteTransport::hysteria:
            route.password = endpoint.authString;
            route.insecure = endpoint.insecure.value_or(false);
            route.alpn = alpnOrEmpty(endpoint);
            route.upMbps = endpoint.upMbps;
            route.downMbps = endpoint.downMbps;
            route.obfs = endpoint.obfs;
            break;
        case RouteTransport::shadowTLS:
            route.method = endpoint.method;
            route.password = endpoint.password;
            route.shadowTLSPassword = endpoint.shadowTLSPassword;
            route.fingerprint = fingerprintOrDefault(endpoint);
            route.udpOverTcp = endpoint.udpOverTcp.value_or(true);
            break;
        case RouteTransport::shadowsocks:
            route.method = endpoint.method;
            route.password = endpoint.password;
            break;
        case RouteTransport::vmessWS:
            route.uuid = endpoint.uuid;
            route.transportPath = endpoint.path;
            route.transportHost = endpoint.host;
            route.insecure = endpoint.insecure.value_or(false);
            route.fingerprint = fingerprintOrDefault(endpoint);
            route.alpn = alpnOrEmpty(endpoint);
            break;
        case RouteTransport::vlessGRPC:
            route.uuid = endpoint.uuid;
            route.serviceName = endpoint.serviceName;
            route.insecure = endpoint.insecure.value_or(false);
            route.fingerprint = fingerprintOrDefault(endpoint);
            route.alpn = alpnOrEmpty(endpoint);
            break;
    }
}

}  // namespace

RouteNode TarnelTransportManifest::routeNode(std::string_view nodeID, const ManifestTransport& transport) {
    RouteNode route;
    buildRouteNode(nodeID, transport, route);
    return route;
}

// ---------------------------------------------------------------------------
// Subscription origins

namespace {

constexpr std::uint16_t kHttpsPort = 443;

// The whole text matches ^[A-Za-z0-9.-]+$.
bool isHostText(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
}

}  // namespace

bool TarnelTransportManifest::isValidSubscriptionOrigin(const UrlComponents& url) {
    if (!url.scheme() || unicode::lowercased(*url.scheme()) != "https") return false;
    if (!url.host()) return false;
    if (url.port() && *url.port() != kHttpsPort) return false;
    if (url.user() || url.password()) return false;
    // ASCII only and the host character set, checked on the lower-cased host.
    return isHostText(unicode::lowercased(*url.host()));
}

std::string TarnelTransportManifest::normalizedSubscriptionOrigin(std::string_view origin) {
    const auto url = UrlComponents::parse(unicode::trimmingWhitespaceAndNewlines(origin));
    if (!url || !isValidSubscriptionOrigin(*url)) throw TransportManifestError::invalidSubscriptionOrigins();
    const std::string& path = url->encodedPath();
    if ((!path.empty() && path != "/") || url->encodedQuery() || url->encodedFragment()) {
        throw TransportManifestError::invalidSubscriptionOrigins();
    }
    return "https://" + unicode::lowercased(*url->host());
}

std::optional<std::vector<std::string>> TarnelTransportManifest::validatedSubscriptionOrigins(
    const std::optional<std::vector<std::string>>& origins) {
    if (!origins) return std::nullopt;
    if (origins->size() > kMaximumSubscriptionOrigins) throw TransportManifestError::invalidSubscriptionOrigins();
    std::vector<std::string> normalized;
    for (const std::string& origin : *origins) {
        std::string entry = normalizedSubscriptionOrigin(origin);
        if (std::find(normalized.begin(), normalized.end(), entry) == normalized.end()) {
            normalized.push_back(std::move(entry));
        }
    }
    return normalized;
}

}  // namespace tarnel
