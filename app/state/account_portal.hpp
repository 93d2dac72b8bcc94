#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "app/http/http_client.hpp"
#include "app/state/account_portal_error.hpp"

namespace tarnel {

// The client side of the account portal: which portal addresses, claim reply
// addresses and handoff links are acceptable, the access proof that names the
// user's access link without sending it, and the two calls to the account
// service (claim a portal address for an access link, redeem a handoff for a
// fresh access link).
//
// Every rule reads URLs as written: a scheme or host is compared without
// ASCII letter case, a path, query item name or token byte for byte, never
// percent-decoded, so an escape can never stand in for the character it
// encodes. URLs are texts throughout.
//
// A value for one account service host. The rules are pure; the calls block
// on the HTTP layer they are given and end with CancellationError when `stop`
// is triggered. Safe to use from several threads at once.
class DirectAccountPortal {
public:
    // Sent as "client_channel" and as the portal's "channel" query value.
    static constexpr std::string_view kClientChannel = "macos-direct";
    // Each call, connection included, must end within this time.
    static constexpr double kCallSeconds = 12.0;
    // The most reply bytes read; one more and the reply is unusable.
    static constexpr std::size_t kReplyLimit = 8192;
    static constexpr std::string_view kClaimLinkPath = "/api/account/app-claim-link";
    static constexpr std::string_view kHandoffRedeemPath = "/api/account/app-handoff/redeem";

    // `accountHost`: the account service host, a DNS name of ASCII letters,
    // digits, "." and "-" (any letter case). Throws std::invalid_argument for
    // anything else.
    explicit DirectAccountPortal(std::string_view accountHost);

    // The host in lower case.
    [[nodiscard]] const std::string& accountHost() const noexcept { return accountHost_; }
    // "https://" + the host + the endpoint's path.
    [[nodiscard]] std::string claimLinkURL() const;
    [[nodiscard]] std::string handoffRedeemURL() const;

    // True when the whole text is 32 to 128 of A-Z a-z 0-9 "_" "-": the form
    // of access link tokens, claim tokens and handoff tokens.
    [[nodiscard]] static bool isToken(std::string_view text) noexcept;

    // The access proof of an access link: the 64 lowercase hexadecimal digits
    // of the SHA-256 of its token. The link, trimmed of white space, must be
    // "https://" + a valid subscription origin (port 443 may be written) +
    // a path of exactly the pieces "sub", "f" and token + ".txt" once empty
    // pieces are dropped, with no user information, query or fragment.
    // Throws DirectAccountPortalError(invalidAccessLink).
    [[nodiscard]] static std::string accessProof(std::string_view accessLink);

    // The canonical portal address of a portal URL: https on this host, no
    // port, no user information, path "/account" or "/account/". The query
    // keeps its items byte for byte and in order, except those named "lang"
    // or "channel" (the name percent-decoded and compared without ASCII
    // letter case), then gains "lang=" + language and "channel=" + channel;
    // the path becomes "/account/" and the fragment stays as written. A
    // canonical address canonicalises to itself. Throws
    // DirectAccountPortalError(unavailable).
    [[nodiscard]] std::string canonicalPortalURL(std::string_view url, std::string_view channel,
                                                 std::string_view language) const;

    // The portal address used without an access link:
    // "https://" + host + "/account?channel=" + channel (not yet canonical).
    [[nodiscard]] std::string defaultPortalURL(std::string_view channel) const;

    // The portal address a claim reply names, given back as it is: https on
    // this host, no port, no user information, path exactly "/account", no
    // query, and the fragment "claim=" + a token. Throws
    // DirectAccountPortalError(unavailable).
    [[nodiscard]] std::string validatedClaimURL(std::string_view url) const;

    // The token of a handoff deep link
    // "tarnel-macos-direct://account/handoff#token=" + token (scheme and host
    // in any letter case; no port, user information or query, not even an
    // empty one; the fragment exactly one item). Throws
    // DirectAccountPortalError(unavailable).
    [[nodiscard]] static std::string handoffToken(std::string_view url);

    // Claims a portal address for an access link: POSTs its access proof
    // (never the link) and gives the address the service answered, checked
    // by validatedClaimURL. Throws DirectAccountPortalError: invalidAccessLink
    // before any request, unavailable for any reply but a 200 with a usable
    // JSON object; the HTTP layer's HttpTransportError as it is;
    // CancellationError.
    [[nodiscard]] std::string claimPortalURL(const HttpClient& http, std::string_view accessLink,
                                             std::string_view channel, std::stop_token stop) const;

    // Redeems a handoff link: POSTs its token and gives the access link the
    // service handed over, which must pass accessProof. Throws
    // DirectAccountPortalError: unavailable for a link that is no handoff
    // link (before any request) and for any reply but a 200 with an active
    // entitlement and a subscription URL, invalidAccessLink for a URL that is
    // no access link; the HTTP layer's HttpTransportError as it is;
    // CancellationError.
    [[nodiscard]] std::string redeemHandoff(const HttpClient& http, std::string_view handoffURL,
                                            std::string_view channel, std::stop_token stop) const;

    // The canonical portal address to open, in the portal language
    // `language` ("ru" or "en"): claimed for `accessLink` when there is one
    // (no fall-back to the default address when the claim fails), the
    // default address otherwise, without a request. Throws what
    // claimPortalURL and canonicalPortalURL throw.
    [[nodiscard]] std::string portalURLToOpen(const HttpClient& http, std::optional<std::string_view> accessLink,
                                              std::string_view language, std::stop_token stop) const;

    // "mailto:" + address, or nothing when that is not a URL (an empty
    // address, one with a space or a control character).
    [[nodiscard]] static std::optional<std::string> supportMailURL(std::string_view address);

private:
    std::string accountHost_;
};

}  // namespace tarnel
