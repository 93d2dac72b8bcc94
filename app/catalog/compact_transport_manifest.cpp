#include "app/catalog/compact_transport_manifest.hpp"

#include <algorithm>
#include <initializer_list>
#include <set>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/manifest_json.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/digest.hpp"

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

// The member of the object `top` merged over the object `base` (null for
// none): the value `top` gives, else the one `base` gives, else null.
const json::Value* mergedMember(const json::Value& top, const json::Value* base, std::string_view key) {
    if (const auto found = top.find(key); found != top.end()) return &*found;
    if (base == nullptr) return nullptr;
    const auto found = base->find(key);
    return found == base->end() ? nullptr : &*found;
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
std::int64_t endpointPort(const json::Value* port) {
    if (port == nullptr || !port->is_number_integer()) invalidManifest();
    if (port->is_number_unsigned()) {
        const auto value = port->get<std::uint64_t>();
        if (value < 1 || value > 65535) invalidManifest();
        return static_cast<std::int64_t>(value);
    }
    const auto value = port->get<std::int64_t>();
    if (value < 1 || value > 65535) invalidManifest();
    return value;
}

// Calls `visit(key, member)` for every key of the object (null for none) and
// of `built` (ascending), once each and in ascending order: `member` is the
// object's value for the key, or null when only `built` has it.
template <typename Visit>
void forEachKey(const json::Value* object, std::initializer_list<std::string_view> built, Visit&& visit) {
    auto next = built.begin();
    if (object != nullptr) {
        for (const auto& [key, member] : object->get_ref<const json::Value::object_t&>()) {
            for (; next != built.end() && *next <= key; ++next) {
                if (*next != key) visit(*next, nullptr);
            }
            visit(std::string_view(key), &member);
        }
    }
    for (; next != built.end(); ++next) visit(*next, nullptr);
}

// Calls `visit(key, member)` for every member of the object `top` merged over
// the object `base` (null for none), in ascending key order.
template <typename Visit>
void forEachMergedMember(const json::Value& top, const json::Value* base, Visit&& visit) {
    const auto& upper = top.get_ref<const json::Value::object_t&>();
    auto next = upper.begin();
    if (base != nullptr) {
        for (const auto& [key, member] : base->get_ref<const json::Value::object_t&>()) {
            for (; next != upper.end() && next->first < key; ++next) visit(next->first, next->second);
            if (next != upper.end() && next->first == key) continue;  // `top` replaces it
            visit(key, member);
        }
    }
    for (; next != upper.end(); ++next) visit(next->first, next->second);
}

// The members of a compact document that its v1 document does not carry.
bool isCompactOnlyMember(std::string_view key) {
    return key == "codec" || key == "legacy_sha256" || key == "requires" || key == "optional";
}

// The containers a v1 document holds above a member of a transport's
// endpoint: the document, "nodes", the node, "transports", the transport and
// the endpoint.
constexpr std::size_t kEndpointMemberLevel = 6;

const json::Value& emptyObject() {
    static const json::Value empty = json::Value::object();
    return empty;
}

}  // namespace

// What the expansion learns across all nodes.
struct CompactManifestExpansion::Tally {
    KindSet optionalKinds;
    KindSet entryKinds;
    std::set<std::string> catalogIDs;
    std::size_t keptTransports = 0;
    // The deepest nesting of the v1 document's endpoints.
    std::size_t endpointDepth = 0;
};

const CompactTransportManifest::Slot* CompactTransportManifest::slot(std::string_view name) noexcept {
    const auto found =
        std::find_if(kSlots.begin(), kSlots.end(), [name](const Slot& slot) { return slot.name == name; });
    return found == kSlots.end() ? nullptr : &*found;
}

bool CompactTransportManifest::isCoreKind(std::string_view kind) noexcept {
    return std::find(kCoreKinds.begin(), kCoreKinds.end(), kind) != kCoreKinds.end();
}

// ---------------------------------------------------------------------------
// Expansion

