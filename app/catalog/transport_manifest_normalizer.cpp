#include "app/catalog/transport_manifest_normalizer.hpp"

#include <set>

#include "app/catalog/manifest_json.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "common/base/json.hpp"

namespace tarnel {

using manifest_json::invalidManifest;

NormalizedTransportManifest TransportManifestNormalizer::normalizeV1(std::string_view payload) {
    json::Value document = json::parse(payload, json::TopLevel::any);
    return normalizeV1(document);
}

NormalizedTransportManifest TransportManifestNormalizer::normalizeV1(json::Value& document) {
    if (!document.is_object()) invalidManifest();
    const std::string* schema = manifest_json::stringMember(document, "schema");
    if (schema == nullptr || *schema != TarnelTransportManifest::kSchemaV1) invalidManifest();

    // A transport without a kind breaks the document; one of a kind this
    // build cannot run is left out.
    bool skippedOptional = false;
    const std::set<std::string> catalogIDs = manifest_json::keepTransports(document, [&](const std::string& kind) {
        if (kind.empty()) invalidManifest();
        if (isSupportedTransportKind(kind)) return true;
        skippedOptional = true;
        return false;
    });
    if (document.at("nodes").empty()) invalidManifest();
    if (document.contains("catalog")) manifest_json::rebuildCatalog(document, catalogIDs);

    return {json::writeCanonical(document), skippedOptional};
}

}  // namespace tarnel
