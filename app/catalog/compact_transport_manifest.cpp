#include "app/catalog/compact_transport_manifest.hpp"

#include <algorithm>
#include <initializer_list>
#include <set>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/manifest_json.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/digest.hpp"
#include "common/json.hpp"

namespace tarnel {

namespace {

using KindSet = std::set<std::string, std::less<>>;
using manifest_json::invalidManifest;
using manifest_json::objectList;
using manifest_json::stringMember;

// The member's text trimmed of white space and newlines; it must be a string
// and must not trim to nothing.
std::string trimmedRequiredString(const json::Value& object, std::string_view key) {
    std::string trimmed = manifest_json::trimmedStringMember(object, key);
    if (trimmed.empty()) invalidManifest();
    return trimmed;
}

bool hasOnlyKeys(const json::Value& object, std::initializer_list<std::string_view> allowed) {
    for (const auto& member : object.items()) {
        if (std::find(allowed.begin(), allowed.end(), member.key()) == allowed.end()) return false;
    }
    return true;
}

// An optional member that, when present (null included), must be an object.
const json::Value* optionalObject(const json::Value& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end()) return nullptr;
    if (!found->is_object()) invalidManifest();
    return &*found;
}

// "requires" or "optional": a list of non-empty strings written in ascending
// order (by code point) without duplicates, exactly as the signer sorted it.
KindSet sortedKindList(const json::Value& document, std::string_view key) {
    const auto found = document.find(key);
    if (found == document.end() || !found->is_array()) invalidManifest();
    KindSet kinds;
    const std::string* previous = nullptr;
    for (const json::Value& element : *found) {
        if (!element.is_string()) invalidManifest();
        const std::string& kind = element.get_ref<const std::string&>();
        if (kind.empty() || (previous != nullptr && !(*previous < kind))) invalidManifest();
        kinds.insert(kind);
        previous = &kind;
    }
    return kinds;
}

// The endpoint's port: an integer from 1 to 65535.
std::int64_t endpointPort(const json::Value& endpoint) {
    const auto found = endpoint.find("port");
    if (found == endpoint.end() || !found->is_number_integer()) invalidManifest();
    if (found->is_number_unsigned()) {
        const auto port = found->get<std::uint64_t>();
        if (port < 1 || port > 65535) invalidManifest();
        return static_cast<std::int64_t>(port);
    }
    const auto port = found->get<std::int64_t>();
    if (port < 1 || port > 65535) invalidManifest();
    return port;
}

// Copies every member of `overrides` into `object`, replacing what is there.
void merge(json::Value& object, const json::Value* overrides) {
    if (overrides == nullptr) return;
    for (const auto& [key, value] : overrides->items()) object[key] = value;
}

struct ExpandedNodes {
    json::Value nodes = json::Value::array();
    std::set<std::string> catalogIDs;
    KindSet entryKinds;
    std::size_t keptTransports = 0;
    bool skippedOptional = false;
};

// One entry of a node, rebuilt as a v1 transport object.
json::Value expandEntry(const json::Value& entry, const std::string& code, const json::Value& defaults,
                        ExpandedNodes& expanded) {
    if (!hasOnlyKeys(entry, {"s", "k", "e", "o"})) invalidManifest();
    const std::string slotName = trimmedRequiredString(entry, "s");
    const std::string kind = trimmedRequiredString(entry, "k");
    const auto values = entry.find("e");
    if (values == entry.end() || !values->is_object()) invalidManifest();
    const json::Value* overrides = optionalObject(entry, "o");
    expanded.entryKinds.insert(kind);

    const CompactTransportManifest::Slot* slot = CompactTransportManifest::slot(slotName);
    if (slot == nullptr || slot->kind != kind) invalidManifest();

    json::Value endpoint = defaults;
    merge(endpoint, &*values);
    const std::string trimmedServer = trimmedRequiredString(endpoint, "server");
    const std::int64_t port = endpointPort(endpoint);

    json::Value transport = json::Value::object();
    transport["id"] = code + ":" + slotName + ":" + trimmedServer + ":" + std::to_string(port);
    transport["transport_id"] = std::string(slot->transportID);
    transport["label"] = std::string(slot->label);
    transport["kind"] = std::string(slot->kind);
    transport["priority"] = slot->priority;
    transport["catalog_id"] = code + ":" + slotName;
    // What ties the transport to its slot and its catalog line cannot be
    // overridden; the route's id, label and priority can. The built values
    // are strings, so an override passes only with the identical string.
    const json::Value pinned = {{"transport_id", transport["transport_id"]},
                                {"kind", transport["kind"]},
                                {"catalog_id", transport["catalog_id"]}};
    merge(transport, overrides);
    transport["endpoint"] = std::move(endpoint);
    for (const auto& [key, value] : pinned.items()) {
        if (transport[key] != value) invalidManifest();
    }
    return transport;
}

void expandNode(const json::Value& node, const KindSet& optionalKinds, ExpandedNodes& expanded) {
    if (!hasOnlyKeys(node, {"id", "t", "d", "o"})) invalidManifest();
    const std::string code = unicode::uppercased(trimmedRequiredString(node, "id"));
    const json::Value* defaults = optionalObject(node, "d");
    const json::Value* overrides = optionalObject(node, "o");
    if (overrides != nullptr && (overrides->contains("id") || overrides->contains("transports"))) {
        invalidManifest();
    }

    json::Value kept = json::Value::array();
    for (const json::Value& entry : objectList(node, "t")) {
        json::Value transport = expandEntry(entry, code, defaults ? *defaults : json::Value::object(), expanded);
        const std::string& kind = transport["kind"].get_ref<const std::string&>();
        if (isSupportedTransportKind(kind)) {
            if (const std::string* catalogID = stringMember(transport, "catalog_id")) {
                expanded.catalogIDs.insert(*catalogID);
            }
            kept.push_back(std::move(transport));
        } else if (optionalKinds.contains(kind)) {
            expanded.skippedOptional = true;
        } else {
            invalidManifest();
        }
    }
    if (kept.empty()) return;
    expanded.keptTransports += kept.size();

    json::Value rebuilt = json::Value::object();
    rebuilt["id"] = code;
    rebuilt["label"] = TransportManifestCatalog::nodeLabel(code);
    rebuilt["transports"] = std::move(kept);
    merge(rebuilt, overrides);
    expanded.nodes.push_back(std::move(rebuilt));
}

// The projection of a v1 document onto the core kinds, as a JSON value.
json::Value projectOntoCoreKinds(const json::Value& document) {
    if (!document.is_object()) invalidManifest();
    json::Value projected = document;
    const std::set<std::string> catalogIDs = manifest_json::keepTransports(
        projected, [](const std::string& kind) { return CompactTransportManifest::isCoreKind(kind); });
    manifest_json::rebuildCatalog(projected, catalogIDs);
    return projected;
}

}  // namespace

