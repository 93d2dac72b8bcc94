#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/catalog/manifest_content_floor.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/manifest_loader.hpp"
#include "app/catalog/route_model.hpp"
#include "common/base/clock.hpp"
#include "common/base/error.hpp"

namespace tarnel {

// A body that yields no route of a kind this build can run.
class SubscriptionImportError final : public Error {
public:
    enum class Case {
        noSupportedRoutes,
    };

    explicit SubscriptionImportError(Case errorCase = Case::noSupportedRoutes) : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SubscriptionImportError"; }

private:
    Case case_;
};

// The failures of one step of the signed route list download.
class AdaptiveManifestDownloadError final : public Error {
public:
    enum class Case {
        invalidResponse,        // not an http or https URL, so no HTTP answer
        unexpectedlyLarge,      // a whole body over 2 MiB
        invalidRange,           // a ranged answer that is not the range asked for
        changedDuringDownload,  // the list's length or validator changed between ranges
        incompleteRange,        // the ranges did not add up to the whole list
    };

    explicit AdaptiveManifestDownloadError(Case errorCase) : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "AdaptiveManifestDownloadError"; }

    friend bool operator==(const AdaptiveManifestDownloadError& left, const AdaptiveManifestDownloadError& right) {
        return left.case_ == right.case_;
    }

private:
    Case case_;
};

// Neither the whole request nor the ranged download that followed it brought
// the list: the whole request's transport failure and the error that ended the
// ranged download.
class AdaptiveManifestDownloadFailure final : public Error {
public:
    using RangeFailure = std::variant<ManifestTransportError, AdaptiveManifestDownloadError>;

    AdaptiveManifestDownloadFailure(ManifestTransportError primaryFailure, RangeFailure rangeFailure)
        : primaryFailure_(std::move(primaryFailure)), rangeFailure_(std::move(rangeFailure)) {}

    [[nodiscard]] const ManifestTransportError& primaryFailure() const noexcept { return primaryFailure_; }
    [[nodiscard]] const RangeFailure& rangeFailure() const noexcept { return rangeFailure_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override {
        return "AdaptiveManifestDownloadFailure";
    }

private:
    ManifestTransportError primaryFailure_;
    RangeFailure rangeFailure_;
};

// Turns what the user pastes or a subscription server returns into routes:
// signed manifest envelopes (through the verifier), lists of VLESS Reality and
// Hysteria2 access links (plain or Base64 as a whole); maps an access link to
// its signed route lists and downloads them; ties the anti-rollback floor to
// one subscription. Every operation but the download is pure.
class SubscriptionImportParser {
public:
    // What a signed body gave: the body chosen among those verified, its routes
    // and catalog, and what the application stores of it.
    struct ParsedSignedManifest {
        std::string body;
        std::vector<RouteNode> routes;
        std::vector<RouteCatalogItem> catalog;
        std::int64_t revision = 0;
        std::string serviceClass;
        std::optional<std::vector<std::string>> subscriptionOrigins;
        TransportManifestFormat format = TransportManifestFormat::v1;
        ManifestContentFloor contentFloor;
        bool skippedOptional = false;
    };

    // What any body gave. From a list of access links only `routes` is filled
    // (the catalog empty, the optionals absent, `skippedOptional` false); from
    // a signed body every field comes from its ParsedSignedManifest.
    struct ParsedRoutes {
        std::vector<RouteNode> routes;
        std::vector<RouteCatalogItem> catalog;
        std::optional<std::int64_t> manifestRevision;
        std::optional<std::string> serviceClass;
        std::optional<std::vector<std::string>> subscriptionOrigins;
        std::optional<TransportManifestFormat> manifestFormat;
        std::optional<ManifestContentFloor> manifestContentFloor;
        bool skippedOptional = false;
    };

    // The anti-rollback floor of one subscription: its identity and revision.
    struct Floor {
        std::string identity;
        std::int64_t revision = 0;

        friend bool operator==(const Floor&, const Floor&) = default;
    };

    // The result of a download: the list's bytes with status 200, or an empty
    // body with any other status the server answered.
    struct SignedRouteList {
        std::string body;
        int statusCode = 0;

        friend bool operator==(const SignedRouteList&, const SignedRouteList&) = default;
    };

    // The three numbers of a "Content-Range" value.
    struct ContentRange {
        std::int64_t start = 0;
        std::int64_t end = 0;
        std::int64_t total = 0;

        friend bool operator==(const ContentRange&, const ContentRange&) = default;
    };

    inline static constexpr std::string_view kSignedEnvelopeSchema = "tarnel.signed-envelope.v1";
    inline static constexpr std::string_view kUnsignedManifestSchema = "tarnel.transport-manifest.v1";

