// Subscription bodies and access links.

#include "app/catalog/subscription_import_parser.hpp"

#include <array>
#include <limits>
#include <map>

#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/base64.hpp"
#include "common/base/json.hpp"
#include "common/base/url.hpp"
#include "common/base/utf8.hpp"

namespace tarnel {

std::string SubscriptionImportError::message() const { return "No supported Tarnel routes were found."; }

namespace {

using unicode::trimmingWhitespaceAndNewlines;

constexpr std::array<std::string_view, 3> kAccessLinkMarks = {"vless://", "hysteria2://", "hy2://"};

bool startsWithBrace(std::string_view text) noexcept { return !text.empty() && text.front() == '{'; }

// The query items by lower-cased name; a missing value is empty, and of a
// repeated name the later value wins.
std::map<std::string, std::string, std::less<>> queryDictionary(const UrlComponents& url) {
    std::map<std::string, std::string, std::less<>> dictionary;
    if (!url.queryItems()) return dictionary;
    for (const auto& item : *url.queryItems()) {
        dictionary[unicode::lowercased(item.name)] = item.value.value_or(std::string());
    }
    return dictionary;
}

// The first value among `names` that is not empty once trimmed, trimmed.
template <std::size_t Count>
std::optional<std::string> firstNonEmptyValue(const std::map<std::string, std::string, std::less<>>& query,
                                              const std::array<std::string_view, Count>& names) {
    for (const auto name : names) {
        const auto found = query.find(name);
        if (found == query.end()) continue;
        std::string value = trimmingWhitespaceAndNewlines(found->second);
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

// A decimal integer with an optional sign, ASCII digits only, within 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulated as a negative number, whose range includes the 64-bit minimum.
    std::int64_t value = 0;
    constexpr std::int64_t kMinimum = std::numeric_limits<std::int64_t>::min();
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (kMinimum + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == kMinimum) return std::nullopt;
    return -value;
}

// A link's host and port as a route needs them: a host that is not empty and
// a port of 1 to 65535 (no default port).
struct LinkEndpoint {
    std::string host;
    std::int64_t port;
};

std::optional<LinkEndpoint> linkEndpoint(const UrlComponents& url) {
    if (!url.host() || url.host()->empty() || !url.port() || *url.port() == 0) return std::nullopt;
    return LinkEndpoint{*url.host(), *url.port()};
}

// The link's name: its fragment, trimmed, when that is not empty.
std::optional<std::string> fragmentTitle(const UrlComponents& url) {
    if (!url.fragment()) return std::nullopt;
    std::string title = trimmingWhitespaceAndNewlines(*url.fragment());
    if (title.empty()) return std::nullopt;
    return title;
}

std::string routeID(std::string_view prefix, std::string_view title, const LinkEndpoint& endpoint) {
    return std::string(prefix)
        .append(title)
        .append("-")
        .append(endpoint.host)
        .append("-")
        .append(std::to_string(endpoint.port));
}

// The ALPN list of a value: its pieces between "," and ";", trimmed, without
// empty ones.
std::vector<std::string> alpnList(std::string_view value) {
    std::vector<std::string> protocols;
    std::size_t start = 0;
    while (start <= value.size()) {
        const std::size_t end = value.find_first_of(",;", start);
        const std::size_t stop = end == std::string_view::npos ? value.size() : end;
        std::string piece = trimmingWhitespaceAndNewlines(value.substr(start, stop - start));
        if (!piece.empty()) protocols.push_back(std::move(piece));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return protocols;
}

bool isTrueFlag(std::string_view value) {
    const std::string lowered = unicode::lowercased(trimmingWhitespaceAndNewlines(value));
    return lowered == "1" || lowered == "true" || lowered == "yes" || lowered == "on";
}

// The title of a Hysteria2 link without a name: named after the node code
// found among the words of the server name, then of the host.
std::string hysteria2Label(std::string_view serverName, std::string_view host) {
    std::optional<std::string_view> code = regionCodeInWords(unicode::lowercased(serverName));
    if (!code) code = regionCodeInWords(unicode::lowercased(host));
    if (!code) return std::string(host);
    if (*code == "RU") return "Russia route";
    return "Tarnel-" + std::string(*code) + "-UDP";
}

// Routes from the lines of a normalised body.
std::vector<RouteNode> routesOfLines(std::string_view normalized) {
    std::vector<RouteNode> routes;
    for (const std::string_view rawLine : utf8::nonEmptyPieces(normalized, utf8::isLineBreak)) {
        const std::string line = trimmingWhitespaceAndNewlines(rawLine);
        const auto url = UrlComponents::parse(line);
        if (!url || !url->scheme()) continue;
        const std::string scheme = unicode::lowercased(*url->scheme());
        std::optional<RouteNode> route;
        if (scheme == "vless") {
            route = SubscriptionImportParser::parseVLESSLink(line);
        } else if (scheme == "hysteria2" || scheme == "hy2") {
            route = SubscriptionImportParser::parseHysteria2Link(line);
        }
        if (route) routes.push_back(std::move(*route));
    }
    if (routes.empty()) throw SubscriptionImportError(SubscriptionImportError::Case::noSupportedRoutes);
    return routes;
}

}  // namespace

bool SubscriptionImportParser::containsAccessLink(std::string_view text) {
    for (const auto mark : kAccessLinkMarks) {
        if (text.find(mark) != std::string_view::npos) return true;
    }
    return false;
}

std::string SubscriptionImportParser::normalizedBody(std::string_view text) {
    std::string trimmed = trimmingWhitespaceAndNewlines(text);
    if (containsAccessLink(trimmed) || startsWithBrace(trimmed)) return trimmed;

    std::string compact;
    compact.reserve(trimmed.size() + 3);
    for (const char c : trimmed) {
        if (c != '\n' && c != '\r' && c != ' ') compact.push_back(c);
    }
    while (compact.size() % 4 != 0) compact.push_back('=');
    const auto decoded = base64Decode(compact);
    if (!decoded || !utf8::isValid(*decoded)) return trimmed;
    if (containsAccessLink(*decoded) || startsWithBrace(trimmingWhitespaceAndNewlines(*decoded))) return *decoded;
    return trimmed;
}

std::optional<std::string> SubscriptionImportParser::jsonSchema(std::string_view text) {
    try {
        const json::Value document = json::parse(text, json::TopLevel::any);
        if (!document.is_object()) return std::nullopt;
        const auto schema = document.find("schema");
        if (schema == document.end() || !schema->is_string()) return std::nullopt;
        return schema->get<std::string>();
    } catch (const json::JsonError&) {
        return std::nullopt;
    }
}

bool SubscriptionImportParser::isSignedEnvelope(std::string_view text) {
    return jsonSchema(normalizedBody(text)) == kSignedEnvelopeSchema;
}

SubscriptionImportParser::ParsedRoutes SubscriptionImportParser::parse(
    std::string_view body, const std::optional<std::string>& rootSPKI, std::optional<std::int64_t> savedRevision,
    const std::optional<ManifestContentFloor>& savedFloor, const Clock& clock) {
    std::string normalized = normalizedBody(body);
    const auto schema = jsonSchema(normalized);
    if (schema == kSignedEnvelopeSchema) {
        if (!rootSPKI) throw SignedTransportManifestError(SignedTransportManifestError::Case::trustRootUnavailable);
        const std::array<std::string, 1> bodies = {std::move(normalized)};
        ParsedSignedManifest parsed = parseSignedManifest(bodies, rootSPKI, savedRevision, savedFloor, clock);
        return ParsedRoutes{
            .routes = std::move(parsed.routes),
            .catalog = std::move(parsed.catalog),
            .manifestRevision = parsed.revision,
            .serviceClass = std::move(parsed.serviceClass),
            .subscriptionOrigins = std::move(parsed.subscriptionOrigins),
            .manifestFormat = parsed.format,
            .manifestContentFloor = parsed.contentFloor,
            .skippedOptional = parsed.skippedOptional,
        };
    }
    if (schema == kUnsignedManifestSchema) {
        throw SignedTransportManifestError(SignedTransportManifestError::Case::invalidEnvelope);
    }
    ParsedRoutes links;
    links.routes = routesOfLines(normalized);
    return links;
}

SubscriptionImportParser::ParsedSignedManifest SubscriptionImportParser::parseSignedManifest(
    std::span<const std::string> bodies, const std::optional<std::string>& rootSPKI,
    std::optional<std::int64_t> savedRevision, const std::optional<ManifestContentFloor>& savedFloor,
    const Clock& clock) {
    if (bodies.empty()) throw SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
    if (!rootSPKI) throw SignedTransportManifestError(SignedTransportManifestError::Case::trustRootUnavailable);

    std::vector<VerifiedTransportManifest> verified;
    verified.reserve(bodies.size());
    for (const std::string& body : bodies) {
        verified.push_back(
            SignedTransportManifestVerifier::verify(body, clock.wallSeconds(), savedRevision, savedFloor, *rootSPKI));
    }
    const VerifiedTransportManifest chosen = SignedTransportManifestVerifier::selectNewest(verified);

    const auto isChosen = [&chosen](const VerifiedTransportManifest& manifest) {
        return manifest.format() == chosen.format() && manifest.revision() == chosen.revision() &&
               manifest.payload() == chosen.payload();
    };
    std::size_t chosenIndex = 0;
    while (chosenIndex < verified.size() && !isChosen(verified[chosenIndex])) ++chosenIndex;
    if (chosenIndex == verified.size()) {
        throw SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
    }

    const TarnelTransportManifest& manifest = chosen.manifest();
    std::vector<RouteNode> routes = manifest.routeNodes(clock.wallSeconds());
    return ParsedSignedManifest{
        .body = bodies[chosenIndex],
        .routes = std::move(routes),
        .catalog = manifest.catalogItems(),
        .revision = chosen.revision(),
        .serviceClass = manifest.serviceClass,
        .subscriptionOrigins = chosen.subscriptionOrigins(),
        .format = chosen.format(),
        .contentFloor = chosen.contentFloor(),
        .skippedOptional = chosen.skippedOptional(),
    };
}

std::vector<RouteNode> SubscriptionImportParser::parseAccessLinks(std::string_view body) {
    return routesOfLines(normalizedBody(body));
}

std::optional<RouteNode> SubscriptionImportParser::parseVLESSLink(std::string_view line) {
    const auto url = UrlComponents::parse(line);
    if (!url || url->scheme() != "vless") return std::nullopt;
    const auto endpoint = linkEndpoint(*url);
    if (!url->user() || url->user()->empty() || !endpoint) return std::nullopt;

    const auto query = queryDictionary(*url);
    const auto security = query.find("security");
    if (security == query.end() || security->second != "reality") return std::nullopt;
    const auto publicKey = query.find("pbk");
    if (publicKey == query.end() || publicKey->second.empty()) return std::nullopt;

    const auto trimmedValue = [&query](std::string_view name) -> std::optional<std::string> {
        const auto found = query.find(name);
        if (found == query.end()) return std::nullopt;
        std::string value = trimmingWhitespaceAndNewlines(found->second);
        if (value.empty()) return std::nullopt;
        return value;
    };
    const auto shortID = query.find("sid");

    RouteNode route;
    route.title = fragmentTitle(*url).value_or(endpoint->host);
    route.id = routeID("vless-", route.title, *endpoint);
    route.transport = RouteTransport::vless;
    route.server = endpoint->host;
    route.port = endpoint->port;
    route.uuid = *url->user();
    route.flow = trimmedValue("flow");
    route.serverName = trimmedValue("sni").value_or(endpoint->host);
    route.publicKey = publicKey->second;
    route.shortID = shortID == query.end() ? std::string() : shortID->second;
    route.fingerprint = trimmedValue("fp").value_or("chrome");
    return route;
}

std::optional<RouteNode> SubscriptionImportParser::parseHysteria2Link(std::string_view line) {
    const auto url = UrlComponents::parse(line);
    if (!url || !url->scheme()) return std::nullopt;
    const std::string scheme = unicode::lowercased(*url->scheme());
    if (scheme != "hysteria2" && scheme != "hy2") return std::nullopt;
    const auto endpoint = linkEndpoint(*url);
    if (!endpoint) return std::nullopt;
    // The password is the whole user part; a ":" in it ends the user name of
    // the URL, so "hy2://a:b@h" has the password "a".
    if (!url->user()) return std::nullopt;
    std::string password = trimmingWhitespaceAndNewlines(*url->user());
    if (password.empty()) return std::nullopt;

    const auto query = queryDictionary(*url);
    using Names2 = std::array<std::string_view, 2>;
    using Names3 = std::array<std::string_view, 3>;
    using Names4 = std::array<std::string_view, 4>;

    RouteNode route;
    route.transport = RouteTransport::hysteria2;
    route.server = endpoint->host;
    route.port = endpoint->port;
    route.serverName =
        firstNonEmptyValue(query, Names4{"sni", "peer", "servername", "server_name"}).value_or(endpoint->host);
    route.password = std::move(password);
    const auto insecure = firstNonEmptyValue(query, Names3{"insecure", "allowinsecure", "allow_insecure"});
    route.insecure = insecure && isTrueFlag(*insecure);
    if (const auto alpn = firstNonEmptyValue(query, Names2{"alpn", "alpn_protocols"})) route.alpn = alpnList(*alpn);
    route.obfsType = firstNonEmptyValue(query, Names3{"obfs", "obfs-type", "obfs_type"});
    route.obfsPassword = firstNonEmptyValue(query, Names3{"obfs-password", "obfspassword", "obfs_password"});
    if (const auto up = firstNonEmptyValue(query, Names3{"upmbps", "up_mbps", "up"})) {
        route.upMbps = decimalInteger(*up);
    }
    if (const auto down = firstNonEmptyValue(query, Names3{"downmbps", "down_mbps", "down"})) {
        route.downMbps = decimalInteger(*down);
    }
    route.fingerprint = "chrome";
    if (auto title = fragmentTitle(*url)) {
        route.title = std::move(*title);
    } else {
        route.title = hysteria2Label(route.serverName, endpoint->host);
    }
    route.id = routeID("hysteria2-", route.title, *endpoint);
    return route;
}

}  // namespace tarnel