const CompactTransportManifest::Slot* CompactTransportManifest::slot(std::string_view name) noexcept {
    const auto found =
        std::find_if(kSlots.begin(), kSlots.end(), [name](const Slot& slot) { return slot.name == name; });
    return found == kSlots.end() ? nullptr : &*found;
}

bool CompactTransportManifest::isCoreKind(std::string_view kind) noexcept {
    return std::find(kCoreKinds.begin(), kCoreKinds.end(), kind) != kCoreKinds.end();
}

ExpandedCompactTransportManifest CompactTransportManifest::expand(std::string_view payload) {
    const json::Value document = json::parse(payload, json::TopLevel::any);
    if (!document.is_object()) invalidManifest();
    const std::string* schema = stringMember(document, "schema");
    if (schema == nullptr || *schema != kSchemaV2) invalidManifest();
    const std::string* codec = stringMember(document, "codec");
    if (codec == nullptr || *codec != kCodec) invalidManifest();
    const std::string* legacySHA256 = stringMember(document, "legacy_sha256");
    if (legacySHA256 == nullptr || !isLowercaseSha256Hex(*legacySHA256)) invalidManifest();

    const KindSet requiredKinds = sortedKindList(document, "requires");
    const KindSet optionalKinds = sortedKindList(document, "optional");
    for (const std::string& kind : requiredKinds) {
        if (optionalKinds.contains(kind) || !isSupportedTransportKind(kind)) invalidManifest();
    }

    ExpandedNodes expanded;
    for (const json::Value& node : objectList(document, "nodes")) expandNode(node, optionalKinds, expanded);

    // The declared kinds must describe the entries exactly: the core kinds
    // used are required, every other kind used is optional, nothing else.
    KindSet coreKindsUsed;
    for (const std::string& kind : expanded.entryKinds) {
        if (isCoreKind(kind)) coreKindsUsed.insert(kind);
    }
    if (requiredKinds != coreKindsUsed) invalidManifest();
    KindSet declaredKinds = requiredKinds;
    declaredKinds.insert(optionalKinds.begin(), optionalKinds.end());
    if (declaredKinds != expanded.entryKinds) invalidManifest();
    if (expanded.keptTransports == 0) invalidManifest();

    json::Value v1 = document;
    for (const char* key : {"schema", "codec", "legacy_sha256", "requires", "optional", "nodes"}) v1.erase(key);
    v1["schema"] = std::string(TarnelTransportManifest::kSchemaV1);
    v1["nodes"] = std::move(expanded.nodes);
    // Refuses a service class that trims to nothing.
    manifest_json::rebuildCatalog(v1, expanded.catalogIDs);

    if (sha256Hex(json::writeCanonical(projectOntoCoreKinds(v1))) != *legacySHA256) invalidManifest();
    return {json::writeCanonical(v1), *legacySHA256, expanded.skippedOptional};
}

std::string CompactTransportManifest::legacyProjection(std::string_view expandedPayload) {
    return json::writeCanonical(projectOntoCoreKinds(json::parse(expandedPayload, json::TopLevel::any)));
}

}  // namespace tarnel
