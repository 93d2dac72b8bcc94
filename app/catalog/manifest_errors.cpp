#include "app/catalog/manifest_errors.hpp"

namespace tarnel {

TransportManifestError TransportManifestError::invalidEndpoint(std::string transportID) {
    return TransportManifestError(Case::invalidEndpoint, std::move(transportID));
}

TransportManifestError TransportManifestError::unsupportedTransport(std::string kind) {
    return TransportManifestError(Case::unsupportedTransport, std::move(kind));
}

TransportManifestError TransportManifestError::invalidOrExpired() {
    return TransportManifestError(Case::invalidOrExpired, {});
}

TransportManifestError TransportManifestError::invalidSubscriptionOrigins() {
    return TransportManifestError(Case::invalidSubscriptionOrigins, {});
}

TransportManifestError TransportManifestError::noRoutes() { return TransportManifestError(Case::noRoutes, {}); }

std::string TransportManifestError::message() const {
    switch (case_) {
        case Case::invalidEndpoint: return "Transport endpoint " + subject_ + " is incomplete.";
        case Case::unsupportedTransport:
            return "Transport " + subject_ + " is not supported by this app version.";
        case Case::invalidOrExpired: return "The transport manifest is invalid or expired.";
        case Case::invalidSubscriptionOrigins:
            return "The transport manifest contains an invalid subscription origin.";
        case Case::noRoutes: return "The transport manifest contains no routes.";
    }
    return "The transport manifest is invalid or expired.";
}

std::string SignedTransportManifestError::message() const {
    switch (case_) {
        case Case::invalidEnvelope: return "The transport manifest envelope is invalid.";
        case Case::trustRootUnavailable: return "This app build does not trust signed transport manifests yet.";
        case Case::invalidRootSignature: return "The transport manifest signing key is not trusted.";
        case Case::invalidPayloadSignature: return "The transport manifest signature is invalid.";
        case Case::expiredDelegation: return "The transport manifest signing key has expired.";
        case Case::invalidManifest:
            return "The signed transport manifest is invalid, expired, or older than the saved revision.";
        case Case::manifestPairMismatch: return "The equal-revision v1 and v2 transport manifests disagree.";
    }
    return "The signed transport manifest is invalid, expired, or older than the saved revision.";
}

std::string_view rawValue(TransportManifestFormat format) noexcept {
    switch (format) {
        case TransportManifestFormat::v1: return "v1";
        case TransportManifestFormat::v2: return "v2";
    }
    return {};
}

std::optional<TransportManifestFormat> transportManifestFormatFromRawValue(std::string_view raw) noexcept {
    if (raw == "v1") return TransportManifestFormat::v1;
    if (raw == "v2") return TransportManifestFormat::v2;
    return std::nullopt;
}

}  // namespace tarnel
