#include "app/catalog/subscription_fetcher.hpp"

#include <exception>
#include <utility>

#include "app/catalog/direct_app_error.hpp"
#include "app/catalog/http_manifest_loader.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/catalog/subscription_import_parser.hpp"
#include "app/http/http_error.hpp"
#include "common/base/ascii.hpp"
#include "common/base/url.hpp"
#include "common/base/utf8.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

namespace {

// One pass over the signed route lists of one form.
struct Attempt {
    TransportManifestFormat format;
    std::vector<std::string> urls;
};

bool isHttpURL(std::string_view url) {
    const auto components = UrlComponents::parse(url);
    if (!components || !components->scheme() || !components->host() || components->host()->empty()) return false;
    return ascii::equalIgnoringCase(*components->scheme(), "https") ||
           ascii::equalIgnoringCase(*components->scheme(), "http");
}

}  // namespace

SubscriptionFetcher::SubscriptionFetcher(const HttpClient& http, ManifestSleeper sleeper, const Clock& clock,
                                         std::optional<std::string> rootSPKI)
    : http_(&http), sleeper_(std::move(sleeper)), clock_(&clock), rootSPKI_(std::move(rootSPKI)) {}

SubscriptionFetcher SubscriptionFetcher::forApplication(const HttpClient& http) {
    return SubscriptionFetcher(http, sleepUnlessStopped, SystemClock::shared(),
                               SignedTransportManifestVerifier::trustRootSPKI());
}

SubscriptionFetchResult SubscriptionFetcher::fetchSubscriptionText(
    std::string_view url, bool signedOnly, std::span<const std::string> origins,
    std::optional<std::int64_t> savedRevision, const std::optional<ManifestContentFloor>& savedFloor,
    std::stop_token stop) const {
    if (!rootSPKI_) throw SignedTransportManifestError(SignedTransportManifestError::Case::trustRootUnavailable);
    if (stop.stop_requested()) throw CancellationError();

    const Attempt attempts[] = {
        {TransportManifestFormat::v2,
         SubscriptionImportParser::signedManifestCandidates(SubscriptionImportParser::signedManifestURL(url, true),
                                                            origins)},
        {TransportManifestFormat::v1,
         SubscriptionImportParser::signedManifestCandidates(SubscriptionImportParser::signedManifestURL(url, false),
                                                            origins)},
    };
    const ManifestLoader loader = httpManifestLoader(*http_);

    std::vector<std::string> accepted;
    std::exception_ptr lastError;
    std::exception_ptr primaryError;
    bool primaryFullMissing = false;
    for (const Attempt& attempt : attempts) {
        std::exception_ptr verificationError;
        bool acceptedHere = false;
        for (std::size_t index = 0; index < attempt.urls.size() && !acceptedHere; ++index) {
            // The first full-form URL is the primary one: its answer decides
            // whether the plain body may stand in for a missing signed list.
            const bool primaryFull = attempt.format == TransportManifestFormat::v1 && index == 0;
            const auto remember = [&](std::exception_ptr error) {
                lastError = error;
                if (primaryFull) primaryError = std::move(error);
            };

            SubscriptionImportParser::SignedRouteList list;
            try {
                list = SubscriptionImportParser::downloadSignedRouteList(attempt.urls[index], loader, sleeper_, stop);
            } catch (const CancellationError&) {
                // Every later download would fail the same way at once.
                throw;
            } catch (const Error&) {
                remember(std::current_exception());
                continue;
            }
            if (list.statusCode == 404 || list.statusCode == 410) {
                if (primaryFull) primaryFullMissing = true;
                continue;
            }
            if (list.statusCode != 200) {
                remember(std::make_exception_ptr(DirectAppError::httpStatus(list.statusCode)));
                continue;
            }
            if (!utf8::isValid(list.body)) {
                remember(std::make_exception_ptr(DirectAppError::invalidUTF8()));
                continue;
            }
            try {
                const auto verified = SignedTransportManifestVerifier::verify(list.body, clock_->wallSeconds(),
                                                                             savedRevision, savedFloor, *rootSPKI_);
                if (verified.format() != attempt.format) {
                    throw SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
                }
                (void)SubscriptionImportParser::parseSignedManifest(std::span<const std::string>(&list.body, 1),
                                                                    rootSPKI_, savedRevision, savedFloor, *clock_);
            } catch (const Error&) {
                verificationError = std::current_exception();
                continue;
            }
            accepted.push_back(std::move(list.body));
            acceptedHere = true;
        }
        if (!acceptedHere && verificationError) std::rethrow_exception(verificationError);
    }

    if (!accepted.empty()) return {std::move(accepted), false};
    if (attempts[0].urls.empty() && attempts[1].urls.empty()) return {{plainSubscriptionText(url, stop)}, true};
    if (signedOnly) {
        if (lastError) std::rethrow_exception(lastError);
        throw DirectAppError::httpStatus(404);
    }
    if (primaryError) std::rethrow_exception(primaryError);
    if (primaryFullMissing) return {{plainSubscriptionText(url, stop)}, true};
    throw DirectAppError::httpStatus(404);
}

HttpResponse SubscriptionFetcher::fetchPlainSubscription(std::string_view url, std::stop_token stop) const {
    if (!isHttpURL(url)) throw DirectAppError::invalidResponse();
    HttpRequest request;
    request.url = std::string(url);
    request.timeoutSeconds = kPlainRequestSeconds;
    request.bodyLimit = kMaximumPlainBodyBytes;
    request.followRedirects = true;
    request.bodyOnlyForStatus = 200;
    try {
        return http_->perform(request, std::move(stop));
    } catch (const HttpBodyTooLargeError&) {
        throw DirectAppError::invalidResponse();
    }
}

std::string SubscriptionFetcher::plainSubscriptionText(std::string_view url, std::stop_token stop) const {
    HttpResponse response = fetchPlainSubscription(url, std::move(stop));
    if (response.status != 200) throw DirectAppError::httpStatus(response.status);
    if (!utf8::isValid(response.body)) throw DirectAppError::invalidUTF8();
    return std::move(response.body);
}

}  // namespace tarnel