    // Download limits: the whole body (2 MiB), the last byte of a ranged list
    // (256 KiB in all), the first and the smallest chunk, the retries of one
    // chunk and the time-out of each request.
    inline static constexpr std::size_t kMaximumBodyBytes = 2'097'152;
    inline static constexpr std::int64_t kMaximumRangedLastByte = 262'143;
    inline static constexpr std::int64_t kFirstChunkBytes = 1'024;
    inline static constexpr std::int64_t kMinimumChunkBytes = 256;
    inline static constexpr std::int64_t kMaximumChunkRetries = 4;
    inline static constexpr std::chrono::milliseconds kRequestTimeout{8'000};

    // ----- Bodies and access links -----

    // Routes from a body: a signed envelope is verified (with the root key
    // `rootSPKI`, the saved floor and the clock's wall time) and parsed as by
    // parseSignedManifest; an unsigned manifest is refused; anything else is
    // read as a list of access links. Throws SignedTransportManifestError
    // (trustRootUnavailable without a root key, invalidEnvelope for an
    // unsigned manifest), SubscriptionImportError, or the verifier's and the
    // route builder's errors.
    [[nodiscard]] static ParsedRoutes parse(std::string_view body, const std::optional<std::string>& rootSPKI,
                                            std::optional<std::int64_t> savedRevision,
                                            const std::optional<ManifestContentFloor>& savedFloor, const Clock& clock);

    // Verifies every body in order, chooses the newest manifest among them and
    // builds its routes: the result carries the first body whose manifest is
    // the chosen one. Throws SignedTransportManifestError (invalidManifest for
    // no body, trustRootUnavailable without a root key), the first
    // verification failure, the choice's failure, or the route builder's.
    [[nodiscard]] static ParsedSignedManifest parseSignedManifest(
        std::span<const std::string> bodies, const std::optional<std::string>& rootSPKI,
        std::optional<std::int64_t> savedRevision, const std::optional<ManifestContentFloor>& savedFloor,
        const Clock& clock);

    // The normalised body's JSON "schema" is that of a signed envelope.
    [[nodiscard]] static bool isSignedEnvelope(std::string_view text);

    // The body trimmed, or the text it holds in Base64 when that is a list of
    // access links or a JSON object.
    [[nodiscard]] static std::string normalizedBody(std::string_view text);

    // The text holds "vless://", "hysteria2://" or "hy2://" (exact case).
    [[nodiscard]] static bool containsAccessLink(std::string_view text);

    // The "schema" string of a JSON object; nothing for anything else.
    [[nodiscard]] static std::optional<std::string> jsonSchema(std::string_view text);

    // One route per usable link line, in order; lines that are not usable
    // links are skipped. Throws SubscriptionImportError when none is usable.
    [[nodiscard]] static std::vector<RouteNode> parseAccessLinks(std::string_view body);

    // The route of one "vless://" Reality link line, or nothing.
    [[nodiscard]] static std::optional<RouteNode> parseVLESSLink(std::string_view line);

    // The route of one "hysteria2://" or "hy2://" link line (scheme in any
    // letter case), or nothing.
    [[nodiscard]] static std::optional<RouteNode> parseHysteria2Link(std::string_view line);

    // ----- Signed route list URLs and the download -----

    // The signed route list of an access link ".../sub/f/<token>.txt": the
    // same URL with ".../sub/m/<token>.v2.json" (compact) or
    // ".../sub/m/<token>.json"; nothing for any other URL.
    [[nodiscard]] static std::optional<std::string> signedManifestURL(std::string_view url, bool preferCompact);

    // The primary signed route list URL, then its path on each valid mirror
    // origin, in order and without repeats; empty without a primary URL.
    [[nodiscard]] static std::vector<std::string> signedManifestCandidates(const std::optional<std::string>& primaryURL,
                                                                           std::span<const std::string> origins);
    // The same for the full-form list of an access link.
    [[nodiscard]] static std::vector<std::string> fullSignedManifestCandidates(std::string_view accessLink,
                                                                               std::span<const std::string> origins);

    // Downloads one signed route list: one whole request, and after a transport
    // failure of it a ranged download in small chunks with validators, retries
    // and shrinking chunks. Requests run one after another through `loader`;
    // retries wait through `sleeper`. Throws AdaptiveManifestDownloadError
    // (invalidResponse, unexpectedlyLarge) for the whole request,
    // AdaptiveManifestDownloadFailure when the ranged download fails too,
    // CancellationError once `stop` is requested, and unchanged any other
    // error of the loader.
    [[nodiscard]] static SignedRouteList downloadSignedRouteList(std::string_view url, const ManifestLoader& loader,
                                                                 const ManifestSleeper& sleeper,
                                                                 std::stop_token stop);

    // A failure worth retrying in ranges: a transport failure.
    [[nodiscard]] static bool isTransientNetworkError(const std::exception& error) noexcept;

    // "bytes <start>-<end>/<total>" (the word in any letter case), each number
    // decimal and within 64 bits; nothing for anything else.
    [[nodiscard]] static std::optional<ContentRange> contentRange(const ManifestResponse& response);

    // The strong "ETag" (trimmed; a weak one is never used), else the
    // "Last-Modified" value (trimmed), else nothing.
    [[nodiscard]] static std::optional<std::string> validator(const ManifestResponse& response);

    // No "Content-Encoding", an empty one, or "identity" in any letter case.
    [[nodiscard]] static bool hasIdentityEncoding(const ManifestResponse& response);

    // ----- Floor identity -----

    // SHA-256 (64 lowercase hexadecimal digits) of "tarnel-subscription-floor-v1",
    // a NUL byte and the subscription token of the path "/sub/f/<token>.txt",
    // "/sub/m/<token>.json" or "/sub/m/<token>.v2.json"; nothing for another path.
    [[nodiscard]] static std::optional<std::string> floorIdentity(std::string_view url);

    // The saved floor when it belongs to the subscription of `url`: its
    // identity equals the URL's and its revision is 0 or more.
    [[nodiscard]] static std::optional<Floor> savedFloor(const std::optional<std::string>& url,
                                                         const std::optional<std::string>& identity,
                                                         std::optional<std::int64_t> revision);

    // The floor to keep after accepting `revision` from `url`. Throws
    // SignedTransportManifestError(invalidManifest) for a negative revision, a
    // URL without floor identity, or a revision lower than the saved one of
    // the same subscription.
    [[nodiscard]] static Floor checkFloor(std::string_view url, std::int64_t revision,
                                          const std::optional<std::string>& savedIdentity,
                                          std::optional<std::int64_t> savedRevision);
};

}  // namespace tarnel