CompactManifestExpansion::CompactManifestExpansion(json::Value document) : document_(std::move(document)) {
    const json::Value& compact = document_;
    if (!compact.is_object()) invalidManifest();
    const std::string* schema = stringMember(compact, "schema");
    if (schema == nullptr || *schema != CompactTransportManifest::kSchemaV2) invalidManifest();
    const std::string* codec = stringMember(compact, "codec");
    if (codec == nullptr || *codec != CompactTransportManifest::kCodec) invalidManifest();
    const std::string* legacySHA256 = stringMember(compact, "legacy_sha256");
    if (legacySHA256 == nullptr || !isLowercaseSha256Hex(*legacySHA256)) invalidManifest();
    legacySHA256_ = *legacySHA256;

    Tally tally;
    const KindSet requiredKinds = sortedKindList(compact, "requires");
    tally.optionalKinds = sortedKindList(compact, "optional");
    for (const std::string& kind : requiredKinds) {
        if (tally.optionalKinds.contains(kind) || !isSupportedTransportKind(kind)) invalidManifest();
    }

    for (const json::Value& node : objectList(compact, "nodes")) expandNode(node, tally);

    // The declared kinds must describe the entries exactly: the core kinds
    // used are required, every other kind used is optional, nothing else.
    KindSet coreKindsUsed;
    for (const std::string& kind : tally.entryKinds) {
        if (CompactTransportManifest::isCoreKind(kind)) coreKindsUsed.insert(kind);
    }
    if (requiredKinds != coreKindsUsed) invalidManifest();
    KindSet declaredKinds = requiredKinds;
    declaredKinds.insert(tally.optionalKinds.begin(), tally.optionalKinds.end());
    if (declaredKinds != tally.entryKinds) invalidManifest();
    if (tally.keptTransports == 0) invalidManifest();

    const std::string serviceClass = manifest_json::trimmedStringMember(compact, "service_class");
    if (serviceClass.empty()) invalidManifest();
    catalog_ = TransportManifestCatalog::nodes(serviceClass, tally.catalogIDs);
    payload_ = write(false, catalog_);

    // The legacy projection keeps the transports of core kinds; when those
    // are all there are, it is the document itself.
    std::set<std::string> coreCatalogIDs;
    bool onlyCoreKinds = true;
    for (const Node& node : nodes_) {
        for (const Transport& transport : node.transports) {
            if (CompactTransportManifest::isCoreKind(transport.slot->kind)) {
                coreCatalogIDs.insert(transport.catalogID);
            } else {
                onlyCoreKinds = false;
            }
        }
    }
    const std::string projectionHash =
        sha256Hex(onlyCoreKinds ? payload_ : write(true, TransportManifestCatalog::nodes(serviceClass, coreCatalogIDs)));
    if (projectionHash != legacySHA256_) invalidManifest();

    // What the JSON reader would refuse to read back is no expansion.
    if (tally.endpointDepth > json::kDefaultMaximumDepth) throw json::JsonError(json::JsonError::Case::nestingTooDeep);
}

void CompactManifestExpansion::expandNode(const json::Value& node, Tally& tally) {
    if (!hasOnlyKeys(node, {"id", "t", "d", "o"})) invalidManifest();
    Node expanded;
    expanded.code = unicode::uppercased(trimmedRequiredString(node, "id"));
    const json::Value* defaults = optionalObject(node, "d");
    expanded.overrides = optionalObject(node, "o");
    if (expanded.overrides != nullptr &&
        (expanded.overrides->contains("id") || expanded.overrides->contains("transports"))) {
        invalidManifest();
    }

    for (const json::Value& entry : objectList(node, "t")) {
        Transport transport = expandEntry(entry, expanded.code, defaults, tally);
        const std::string_view kind = transport.slot->kind;
        if (isSupportedTransportKind(kind)) {
            tally.catalogIDs.insert(transport.catalogID);
            expanded.transports.push_back(std::move(transport));
        } else if (tally.optionalKinds.contains(kind)) {
            skippedOptional_ = true;
        } else {
            invalidManifest();
        }
    }
    if (expanded.transports.empty()) return;
    tally.keptTransports += expanded.transports.size();
    for (const Transport& transport : expanded.transports) {
        forEachMergedMember(*transport.values, transport.defaults, [&](std::string_view, const json::Value& member) {
            tally.endpointDepth = std::max(tally.endpointDepth, kEndpointMemberLevel + json::nestingDepth(member));
        });
    }
    nodes_.push_back(std::move(expanded));
}

