#include "app/catalog/route_model.hpp"

#include <algorithm>
#include <charconv>
#include <type_traits>

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

// Every field of a route under its stored key, in declaration order. The
// writer and the reader both go through this one list.
template <typename Node, typename Visit>
void forEachField(Node& node, Visit&& visit) {
    visit("id", node.id);
    visit("transport", node.transport);
    visit("title", node.title);
    visit("nodeCode", node.nodeCode);
    visit("server", node.server);
    visit("port", node.port);
    visit("uuid", node.uuid);
    visit("flow", node.flow);
    visit("serverName", node.serverName);
    visit("publicKey", node.publicKey);
    visit("shortID", node.shortID);
    visit("fingerprint", node.fingerprint);
    visit("password", node.password);
    visit("username", node.username);
    visit("insecure", node.insecure);
    visit("alpn", node.alpn);
    visit("obfsType", node.obfsType);
    visit("obfsPassword", node.obfsPassword);
    visit("upMbps", node.upMbps);
    visit("downMbps", node.downMbps);
    visit("quic", node.quic);
    visit("udpOverTcp", node.udpOverTcp);
    visit("insecureConcurrency", node.insecureConcurrency);
    visit("method", node.method);
    visit("shadowTLSPassword", node.shadowTLSPassword);
    visit("congestionControl", node.congestionControl);
    visit("udpRelayMode", node.udpRelayMode);
    visit("transportPath", node.transportPath);
    visit("transportHost", node.transportHost);
    visit("serviceName", node.serviceName);
    visit("obfs", node.obfs);
}

template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

// Required fields fail when missing or null; optional ones read missing and
// null as absent.
void readField(const json::ObjectReader& reader, const char* key, std::string& field) { field = reader.string(key); }
void readField(const json::ObjectReader& reader, const char* key, std::optional<std::string>& field) {
    field = reader.optionalString(key);
}
void readField(const json::ObjectReader& reader, const char* key, std::int64_t& field) {
    field = reader.integer<std::int64_t>(key);
}
void readField(const json::ObjectReader& reader, const char* key, std::optional<std::int64_t>& field) {
    field = reader.optionalInteger<std::int64_t>(key);
}
void readField(const json::ObjectReader& reader, const char* key, bool& field) { field = reader.boolean(key); }
void readField(const json::ObjectReader& reader, const char* key, std::vector<std::string>& field) {
    field = reader.stringArray(key);
}
void readField(const json::ObjectReader& reader, const char* key, RouteTransport& field) {
    field = routeTransportFromJson(reader.value(key), reader.pathOf(key));
}

}  // namespace

json::Value RouteNode::toJson() const {
    json::Value object = json::Value::object();
    forEachField(*this, [&object](const char* key, const auto& field) {
        using Field = std::decay_t<decltype(field)>;
        if constexpr (std::is_same_v<Field, RouteTransport>) {
            object[key] = tarnel::toJson(field);
        } else if constexpr (kIsOptional<Field>) {
            if (field) object[key] = *field;  // an absent value writes no key, never null
        } else {
            object[key] = field;
        }
    });
    return object;
}

RouteNode RouteNode::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    RouteNode node;
    forEachField(node, [&reader](const char* key, auto& field) { readField(reader, key, field); });
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
