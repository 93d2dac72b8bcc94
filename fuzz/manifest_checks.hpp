#pragma once

// The readers that follow the normaliser and the expander, run on a v1
// document they produced: each may refuse it, but only with its own error.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/catalog/compact_transport_manifest.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/route_model.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "common/base/digest.hpp"
#include "common/base/json.hpp"
#include "fuzz/fuzz_support.hpp"

namespace tarnel::fuzz {

// 2031-03-15T12:00:00Z, inside the fixture manifests' validity.
inline constexpr double kFixtureNow = 1'931'342'400.0;

// How reading a document ended: its records, or the JSON error's case and
// the key path it named.
struct DecodeOutcome {
    std::optional<TarnelTransportManifest> manifest;
    std::optional<std::pair<json::JsonError::Case, std::string>> failure;

    bool operator==(const DecodeOutcome&) const = default;
};

template <typename Decode>
DecodeOutcome decodeOutcome(Decode&& decode) {
    try {
        return {decode(), std::nullopt};
    } catch (const json::JsonError& error) {
        return {std::nullopt, std::pair(error.errorCase(), error.detail())};
    }
}

// A document decoded from what its reader kept (the compact expansion's
// parts) reads exactly as the same document decoded from its bytes.
template <typename Decode>
void checkDecodesAsItsBytes(Decode&& decodeKept, const std::string& bytes) {
    require(decodeOutcome(decodeKept) == decodeOutcome([&] { return TarnelTransportManifest::decode(bytes); }),
            "a document decodes from what its reader kept as from its bytes", bytes);
}

inline void checkV1DocumentReaders(const std::string& document) {
    // The legacy projection of a v1 document is itself a fixed point.
    try {
        const std::string projection = CompactTransportManifest::legacyProjection(document);
        require(CompactTransportManifest::legacyProjection(projection) == projection,
                "the legacy projection is idempotent", projection);
    } catch (const SignedTransportManifestError& error) {
        require(error.errorCase() == SignedTransportManifestError::Case::invalidManifest,
                "legacyProjection fails with invalidManifest only");
    }

    TarnelTransportManifest manifest;
    try {
        manifest = TarnelTransportManifest::decode(document);
    } catch (const json::JsonError&) {
        return;
    }
    try {
        const std::vector<RouteNode> routes = manifest.routeNodes(kFixtureNow);
        for (const RouteNode& route : routes) {
            // The stored form of a route reads back as the same route.
            require(RouteNode::fromJson(json::parse(json::writeCanonical(route.toJson()))) == route,
                    "a route reads back from its stored form", route.id);
        }
    } catch (const TransportManifestError&) {
    }
    static_cast<void>(manifest.catalogItems());
    try {
        static_cast<void>(TarnelTransportManifest::validatedSubscriptionOrigins(manifest.subscriptionOrigins));
    } catch (const TransportManifestError&) {
    }
}

}  // namespace tarnel::fuzz