CompactManifestExpansion::Transport CompactManifestExpansion::expandEntry(const json::Value& entry,
                                                                        const std::string& code,
                                                                        const json::Value* defaults,
                                                                        Tally& tally) const {
    if (!hasOnlyKeys(entry, {"s", "k", "e", "o"})) invalidManifest();
    const std::string slotName = trimmedRequiredString(entry, "s");
    const std::string kind = trimmedRequiredString(entry, "k");
    const auto values = entry.find("e");
    if (values == entry.end() || !values->is_object()) invalidManifest();
    Transport transport;
    transport.defaults = defaults;
    transport.values = &*values;
    transport.overrides = optionalObject(entry, "o");
    tally.entryKinds.insert(kind);

    transport.slot = CompactTransportManifest::slot(slotName);
    if (transport.slot == nullptr || transport.slot->kind != kind) invalidManifest();

    // The endpoint: the node's defaults with the entry's values over them.
    const json::Value* server = mergedMember(*transport.values, defaults, "server");
    const std::string trimmedServer =
        server != nullptr && server->is_string() ? unicode::trimmingWhitespaceAndNewlines(server->get_ref<const std::string&>())
                                                 : std::string();
    if (trimmedServer.empty()) invalidManifest();
    const std::int64_t port = endpointPort(mergedMember(*transport.values, defaults, "port"));

    transport.catalogID = code + ":" + slotName;
    transport.id = transport.catalogID + ":" + trimmedServer + ":" + std::to_string(port);
    // What ties the transport to its slot and its catalog line cannot be
    // overridden; the route's id, label and priority can. The built values
    // are strings, so an override passes only with the identical string.
    if (transport.overrides != nullptr) {
        const auto repeats = [&](std::string_view key, std::string_view built) {
            const auto found = transport.overrides->find(key);
            return found == transport.overrides->end() ||
                   (found->is_string() && found->get_ref<const std::string&>() == built);
        };
        if (!repeats("transport_id", transport.slot->transportID) || !repeats("kind", transport.slot->kind) ||
            !repeats("catalog_id", transport.catalogID)) {
            invalidManifest();
        }
    }
    return transport;
}

// ---------------------------------------------------------------------------
// Writing: the members of every object in ascending key order, each value
// written as the canonical writer writes it.

std::string CompactManifestExpansion::write(bool coreKindsOnly, const std::vector<ManifestCatalogNode>& catalog) const {
    json::CanonicalWriter out;
    out.beginObject();
    // The compact document's own members, but for those of the compact form,
    // with "schema", "catalog" and "nodes" of the v1 document in their places.
    forEachKey(&document_, {"catalog", "nodes", "schema"}, [&](std::string_view key, const json::Value* member) {
        if (isCompactOnlyMember(key)) return;
        out.key(key);
        if (key == "catalog") {
            TransportManifestCatalog::write(out, catalog);
        } else if (key == "nodes") {
            out.beginArray();
            for (const Node& node : nodes_) writeNode(out, node, coreKindsOnly);
            out.endArray();
        } else if (key == "schema") {
            out.string(TarnelTransportManifest::kSchemaV1);
        } else {
            out.value(*member);
        }
    });
    out.endObject();
    return out.take();
}

void CompactManifestExpansion::writeNode(json::CanonicalWriter& out, const Node& node, bool coreKindsOnly) const {
    const auto kept = [coreKindsOnly](const Transport& transport) {
        return !coreKindsOnly || CompactTransportManifest::isCoreKind(transport.slot->kind);
    };
    if (std::none_of(node.transports.begin(), node.transports.end(), kept)) return;
    out.beginObject();
    // The node's overrides replace its label and add members of their own.
    forEachKey(node.overrides, {"id", "label", "transports"}, [&](std::string_view key, const json::Value* member) {
        out.key(key);
        if (key == "id") {
            out.string(node.code);
        } else if (key == "transports") {
            out.beginArray();
            for (const Transport& transport : node.transports) {
                if (kept(transport)) writeTransport(out, transport);
            }
            out.endArray();
        } else if (member != nullptr) {
            out.value(*member);
        } else {
            out.string(TransportManifestCatalog::nodeLabel(node.code));
        }
    });
    out.endObject();
}

