#include "app/catalog/route_model.hpp"

#include <algorithm>
#include <charconv>

#include "app/catalog/unicode_text.hpp"

namespace tarnel {

// ---------------------------------------------------------------------------
// Enumerations

namespace {

template <typename Enum, std::size_t N>
std::optional<Enum> fromRaw(const std::array<std::pair<Enum, std::string_view>, N>& table,
                            std::string_view raw) noexcept {
    for (const auto& [value, text] : table) {
        if (text == raw) return value;
    }
    return std::nullopt;
}

template <typename Enum, std::size_t N>
std::string_view toRaw(const std::array<std::pair<Enum, std::string_view>, N>& table, Enum value) noexcept {
    for (const auto& [candidate, text] : table) {
        if (candidate == value) return text;
    }
    return {};
}

constexpr std::array<std::pair<RouteTransport, std::string_view>, 11> kTransportRawValues = {{
    {RouteTransport::vless, "vless"},
    {RouteTransport::hysteria2, "hysteria2"},
    {RouteTransport::anyTLS, "anytls"},
    {RouteTransport::naive, "naive"},
    {RouteTransport::shadowsocks, "shadowsocks"},
    {RouteTransport::shadowTLS, "shadowtls"},
    {RouteTransport::trojan, "trojan"},
    {RouteTransport::tuic, "tuic"},
    {RouteTransport::vmessWS, "vmess-ws"},
    {RouteTransport::vlessGRPC, "vless-grpc"},
    {RouteTransport::hysteria, "hysteria"},
}};

constexpr std::array<std::pair<CatalogRouteStatus, std::string_view>, 3> kCatalogStatusRawValues = {{
    {CatalogRouteStatus::available, "available"},
    {CatalogRouteStatus::paidRequired, "paid_required"},
    {CatalogRouteStatus::temporarilyUnavailable, "temporarily_unavailable"},
}};

constexpr std::array<std::pair<TunnelStatus, std::string_view>, 4> kTunnelStatusRawValues = {{
    {TunnelStatus::disconnected, "disconnected"},
    {TunnelStatus::connecting, "connecting"},
    {TunnelStatus::connected, "connected"},
    {TunnelStatus::failed, "failed"},
}};

template <typename Enum, std::size_t N>
Enum enumFromJson(const std::array<std::pair<Enum, std::string_view>, N>& table, const json::Value& value,
                  std::string_view path) {
    if (const auto found = fromRaw(table, json::asString(value, path))) return *found;
    throw json::JsonError(json::JsonError::Case::typeMismatch, std::string(path));
}

}  // namespace

std::string_view rawValue(RouteTransport transport) noexcept { return toRaw(kTransportRawValues, transport); }

std::optional<RouteTransport> routeTransportFromRawValue(std::string_view raw) noexcept {
    return fromRaw(kTransportRawValues, raw);
}

std::string_view displayName(RouteTransport transport, bool naiveOverQuic) noexcept {
    switch (transport) {
        case RouteTransport::vless: return "VLESS Reality";
        case RouteTransport::hysteria2: return "Hysteria2";
        case RouteTransport::anyTLS: return "AnyTLS";
        case RouteTransport::naive: return naiveOverQuic ? "Naive H3" : "Naive H2";
        case RouteTransport::shadowsocks: return "Shadowsocks 2022";
        case RouteTransport::shadowTLS: return "ShadowTLS + Shadowsocks 2022";
        case RouteTransport::trojan: return "Trojan TLS";
        case RouteTransport::tuic: return "TUIC";
        case RouteTransport::vmessWS: return "VMess WebSocket TLS";
        case RouteTransport::vlessGRPC: return "VLESS gRPC TLS";
        case RouteTransport::hysteria: return "Hysteria v1";
    }
    return {};
}

std::string_view rawValue(CatalogRouteStatus status) noexcept { return toRaw(kCatalogStatusRawValues, status); }

std::optional<CatalogRouteStatus> catalogRouteStatusFromRawValue(std::string_view raw) noexcept {
    return fromRaw(kCatalogStatusRawValues, raw);
}

std::string_view rawValue(TunnelStatus status) noexcept { return toRaw(kTunnelStatusRawValues, status); }

std::optional<TunnelStatus> tunnelStatusFromRawValue(std::string_view raw) noexcept {
    return fromRaw(kTunnelStatusRawValues, raw);
}

json::Value toJson(RouteTransport transport) { return std::string(rawValue(transport)); }

json::Value toJson(TunnelStatus status) { return std::string(rawValue(status)); }

RouteTransport routeTransportFromJson(const json::Value& value, std::string_view path) {
    return enumFromJson(kTransportRawValues, value, path);
}

CatalogRouteStatus catalogRouteStatusFromJson(const json::Value& value, std::string_view path) {
    return enumFromJson(kCatalogStatusRawValues, value, path);
}

TunnelStatus tunnelStatusFromJson(const json::Value& value, std::string_view path) {
    return enumFromJson(kTunnelStatusRawValues, value, path);
}

// ---------------------------------------------------------------------------
// Derived texts

namespace {

// The region codes a route can carry.
constexpr std::array<std::string_view, 5> kKnownRegionCodes = {"EE", "IN", "RO", "RU", "KZ"};
// The order in which codes are looked for among the words of a text.
constexpr std::array<std::string_view, 5> kRegionWordOrder = {"ru", "ro", "ee", "in", "kz"};

// A decimal integer with an optional sign that fits a signed 64-bit value.
bool isDecimalInteger(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
    std::int64_t parsed = 0;
    const auto result = std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), parsed);
    return result.ec == std::errc() && result.ptr == signedDigits.data() + signedDigits.size();
}

