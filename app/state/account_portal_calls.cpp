// The account portal's two calls to the account service.

#include <utility>

#include "app/http/http_error.hpp"
#include "app/state/account_portal.hpp"
#include "common/base/json.hpp"
#include "common/base/url.hpp"

namespace tarnel {

namespace {

// POSTs a compact JSON body to an account service endpoint: one request of
// its own (no connection, cookie or cache shared with any other), TLS
// verified, no redirect followed, the whole call within kCallSeconds. Gives
// the reply's top-level object; any reply but a 200 whose body of at most
// kReplyLimit bytes is a strict JSON object is unavailable. Transport
// failures and cancellation pass through.
json::Value postToAccountService(const HttpClient& http, std::string url, const json::OrderedValue& body,
                                 bool handoff, std::stop_token stop) {
    HttpRequest request;
    request.url = std::move(url);
    request.method = "POST";
    request.headers = {{"Content-Type", "application/json"},
                       {"Accept", "application/json"},
                       {"Cache-Control", "no-store"}};
    if (handoff) request.headers.push_back({"X-Tarnel-App-Handoff", "1"});
    request.body = json::writeOrdered(body);
    request.timeoutSeconds = DirectAccountPortal::kCallSeconds;
    request.bodyLimit = DirectAccountPortal::kReplyLimit;
    request.followRedirects = false;

    HttpResponse response;
    try {
        response = http.perform(request, stop);
    } catch (const HttpBodyTooLargeError&) {
        throw DirectAccountPortalError::unavailable();
    }
    if (response.status != 200) throw DirectAccountPortalError::unavailable();
    try {
        return json::parse(response.body, json::TopLevel::object);
    } catch (const json::JsonError&) {
        throw DirectAccountPortalError::unavailable();
    }
}

// The reply of a claim: {"ok": Bool, "url": String?}.
struct ClaimResponse {
    bool ok = false;
    std::optional<std::string> url;
};

// The reply of a redeem: {"ok": Bool, "entitlement": {"active": Bool,
// "subscription_url": String?}}.
struct HandoffResponse {
    bool ok = false;
    bool active = false;
    std::optional<std::string> subscriptionURL;
};

// Decodes a reply as the strict wrapper reads it: a required key absent or
// null, or any key of the wrong kind, makes the reply unavailable; a null
// optional key is absent and unknown keys are ignored.
template <typename Decode>
auto decoded(Decode&& decode) {
    try {
        return decode();
    } catch (const json::JsonError&) {
        throw DirectAccountPortalError::unavailable();
    }
}

}  // namespace

std::string DirectAccountPortal::claimPortalURL(const HttpClient& http, std::string_view accessLink,
                                                std::string_view channel, std::stop_token stop) const {
    json::OrderedValue body = json::OrderedValue::object();
    body["access_proof"] = accessProof(accessLink);
    body["client_channel"] = std::string(channel);
    const json::Value reply = postToAccountService(http, claimLinkURL(), body, false, stop);
    const auto claim = decoded([&] {
        const json::ObjectReader reader(reply);
        ClaimResponse response;
        reader.read("ok", response.ok);
        reader.read("url", response.url);
        return response;
    });
    if (!claim.ok || !claim.url) throw DirectAccountPortalError::unavailable();
    return validatedClaimURL(*claim.url);
}

std::string DirectAccountPortal::redeemHandoff(const HttpClient& http, std::string_view handoffURL,
                                               std::string_view channel, std::stop_token stop) const {
    json::OrderedValue body = json::OrderedValue::object();
    body["handoff_token"] = handoffToken(handoffURL);
    body["client_channel"] = std::string(channel);
    const json::Value reply = postToAccountService(http, handoffRedeemURL(), body, true, stop);
    const auto handoff = decoded([&] {
        const json::ObjectReader reader(reply);
        HandoffResponse response;
        reader.read("ok", response.ok);
        const json::ObjectReader entitlement(reader.object("entitlement"), reader.pathOf("entitlement"));
        entitlement.read("active", response.active);
        entitlement.read("subscription_url", response.subscriptionURL);
        return response;
    });
    if (!handoff.ok || !handoff.active || !handoff.subscriptionURL || !UrlComponents::parse(*handoff.subscriptionURL)) {
        throw DirectAccountPortalError::unavailable();
    }
    // Only a genuine access link is taken over.
    (void)accessProof(*handoff.subscriptionURL);
    return *handoff.subscriptionURL;
}

std::string DirectAccountPortal::portalURLToOpen(const HttpClient& http, std::optional<std::string_view> accessLink,
                                                 std::string_view language, std::stop_token stop) const {
    const std::string portal =
        accessLink ? claimPortalURL(http, *accessLink, kClientChannel, stop) : defaultPortalURL(kClientChannel);
    return canonicalPortalURL(portal, kClientChannel, language);
}

}  // namespace tarnel
