#include "app/catalog/transport_manifest_normalizer.hpp"

#include <set>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/json.hpp"

namespace tarnel {

namespace {

[[noreturn]] void invalidManifest() {
    throw SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest);
}

// A member's text, trimmed; a missing member or one that is not a string
// reads as empty.
std::string trimmedStringMember(const json::Value& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return {};
    return unicode::trimmingWhitespaceAndNewlines(found->get_ref<const std::string&>());
}

// The member as a list whose every element is an object.
json::Value& objectList(json::Value& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_array()) invalidManifest();
    for (const json::Value& element : *found) {
        if (!element.is_object()) invalidManifest();
    }
    return *found;
}

}  // namespace

NormalizedTransportManifest TransportManifestNormalizer::normalizeV1(std::string_view payload) {
    json::Value document = json::parse(payload, json::TopLevel::any);
    if (!document.is_object()) invalidManifest();
    const auto schema = document.find("schema");
    if (schema == document.end() || !schema->is_string() || schema->get_ref<const std::string&>() != TarnelTransportManifest::kSchemaV1) {
        invalidManifest();
    }

    bool skippedOptional = false;
    std::set<std::string> catalogIDs;
    json::Value keptNodes = json::Value::array();
    for (json::Value& node : objectList(document, "nodes")) {
        json::Value keptTransports = json::Value::array();
        for (json::Value& transport : objectList(node, "transports")) {
            const std::string kind = trimmedStringMember(transport, "kind");
            if (kind.empty()) invalidManifest();
            if (!isSupportedTransportKind(kind)) {
                skippedOptional = true;
                continue;
            }
            if (const auto id = transport.find("catalog_id");
                id != transport.end() && id->is_string() && !id->get_ref<const std::string&>().empty()) {
                catalogIDs.insert(id->get<std::string>());
            }
            keptTransports.push_back(std::move(transport));
        }
        if (keptTransports.empty()) continue;
        node["transports"] = std::move(keptTransports);
        keptNodes.push_back(std::move(node));
    }
    if (keptNodes.empty()) invalidManifest();
    document["nodes"] = std::move(keptNodes);

    if (document.contains("catalog")) {
        const std::string serviceClass = trimmedStringMember(document, "service_class");
        if (serviceClass.empty()) invalidManifest();
        json::Value catalog = json::Value::array();
        for (json::Value& node : TransportManifestCatalog::build(serviceClass, catalogIDs)) {
            catalog.push_back(std::move(node));
        }
        document["catalog"] = std::move(catalog);
    }

    return {json::writeCanonical(document), skippedOptional};
}

}  // namespace tarnel
