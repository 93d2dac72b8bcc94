// Signed route list URLs, mirror candidates and the floor identity.

#include <set>
#include <stdexcept>

#include "app/catalog/subscription_import_parser.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "common/base/digest.hpp"
#include "common/base/url.hpp"

namespace tarnel {

namespace {

constexpr std::string_view kAccessLinkDirectory = "/sub/f/";
constexpr std::string_view kAccessLinkSuffix = ".txt";
constexpr std::string_view kSignedListDirectory = "/sub/m/";
constexpr std::string_view kFloorIdentityDomain = "tarnel-subscription-floor-v1";
constexpr std::size_t kMaximumTokenLength = 256;

bool isTokenCharacter(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// A subscription token: 1 to 256 of A-Z a-z 0-9 "_" "-".
bool isToken(std::string_view text) noexcept {
    if (text.empty() || text.size() > kMaximumTokenLength) return false;
    for (const char c : text) {
        if (!isTokenCharacter(c)) return false;
    }
    return true;
}

// The token of a whole path "/sub/f/<token>.txt", "/sub/m/<token>.json" or
// "/sub/m/<token>.v2.json".
std::optional<std::string_view> subscriptionToken(std::string_view path) {
    if (path.starts_with(kAccessLinkDirectory) && path.ends_with(kAccessLinkSuffix) &&
        path.size() >= kAccessLinkDirectory.size() + kAccessLinkSuffix.size()) {
        const std::string_view token = path.substr(
            kAccessLinkDirectory.size(), path.size() - kAccessLinkDirectory.size() - kAccessLinkSuffix.size());
        if (isToken(token)) return token;
    }
    if (path.starts_with(kSignedListDirectory) && path.ends_with(".json")) {
        std::string_view rest = path.substr(kSignedListDirectory.size());
        rest.remove_suffix(std::string_view(".json").size());
        if (rest.ends_with(".v2")) rest.remove_suffix(std::string_view(".v2").size());
        if (isToken(rest)) return rest;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> SubscriptionImportParser::signedManifestURL(std::string_view url, bool preferCompact) {
    auto components = UrlComponents::parse(url);
    if (!components) return std::nullopt;
    const std::string& path = components->path();
    // The path ends in "/sub/f/<token>.txt", the token at least one character
    // without "/"; what comes before "/sub/f/" is kept.
    if (!path.ends_with(kAccessLinkSuffix)) return std::nullopt;
    const std::size_t lastSlash = path.rfind('/');
    if (lastSlash == std::string::npos) return std::nullopt;
    const std::size_t tokenStart = lastSlash + 1;
    if (path.size() - tokenStart <= kAccessLinkSuffix.size()) return std::nullopt;
    if (tokenStart < kAccessLinkDirectory.size()) return std::nullopt;
    const std::size_t matchStart = tokenStart - kAccessLinkDirectory.size();
    if (path.compare(matchStart, kAccessLinkDirectory.size(), kAccessLinkDirectory) != 0) return std::nullopt;
    std::string newPath = path.substr(0, matchStart);
    newPath.append(kSignedListDirectory)
        .append(path, tokenStart, path.size() - tokenStart - kAccessLinkSuffix.size())
        .append(preferCompact ? ".v2.json" : ".json");
    try {
        components->setPath(newPath);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    return components->text();
}

std::vector<std::string> SubscriptionImportParser::signedManifestCandidates(
    const std::optional<std::string>& primaryURL, std::span<const std::string> origins) {
    std::vector<std::string> candidates;
    if (!primaryURL) return candidates;
    candidates.push_back(*primaryURL);
    const auto primary = UrlComponents::parse(*primaryURL);
    if (!primary) return candidates;
    std::set<std::string, std::less<>> seen = {*primaryURL};
    for (const std::string& origin : origins) {
        std::string normalized;
        try {
            normalized = TarnelTransportManifest::normalizedSubscriptionOrigin(origin);
        } catch (const TransportManifestError&) {
            continue;
        }
        auto mirror = UrlComponents::parse(normalized);
        if (!mirror) continue;
        try {
            mirror->setPath(primary->path());
        } catch (const std::invalid_argument&) {
            continue;
        }
        std::string candidate = mirror->text();
        if (seen.insert(candidate).second) candidates.push_back(std::move(candidate));
    }
    return candidates;
}

std::vector<std::string> SubscriptionImportParser::fullSignedManifestCandidates(std::string_view accessLink,
                                                                                std::span<const std::string> origins) {
    return signedManifestCandidates(signedManifestURL(accessLink, false), origins);
}

std::optional<std::string> SubscriptionImportParser::floorIdentity(std::string_view url) {
    const auto components = UrlComponents::parse(url);
    if (!components) return std::nullopt;
    const auto token = subscriptionToken(components->path());
    if (!token) return std::nullopt;
    std::string material(kFloorIdentityDomain);
    material.push_back('\0');
    material.append(*token);
    return sha256Hex(material);
}

std::optional<SubscriptionImportParser::Floor> SubscriptionImportParser::savedFloor(
    const std::optional<std::string>& url, const std::optional<std::string>& identity,
    std::optional<std::int64_t> revision) {
    if (!url || !identity || !revision || *revision < 0) return std::nullopt;
    auto urlIdentity = floorIdentity(*url);
    if (!urlIdentity || *urlIdentity != *identity) return std::nullopt;
    return Floor{std::move(*urlIdentity), *revision};
}

SubscriptionImportParser::Floor SubscriptionImportParser::checkFloor(std::string_view url, std::int64_t revision,
                                                                     const std::optional<std::string>& savedIdentity,
                                                                     std::optional<std::int64_t> savedRevision) {
    const auto invalid = [] {
        return SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
    };
    if (revision < 0) throw invalid();
    auto identity = floorIdentity(url);
    if (!identity) throw invalid();
    if (savedIdentity == identity && savedRevision && revision < *savedRevision) throw invalid();
    return Floor{std::move(*identity), revision};
}

}  // namespace tarnel
