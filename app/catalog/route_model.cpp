#include "app/catalog/route_model.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
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

// The words that name a region, in the order they are looked for among the
// words of a text, with the code each names.
struct RegionWord {
    std::string_view word;
    std::string_view code;
};
constexpr std::array<RegionWord, 5> kRegionWords = {{
    {"ru", "RU"},
    {"ro", "RO"},
    {"ee", "EE"},
    {"in", "IN"},
    {"kz", "KZ"},
}};

}  // namespace

std::optional<std::string_view> regionCodeInWords(std::string_view loweredText) {
    std::array<bool, kRegionWords.size()> found{};
    std::size_t offset = 0;
    for (std::string_view run; !(run = unicode::nextLetterOrDigitRun(loweredText, offset)).empty();) {
        for (std::size_t index = 0; index < kRegionWords.size(); ++index) {
            if (run == kRegionWords[index].word) found[index] = true;
        }
    }
    for (std::size_t index = 0; index < kRegionWords.size(); ++index) {
        if (found[index]) return kRegionWords[index].code;
    }
    return std::nullopt;
}

namespace {

// The route's region code, given its title lower-cased.
std::optional<std::string> regionCodeOf(const RouteNode& route, std::string_view loweredTitle) {
    if (route.nodeCode) {
        std::string code = unicode::uppercased(unicode::trimmingWhitespaceAndNewlines(*route.nodeCode));
        if (std::find(kKnownRegionCodes.begin(), kKnownRegionCodes.end(), code) != kKnownRegionCodes.end()) {
            return code;
        }
    }
    std::optional<std::string_view> code = regionCodeInWords(loweredTitle);
    if (!code) code = regionCodeInWords(unicode::lowercased(route.serverName));
    if (!code) code = regionCodeInWords(unicode::lowercased(route.server));
    if (!code) return std::nullopt;
    return std::string(*code);
}

// The route's region label, given its title lower-cased and its region code.
std::string regionLabelOf(const RouteNode& route, std::string_view loweredTitle,
                          const std::optional<std::string>& code) {
    if (loweredTitle.find("russia") != std::string_view::npos) return "Russia route";
    if (code == "RU") return "Russia route";
    if (code == "RO") return "Romania";
    if (code == "EE") return "Estonia";
    if (code == "IN") return "India";
    // Shown and logged: an ill-formed byte of the title becomes U+FFFD.
    return unicode::wellFormed(route.title);
}

std::string displayTitleOf(const RouteNode& route, std::string_view regionLabel) {
    return std::string(regionLabel).append(" \u00B7 ").append(route.transportDisplayName());
}

std::string diagnosticDescriptionOf(const RouteNode& route, std::string_view regionLabel) {
    return std::string(regionLabel)
        .append(" (")
        .append(route.transportDisplayName())
        .append(", ")
        .append(RouteNode::maskedHost(route.server))
        .append(":")
        .append(std::to_string(route.port))
        .append(")");
}

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
    std::uint64_t magnitude = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    const std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    return result.ec == std::errc() && magnitude <= largest;
}

}  // namespace

std::optional<std::string> RouteNode::regionCode() const { return regionCodeOf(*this, unicode::lowercased(title)); }

std::string RouteNode::regionLabel() const {
    const std::string loweredTitle = unicode::lowercased(title);
    return regionLabelOf(*this, loweredTitle, regionCodeOf(*this, loweredTitle));
}

std::string_view RouteNode::transportDisplayName() const noexcept { return displayName(transport, quic); }

std::string RouteNode::displayTitle() const { return displayTitleOf(*this, regionLabel()); }

std::string RouteNode::diagnosticDescription() const { return diagnosticDescriptionOf(*this, regionLabel()); }

RouteDisplayTexts RouteNode::displayTexts() const {
    const std::string loweredTitle = unicode::lowercased(title);
    RouteDisplayTexts texts;
    texts.regionCode = regionCodeOf(*this, loweredTitle);
    texts.regionLabel = regionLabelOf(*this, loweredTitle, texts.regionCode);
    texts.title = displayTitleOf(*this, texts.regionLabel);
    texts.diagnosticDescription = diagnosticDescriptionOf(*this, texts.regionLabel);
    return texts;
}

std::string RouteNode::maskedHost(std::string_view server) {
    // Four non-empty pieces between the dots, each a decimal integer.
    std::array<std::string_view, 4> pieces;
    std::size_t count = 0;
    bool numeric = true;
    for (std::size_t start = 0; start <= server.size() && numeric;) {
        const std::size_t end = std::min(server.find('.', start), server.size());
        if (end > start) {
            const std::string_view piece = server.substr(start, end - start);
            numeric = count < pieces.size() && isDecimalInteger(piece);
            if (numeric) pieces[count++] = piece;
        }
        start = end + 1;
    }
    if (numeric && count == pieces.size()) {
        return std::string(pieces[0]).append(".***.***.").append(pieces[3]);
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
    // Required fields fail when missing or null; optional ones read missing
    // and null as absent.
    forEachField(node, [&reader](const char* key, auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, RouteTransport>) {
            field = routeTransportFromJson(reader.value(key), reader.pathOf(key));
        } else {
            reader.read(key, field);
        }
    });
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