std::vector<std::string_view> nonEmptyPieces(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

std::optional<std::string> RouteNode::regionCode() const {
    if (nodeCode) {
        std::string code = unicode::uppercased(unicode::trimmingWhitespaceAndNewlines(*nodeCode));
        if (std::find(kKnownRegionCodes.begin(), kKnownRegionCodes.end(), code) != kKnownRegionCodes.end()) {
            return code;
        }
    }
    for (const std::string* text : {&title, &serverName, &server}) {
        const auto words = unicode::letterOrDigitRuns(unicode::lowercased(*text));
        for (const std::string_view code : kRegionWordOrder) {
            if (std::find(words.begin(), words.end(), code) != words.end()) {
                return unicode::uppercased(code);
            }
        }
    }
    return std::nullopt;
}

std::string RouteNode::regionLabel() const {
    if (unicode::lowercased(title).find("russia") != std::string::npos) return "Russia route";
    const auto code = regionCode();
    if (code == "RU") return "Russia route";
    if (code == "RO") return "Romania";
    if (code == "EE") return "Estonia";
    if (code == "IN") return "India";
    // Shown and logged: an ill-formed byte of the title becomes U+FFFD.
    return unicode::wellFormed(title);
}

std::string_view RouteNode::transportDisplayName() const noexcept { return displayName(transport, quic); }

std::string RouteNode::displayTitle() const {
    return regionLabel() + " \u00B7 " + std::string(transportDisplayName());
}

std::string RouteNode::diagnosticDescription() const {
    return regionLabel() + " (" + std::string(transportDisplayName()) + ", " + maskedHost(server) + ":" +
           std::to_string(port) + ")";
}

std::string RouteNode::maskedHost(std::string_view server) {
    const auto pieces = nonEmptyPieces(server, '.');
    if (pieces.size() == 4 && std::all_of(pieces.begin(), pieces.end(), isDecimalInteger)) {
        return std::string(pieces[0]) + ".***.***." + std::string(pieces[3]);
    }
    if (unicode::codePointCount(server) < 9) return "<host>";
    return unicode::prefixCodePoints(server, 3) + "..." + unicode::suffixCodePoints(server, 3);
}

// ---------------------------------------------------------------------------
// Stored form

namespace {

void putOptional(json::Value& object, const char* key, const std::optional<std::string>& value) {
    if (value) object[key] = *value;
}

void putOptional(json::Value& object, const char* key, const std::optional<std::int64_t>& value) {
    if (value) object[key] = *value;
}

}  // namespace

json::Value RouteNode::toJson() const {
    json::Value object = json::Value::object();
    object["id"] = id;
    object["transport"] = tarnel::toJson(transport);
    object["title"] = title;
    putOptional(object, "nodeCode", nodeCode);
    object["server"] = server;
    object["port"] = port;
    putOptional(object, "uuid", uuid);
    putOptional(object, "flow", flow);
    object["serverName"] = serverName;
    putOptional(object, "publicKey", publicKey);
    object["shortID"] = shortID;
    object["fingerprint"] = fingerprint;
    putOptional(object, "password", password);
    putOptional(object, "username", username);
    object["insecure"] = insecure;
    object["alpn"] = alpn;
    putOptional(object, "obfsType", obfsType);
    putOptional(object, "obfsPassword", obfsPassword);
    putOptional(object, "upMbps", upMbps);
    putOptional(object, "downMbps", downMbps);
    object["quic"] = quic;
    object["udpOverTcp"] = udpOverTcp;
    putOptional(object, "insecureConcurrency", insecureConcurrency);
    putOptional(object, "method", method);
    putOptional(object, "shadowTLSPassword", shadowTLSPassword);
    putOptional(object, "congestionControl", congestionControl);
    putOptional(object, "udpRelayMode", udpRelayMode);
    putOptional(object, "transportPath", transportPath);
    putOptional(object, "transportHost", transportHost);
    putOptional(object, "serviceName", serviceName);
    putOptional(object, "obfs", obfs);
    return object;
}

RouteNode RouteNode::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    RouteNode node;
    node.id = reader.string("id");
    node.transport = routeTransportFromJson(reader.value("transport"), reader.pathOf("transport"));
    node.title = reader.string("title");
    node.nodeCode = reader.optionalString("nodeCode");
    node.server = reader.string("server");
    node.port = reader.integer<std::int64_t>("port");
    node.uuid = reader.optionalString("uuid");
    node.flow = reader.optionalString("flow");
    node.serverName = reader.string("serverName");
    node.publicKey = reader.optionalString("publicKey");
    node.shortID = reader.string("shortID");
    node.fingerprint = reader.string("fingerprint");
    node.password = reader.optionalString("password");
    node.username = reader.optionalString("username");
    node.insecure = reader.boolean("insecure");
    node.alpn = reader.stringArray("alpn");
    node.obfsType = reader.optionalString("obfsType");
    node.obfsPassword = reader.optionalString("obfsPassword");
    node.upMbps = reader.optionalInteger<std::int64_t>("upMbps");
    node.downMbps = reader.optionalInteger<std::int64_t>("downMbps");
    node.quic = reader.boolean("quic");
    node.udpOverTcp = reader.boolean("udpOverTcp");
    node.insecureConcurrency = reader.optionalInteger<std::int64_t>("insecureConcurrency");
    node.method = reader.optionalString("method");
    node.shadowTLSPassword = reader.optionalString("shadowTLSPassword");
    node.congestionControl = reader.optionalString("congestionControl");
    node.udpRelayMode = reader.optionalString("udpRelayMode");
    node.transportPath = reader.optionalString("transportPath");
    node.transportHost = reader.optionalString("transportHost");
    node.serviceName = reader.optionalString("serviceName");
    node.obfs = reader.optionalString("obfs");
    return node;
}

RouteCatalogItem RouteCatalogItem::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    RouteCatalogItem item;
    item.id = reader.string("id");
    item.nodeCode = reader.string("nodeCode");
    item.nodeLabel = reader.string("nodeLabel");
    item.transportID = reader.string("transportID");
    item.label = reader.string("label");
    item.kind = reader.string("kind");
    item.status = catalogRouteStatusFromJson(reader.value("status"), reader.pathOf("status"));
    return item;
}

}  // namespace tarnel