void CompactManifestExpansion::writeTransport(json::CanonicalWriter& out, const Transport& transport) {
    const CompactTransportManifest::Slot& slot = *transport.slot;
    out.beginObject();
    // The entry's overrides replace the built members (those that tie the
    // transport to its slot only with the same text) but not the endpoint.
    forEachKey(transport.overrides,
               {"catalog_id", "endpoint", "id", "kind", "label", "priority", "transport_id"},
               [&](std::string_view key, const json::Value* member) {
                   out.key(key);
                   if (key == "endpoint") {
                       out.beginObject();
                       forEachMergedMember(*transport.values, transport.defaults,
                                           [&](std::string_view endpointKey, const json::Value& value) {
                                               out.key(endpointKey);
                                               out.value(value);
                                           });
                       out.endObject();
                   } else if (member != nullptr) {
                       out.value(*member);
                   } else if (key == "catalog_id") {
                       out.string(transport.catalogID);
                   } else if (key == "id") {
                       out.string(transport.id);
                   } else if (key == "kind") {
                       out.string(slot.kind);
                   } else if (key == "label") {
                       out.string(slot.label);
                   } else if (key == "priority") {
                       out.integer(slot.priority);
                   } else {
                       out.string(slot.transportID);
                   }
               });
    out.endObject();
}

// ---------------------------------------------------------------------------
// Decoding: the reads of TarnelTransportManifest::fromJson in its order, each
// member taken from where the v1 document has it.

TarnelTransportManifest CompactManifestExpansion::decode() const {
    // The members other than the lists are the compact document's own; only
    // the schema is the v1 one.
    TarnelTransportManifest manifest = TarnelTransportManifest::headerFromJson(json::ObjectReader(document_));
    manifest.schema = std::string(TarnelTransportManifest::kSchemaV1);
    // The rebuilt catalog, whose objects decode to these records.
    manifest.catalog = catalog_;

    manifest.nodes.reserve(nodes_.size());
    for (std::size_t nodeIndex = 0; nodeIndex < nodes_.size(); ++nodeIndex) {
        const Node& node = nodes_[nodeIndex];
        const std::string nodePath = "nodes[" + std::to_string(nodeIndex) + "]";
        const json::Value& nodeOverrides = node.overrides != nullptr ? *node.overrides : emptyObject();
        const json::ObjectReader nodeReader(nodeOverrides, nodePath);
        ManifestNode& record = manifest.nodes.emplace_back();
        record.id = node.code;
        record.label = nodeOverrides.contains("label") ? nodeReader.string("label")
                                                       : TransportManifestCatalog::nodeLabel(node.code);

        record.transports.reserve(node.transports.size());
        for (std::size_t index = 0; index < node.transports.size(); ++index) {
            const Transport& transport = node.transports[index];
            const CompactTransportManifest::Slot& slot = *transport.slot;
            const std::string path = nodePath + ".transports[" + std::to_string(index) + "]";
            const json::Value& overrides = transport.overrides != nullptr ? *transport.overrides : emptyObject();
            const json::ObjectReader reader(overrides, path);
            ManifestTransport& decoded = record.transports.emplace_back();
            decoded.id = overrides.contains("id") ? reader.string("id") : transport.id;
            decoded.transportID = slot.transportID;  // an override can only repeat it
            decoded.label = overrides.contains("label") ? reader.string("label") : std::string(slot.label);
            decoded.kind = slot.kind;
            decoded.priority =
                overrides.contains("priority") ? reader.integer<std::int64_t>("priority") : slot.priority;
            decoded.endpoint = ManifestEndpoint::fromJson(
                json::ObjectReader(*transport.values, transport.defaults, reader.pathOf("endpoint")));
        }
    }
    return manifest;
}

// ---------------------------------------------------------------------------
// The forms on bytes

ExpandedCompactTransportManifest CompactTransportManifest::expand(std::string_view payload) {
    const CompactManifestExpansion expansion(json::parse(payload, json::TopLevel::any));
    return {expansion.payload(), expansion.legacySHA256(), expansion.skippedOptional()};
}

std::string CompactTransportManifest::legacyProjection(std::string_view expandedPayload) {
    json::Value projected = json::parse(expandedPayload, json::TopLevel::any);
    if (!projected.is_object()) invalidManifest();
    const std::set<std::string> catalogIDs = manifest_json::keepTransports(
        projected, [](const std::string& kind) { return CompactTransportManifest::isCoreKind(kind); });
    manifest_json::rebuildCatalog(projected, catalogIDs);
    return json::writeCanonical(projected);
}

}  // namespace tarnel
