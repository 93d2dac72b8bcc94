#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/manifest_content_floor.hpp"
#include "app/catalog/manifest_loader.hpp"
#include "app/http/http_client.hpp"
#include "common/base/clock.hpp"

namespace tarnel {

// What a subscription update downloaded: the signed route lists accepted, in
// acceptance order (compact first, then full), or the one plain subscription
// body.
struct SubscriptionFetchResult {
    std::vector<std::string> texts;
    bool plain = false;

    friend bool operator==(const SubscriptionFetchResult&, const SubscriptionFetchResult&) = default;
};

// The network side of a subscription update: fetches the signed route lists
// of an access link (compact and full form, each from the primary server and
// then the subscription's mirror origins, one request at a time), verifies
// every candidate before accepting it, and falls back to the plain
// subscription body only where that is allowed. Blocking; every wait ends at
// once when the stop token is triggered, and the fetch then fails with
// CancellationError.
class SubscriptionFetcher {
public:
    // The plain subscription body: at most 8 MiB, and 20 seconds for the
    // whole request.
    inline static constexpr std::size_t kMaximumPlainBodyBytes = 8 * 1024 * 1024;
    inline static constexpr double kPlainRequestSeconds = 20.0;

    // Over `http` (which must outlive the fetcher), waiting between retries
    // through `sleeper`, verifying at the wall time of `clock` (which must
    // outlive it too) against the root key `rootSPKI` (DER
    // SubjectPublicKeyInfo; nothing for a build that has none).
    SubscriptionFetcher(const HttpClient& http, ManifestSleeper sleeper, const Clock& clock,
                        std::optional<std::string> rootSPKI);

    // The application's fetcher: the waits end at a stop, the system clock,
    // and the root key of the application's information property list.
    [[nodiscard]] static SubscriptionFetcher forApplication(const HttpClient& http);

    // Fetches the subscription of `url`. With `signedOnly`, the plain body is
    // never fetched for a link that has signed route lists. `origins` are the
    // subscription's mirror origins; `savedRevision` and `savedFloor` the
    // anti-rollback state the verifier checks. Throws
    // SignedTransportManifestError(trustRootUnavailable) before any request
    // when there is no root key; otherwise the errors of the download, of
    // verification, DirectAppError (httpStatus, invalidUTF8, invalidResponse),
    // HttpTransportError of the plain request, and CancellationError.
    [[nodiscard]] SubscriptionFetchResult fetchSubscriptionText(std::string_view url, bool signedOnly,
                                                                std::span<const std::string> origins,
                                                                std::optional<std::int64_t> savedRevision,
                                                                const std::optional<ManifestContentFloor>& savedFloor,
                                                                std::stop_token stop) const;

    // Requests `url` itself (redirects followed) and gives the response,
    // whatever its status; the body only with status 200. Throws
    // DirectAppError(invalidResponse) for a URL that is not http or https
    // (before any I/O) and for a body over 8 MiB, HttpTransportError when the
    // request fails, CancellationError on a stop.
    [[nodiscard]] HttpResponse fetchPlainSubscription(std::string_view url, std::stop_token stop) const;

private:
    // The plain body as text: status 200 and well-formed UTF-8.
    [[nodiscard]] std::string plainSubscriptionText(std::string_view url, std::stop_token stop) const;

    const HttpClient* http_;
    ManifestSleeper sleeper_;
    const Clock* clock_;
    std::optional<std::string> rootSPKI_;
};

}  // namespace tarnel
