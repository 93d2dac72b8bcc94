#include "app/catalog/manifest_json.hpp"

#include <utility>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/iso8601.hpp"

namespace tarnel::manifest_json {

void invalidManifest() { throw SignedTransportManifestError(SignedTransportManifestError::Case::invalidManifest); }

const std::string* stringMember(const json::Value& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return nullptr;
    return &found->get_ref<const std::string&>();
}

std::string trimmedStringMember(const json::Value& object, std::string_view key) {
    const std::string* text = stringMember(object, key);
    return text == nullptr ? std::string() : unicode::trimmingWhitespaceAndNewlines(*text);
}

const json::Value& objectList(const json::Value& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_array()) invalidManifest();
    for (const json::Value& element : *found) {
        if (!element.is_object()) invalidManifest();
    }
    return *found;
}

json::Value& objectList(json::Value& object, std::string_view key) {
    return const_cast<json::Value&>(objectList(std::as_const(object), key));
}

std::set<std::string> keepTransports(json::Value& document, const std::function<bool(const std::string&)>& keep) {
    std::set<std::string> catalogIDs;
    json::Value keptNodes = json::Value::array();
    for (json::Value& node : objectList(document, "nodes")) {
        json::Value kept = json::Value::array();
        for (json::Value& transport : objectList(node, "transports")) {
            if (!keep(trimmedStringMember(transport, "kind"))) continue;
            if (const std::string* id = stringMember(transport, "catalog_id"); id != nullptr && !id->empty()) {
                catalogIDs.insert(*id);
            }
            kept.push_back(std::move(transport));
        }
        if (kept.empty()) continue;
        node["transports"] = std::move(kept);
        keptNodes.push_back(std::move(node));
    }
    document["nodes"] = std::move(keptNodes);
    return catalogIDs;
}

void rebuildCatalog(json::Value& document, const std::set<std::string>& catalogIDs) {
    const std::string serviceClass = trimmedStringMember(document, "service_class");
    if (serviceClass.empty()) invalidManifest();
    document["catalog"] = TransportManifestCatalog::build(serviceClass, catalogIDs);
}

std::int64_t dateMember(const json::ObjectReader& reader, std::string_view key) {
    const std::optional<std::int64_t> instant = iso8601::parse(reader.string(key));
    if (!instant) throw json::JsonError(json::JsonError::Case::typeMismatch, reader.pathOf(key));
    return *instant;
}

}  // namespace tarnel::manifest_json
