// The account portal's rules: access proof, portal and claim addresses,
// handoff links.

#include "app/state/account_portal.hpp"

#include <algorithm>
#include <stdexcept>

#include "app/catalog/transport_manifest.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/ascii.hpp"
#include "common/base/digest.hpp"
#include "common/base/url.hpp"

namespace tarnel {

namespace {

constexpr std::size_t kMinimumTokenLength = 32;
constexpr std::size_t kMaximumTokenLength = 128;
constexpr std::string_view kAccessLinkSuffix = ".txt";
constexpr std::string_view kPortalPath = "/account";
constexpr std::string_view kCanonicalPortalPath = "/account/";
constexpr std::string_view kClaimPrefix = "claim=";
constexpr std::string_view kHandoffScheme = "tarnel-macos-direct";
constexpr std::string_view kHandoffHost = "account";
constexpr std::string_view kHandoffPath = "/handoff";
constexpr std::string_view kHandoffItemName = "token";
// A handoff link's fragment is read as the query of this address, whose host
// is reserved never to resolve.
constexpr std::string_view kFragmentParsingBase = "https://handoff.invalid/?";

bool isHostCharacter(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

std::string asciiLowercased(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), ascii::lower);
    return lowered;
}

// https (any letter case) on `host`, written without a port, with no user
// information; the host is compared as written, without ASCII letter case.
bool isPlainHttpsOn(const UrlComponents& url, std::string_view host) {
    return url.scheme() && ascii::equalIgnoringCase(*url.scheme(), "https") && url.encodedHost() &&
           ascii::equalIgnoringCase(*url.encodedHost(), host) && !url.port() && !url.user() && !url.password();
}

// The "/"-separated pieces of a path, empty ones dropped.
std::vector<std::string_view> nonEmptyPieces(std::string_view path) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) pieces.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

// Whether the query item written as `piece` is one the canonical form sets:
// its name, percent-decoded, is "lang" or "channel" in any ASCII letter case.
bool isPortalQueryItem(std::string_view piece) {
    const auto name = percentDecode(piece.substr(0, piece.find('=')));
    if (!name) return false;
    const std::string lowered = asciiLowercased(*name);
    return lowered == "lang" || lowered == "channel";
}

}  // namespace

DirectAccountPortal::DirectAccountPortal(std::string_view accountHost) : accountHost_(asciiLowercased(accountHost)) {
    if (accountHost.empty() || !std::all_of(accountHost.begin(), accountHost.end(), isHostCharacter)) {
        throw std::invalid_argument("the account service host is not a DNS name");
    }
}

std::string DirectAccountPortal::claimLinkURL() const {
    return "https://" + accountHost_ + std::string(kClaimLinkPath);
}

std::string DirectAccountPortal::handoffRedeemURL() const {
    return "https://" + accountHost_ + std::string(kHandoffRedeemPath);
}

bool DirectAccountPortal::isToken(std::string_view text) noexcept {
    return text.size() >= kMinimumTokenLength && text.size() <= kMaximumTokenLength &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-';
           });
}

std::string DirectAccountPortal::accessProof(std::string_view accessLink) {
    const auto url = UrlComponents::parse(unicode::trimmingWhitespaceAndNewlines(accessLink));
    if (!url || !TarnelTransportManifest::isValidSubscriptionOrigin(*url) || url->user() || url->password() ||
        url->encodedQuery() || url->encodedFragment()) {
        throw DirectAccountPortalError::invalidAccessLink();
    }
    const auto pieces = nonEmptyPieces(url->encodedPath());
    if (pieces.size() != 3 || pieces[0] != "sub" || pieces[1] != "f" || !pieces[2].ends_with(kAccessLinkSuffix)) {
        throw DirectAccountPortalError::invalidAccessLink();
    }
    const std::string_view token = pieces[2].substr(0, pieces[2].size() - kAccessLinkSuffix.size());
    if (!isToken(token)) throw DirectAccountPortalError::invalidAccessLink();
    return sha256Hex(token);
}

std::string DirectAccountPortal::canonicalPortalURL(std::string_view url, std::string_view channel,
                                                    std::string_view language) const {
    const auto components = UrlComponents::parse(url);
    if (!components || !isPlainHttpsOn(*components, accountHost_) ||
        (components->encodedPath() != kPortalPath && components->encodedPath() != kCanonicalPortalPath)) {
        throw DirectAccountPortalError::unavailable();
    }
    std::string query;
    if (const auto& raw = components->encodedQuery(); raw && !raw->empty()) {
        std::size_t start = 0;
        while (start <= raw->size()) {
            const std::size_t end = std::min(raw->find('&', start), raw->size());
            const std::string_view piece = std::string_view(*raw).substr(start, end - start);
            if (!isPortalQueryItem(piece)) query.append(piece).push_back('&');
            start = end + 1;
        }
    }
    query += "lang=" + *UrlComponents::QueryItem::make("lang", language).encodedValue;
    query += "&channel=" + *UrlComponents::QueryItem::make("channel", channel).encodedValue;

    std::string canonical = "https://" + accountHost_ + std::string(kCanonicalPortalPath) + "?" + query;
    if (const auto& fragment = components->encodedFragment()) canonical += "#" + *fragment;
    return canonical;
}

std::string DirectAccountPortal::defaultPortalURL(std::string_view channel) const {
    return "https://" + accountHost_ + std::string(kPortalPath) + "?channel=" +
           *UrlComponents::QueryItem::make("channel", channel).encodedValue;
}

std::string DirectAccountPortal::validatedClaimURL(std::string_view url) const {
    const auto components = UrlComponents::parse(url);
    if (!components || !isPlainHttpsOn(*components, accountHost_) || components->encodedPath() != kPortalPath ||
        components->encodedQuery()) {
        throw DirectAccountPortalError::unavailable();
    }
    const auto& fragment = components->encodedFragment();
    if (!fragment || !fragment->starts_with(kClaimPrefix) ||
        !isToken(std::string_view(*fragment).substr(kClaimPrefix.size()))) {
        throw DirectAccountPortalError::unavailable();
    }
    return std::string(url);
}

std::string DirectAccountPortal::handoffToken(std::string_view url) {
    const auto components = UrlComponents::parse(url);
    if (!components || !components->scheme() || !ascii::equalIgnoringCase(*components->scheme(), kHandoffScheme) ||
        !components->encodedHost() || !ascii::equalIgnoringCase(*components->encodedHost(), kHandoffHost) ||
        components->port() || components->user() || components->password() ||
        components->encodedPath() != kHandoffPath || components->encodedQuery() || !components->encodedFragment()) {
        throw DirectAccountPortalError::unavailable();
    }
    const auto fragment = UrlComponents::parse(std::string(kFragmentParsingBase) + *components->encodedFragment());
    if (!fragment || !fragment->queryItems() || fragment->queryItems()->size() != 1) {
        throw DirectAccountPortalError::unavailable();
    }
    const auto& item = fragment->queryItems()->front();
    if (item.encodedName != kHandoffItemName || !item.encodedValue || !isToken(*item.encodedValue)) {
        throw DirectAccountPortalError::unavailable();
    }
    return *item.encodedValue;
}

std::optional<std::string> DirectAccountPortal::supportMailURL(std::string_view address) {
    if (address.empty()) return std::nullopt;
    std::string url = "mailto:" + std::string(address);
    if (!UrlComponents::parse(url)) return std::nullopt;
    return url;
}

}  // namespace tarnel
