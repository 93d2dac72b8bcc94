#include "app/catalog/compact_transport_manifest.hpp"

#include <algorithm>
#include <initializer_list>
#include <set>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/manifest_json.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "app/catalog/unicode_text.hpp"
#include "common/base/digest.hpp"

namespace tarnel {

namespace {

using KindSet = std::set<std::string, std::less<>>;
using Node = json::Document::Node;
using manifest_json::invalidManifest;

// The member's text; nothing when it is missing or not a string.
std::optional<std::string_view> stringMember(const Node& object, std::string_view key) {
    const std::optional<Node> found = object.find(key);
    if (!found || !found->isString()) return std::nullopt;
    return found->string();
}

// The member's text trimmed of white space and newlines; it must be a string
// and must not trim to nothing.
std::string trimmedRequiredString(const Node& object, std::string_view key) {
    const std::optional<std::string_view> text = stringMember(object, key);
    std::string trimmed = text ? unicode::trimmingWhitespaceAndNewlines(*text) : std::string();
    if (trimmed.empty()) invalidManifest();
    return trimmed;
}

bool hasOnlyKeys(const Node& object, std::initializer_list<std::string_view> allowed) {
    for (std::size_t position = 0; position < object.size(); ++position) {
        if (std::find(allowed.begin(), allowed.end(), object.keyAt(position)) == allowed.end()) return false;
    }
    return true;
}

// An optional member that, when present (null included), must be an object.
std::optional<Node> optionalObject(const Node& object, std::string_view key) {
    std::optional<Node> found = object.find(key);
    if (found && !found->isObject()) invalidManifest();
    return found;
}

// The member as a list whose every element is an object; invalidManifest
// otherwise.
Node objectList(const Node& object, std::string_view key) {
    const std::optional<Node> found = object.find(key);
    if (!found || !found->isArray()) invalidManifest();
    found->forEachElement([](const Node& element) {
        if (!element.isObject()) invalidManifest();
    });
    return *found;
}

// The member of the object `top` merged over the object `base`: the value
// `top` gives, else the one `base` gives.
std::optional<Node> mergedMember(const Node& top, const std::optional<Node>& base, std::string_view key) {
    if (std::optional<Node> found = top.find(key)) return found;
    return base ? base->find(key) : std::nullopt;
}

// "requires" or "optional": a list of non-empty strings written in ascending
// order (by code point) without duplicates, exactly as the signer sorted it.
KindSet sortedKindList(const Node& document, std::string_view key) {
    const std::optional<Node> found = document.find(key);
    if (!found || !found->isArray()) invalidManifest();
    KindSet kinds;
    std::optional<std::string_view> previous;
    found->forEachElement([&](const Node& element) {
        if (!element.isString()) invalidManifest();
        const std::string_view kind = element.string();
        if (kind.empty() || (previous && !(*previous < kind))) invalidManifest();
        kinds.emplace(kind);
        previous = kind;
    });
    return kinds;
}

// The endpoint's port: an integer from 1 to 65535.
std::int64_t endpointPort(const std::optional<Node>& port) {
    if (!port || !port->isInteger()) invalidManifest();
    if (port->kind() == json::Document::Kind::unsignedInteger) {
        const std::uint64_t value = port->unsignedInteger();
        if (value < 1 || value > 65535) invalidManifest();
        return static_cast<std::int64_t>(value);
    }
    const std::int64_t value = port->integer();
    if (value < 1 || value > 65535) invalidManifest();
    return value;
}

// Calls `visit(key, member)` for every key of the object (none for none) and
// of `built` (ascending), once each and in ascending order: `member` is the
// object's value for the key, or none when only `built` has it.
template <typename Visit>
void forEachKey(const std::optional<Node>& object, std::initializer_list<std::string_view> built, Visit&& visit) {
    auto next = built.begin();
    for (std::size_t position = 0; object && position < object->size(); ++position) {
        const std::string_view key = object->keyAt(position);
        for (; next != built.end() && *next <= key; ++next) {
            if (*next != key) visit(*next, std::optional<Node>());
        }
        visit(key, std::optional<Node>(object->valueAt(position)));
    }
    for (; next != built.end(); ++next) visit(*next, std::optional<Node>());
}

// The members of a compact document that its v1 document does not carry.
bool isCompactOnlyMember(std::string_view key) {
    return key == "codec" || key == "legacy_sha256" || key == "requires" || key == "optional";
}

// The containers a v1 document holds above a member of a transport's
// endpoint: the document, "nodes", the node, "transports", the transport and
// the endpoint.
constexpr std::size_t kEndpointMemberLevel = 6;

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

CompactManifestExpansion::CompactManifestExpansion(json::Document document) : document_(std::move(document)) {
    const Node compact = document_.root();
    if (!compact.isObject()) invalidManifest();
    if (stringMember(compact, "schema") != CompactTransportManifest::kSchemaV2) invalidManifest();
    if (stringMember(compact, "codec") != CompactTransportManifest::kCodec) invalidManifest();
    const std::optional<std::string_view> legacySHA256 = stringMember(compact, "legacy_sha256");
    if (!legacySHA256 || !isLowercaseSha256Hex(*legacySHA256)) invalidManifest();
    legacySHA256_ = *legacySHA256;

    Tally tally;
    const KindSet requiredKinds = sortedKindList(compact, "requires");
    tally.optionalKinds = sortedKindList(compact, "optional");
    for (const std::string& kind : requiredKinds) {
        if (tally.optionalKinds.contains(kind) || !isSupportedTransportKind(kind)) invalidManifest();
    }

    objectList(compact, "nodes").forEachElement([&](const Node& node) { expandNode(node, tally); });

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

    const std::optional<std::string_view> serviceClassText = stringMember(compact, "service_class");
    const std::string serviceClass =
        serviceClassText ? unicode::trimmingWhitespaceAndNewlines(*serviceClassText) : std::string();
    if (serviceClass.empty()) invalidManifest();
    catalog_ = TransportManifestCatalog::nodes(serviceClass, tally.catalogIDs);
    payload_ = write(false, catalog_);

    // The legacy projection keeps the transports of core kinds; when those
    // are all there are, it is the document itself.
    const auto isCore = [](const Transport& transport) {
        return CompactTransportManifest::isCoreKind(transport.slot->kind);
    };
    const bool onlyCoreKinds = std::all_of(nodes_.begin(), nodes_.end(), [&](const ExpandedNode& node) {
        return std::all_of(node.transports.begin(), node.transports.end(), isCore);
    });
    std::string projectionHash;
    if (onlyCoreKinds) {
        projectionHash = sha256Hex(payload_);
    } else {
        std::set<std::string> coreCatalogIDs;
        for (const ExpandedNode& node : nodes_) {
            for (const Transport& transport : node.transports) {
                if (isCore(transport)) coreCatalogIDs.insert(transport.catalogID);
            }
        }
        projectionHash = sha256Hex(write(true, TransportManifestCatalog::nodes(serviceClass, coreCatalogIDs)));
    }
    if (projectionHash != legacySHA256_) invalidManifest();

    // What the JSON reader would refuse to read back is no expansion.
    if (tally.endpointDepth > json::kDefaultMaximumDepth) throw json::JsonError(json::JsonError::Case::nestingTooDeep);
}

void CompactManifestExpansion::expandNode(const Node& node, Tally& tally) {
    if (!hasOnlyKeys(node, {"id", "t", "d", "o"})) invalidManifest();
    ExpandedNode expanded;
    expanded.code = unicode::uppercased(trimmedRequiredString(node, "id"));
    const std::optional<Node> defaults = optionalObject(node, "d");
    expanded.overrides = optionalObject(node, "o");
    if (expanded.overrides && (expanded.overrides->contains("id") || expanded.overrides->contains("transports"))) {
        invalidManifest();
    }

    objectList(node, "t").forEachElement([&](const Node& entry) {
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
    });
    if (expanded.transports.empty()) return;
    tally.keptTransports += expanded.transports.size();
    for (const Transport& transport : expanded.transports) {
        json::forEachMergedMember(transport.values, transport.defaults, [&](std::string_view, const Node& member) {
            tally.endpointDepth = std::max(tally.endpointDepth, kEndpointMemberLevel + member.nestingDepth());
        });
    }
    nodes_.push_back(std::move(expanded));
}

CompactManifestExpansion::Transport CompactManifestExpansion::expandEntry(const Node& entry, const std::string& code,
                                                                        const std::optional<Node>& defaults,
                                                                        Tally& tally) const {
    if (!hasOnlyKeys(entry, {"s", "k", "e", "o"})) invalidManifest();
    const std::string slotName = trimmedRequiredString(entry, "s");
    const std::string kind = trimmedRequiredString(entry, "k");
    const std::optional<Node> values = entry.find("e");
    if (!values || !values->isObject()) invalidManifest();
    Transport transport{
        .slot = nullptr, .id = {}, .catalogID = {}, .values = *values, .defaults = defaults,
        .overrides = optionalObject(entry, "o")};
    tally.entryKinds.insert(kind);

    transport.slot = CompactTransportManifest::slot(slotName);
    if (transport.slot == nullptr || transport.slot->kind != kind) invalidManifest();

    // The endpoint: the node's defaults with the entry's values over them.
    const std::optional<Node> server = mergedMember(*values, defaults, "server");
    const std::string trimmedServer =
        server && server->isString() ? unicode::trimmingWhitespaceAndNewlines(server->string()) : std::string();
    if (trimmedServer.empty()) invalidManifest();
    const std::int64_t port = endpointPort(mergedMember(*values, defaults, "port"));

    transport.catalogID = code + ":" + slotName;
    transport.id = transport.catalogID + ":" + trimmedServer + ":" + std::to_string(port);
    // What ties the transport to its slot and its catalog line cannot be
    // overridden; the route's id, label and priority can. The built values
    // are strings, so an override passes only with the identical string.
    if (transport.overrides) {
        const auto repeats = [&](std::string_view key, std::string_view built) {
            const std::optional<Node> found = transport.overrides->find(key);
            return !found || (found->isString() && found->string() == built);
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
    // An expansion repeats every node's defaults and every slot's texts: it
    // is commonly two to three times the compact text.
    json::CanonicalWriter out(3 * document_.textSize());
    out.beginObject();
    // The compact document's own members, but for those of the compact form,
    // with "schema", "catalog" and "nodes" of the v1 document in their places.
    forEachKey(document_.root(), {"catalog", "nodes", "schema"},
               [&](std::string_view key, const std::optional<Node>& member) {
                   if (isCompactOnlyMember(key)) return;
                   out.key(key);
                   if (key == "catalog") {
                       TransportManifestCatalog::write(out, catalog);
                   } else if (key == "nodes") {
                       out.beginArray();
                       for (const ExpandedNode& node : nodes_) writeNode(out, node, coreKindsOnly);
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

void CompactManifestExpansion::writeNode(json::CanonicalWriter& out, const ExpandedNode& node,
                                         bool coreKindsOnly) const {
    const auto kept = [coreKindsOnly](const Transport& transport) {
        return !coreKindsOnly || CompactTransportManifest::isCoreKind(transport.slot->kind);
    };
    if (std::none_of(node.transports.begin(), node.transports.end(), kept)) return;
    out.beginObject();
    // The node's overrides replace its label and add members of their own.
    forEachKey(node.overrides, {"id", "label", "transports"},
               [&](std::string_view key, const std::optional<Node>& member) {
                   out.key(key);
                   if (key == "id") {
                       out.string(node.code);
                   } else if (key == "transports") {
                       out.beginArray();
                       for (const Transport& transport : node.transports) {
                           if (kept(transport)) writeTransport(out, transport);
                       }
                       out.endArray();
                   } else if (member) {
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
    forEachKey(transport.overrides, {"catalog_id", "endpoint", "id", "kind", "label", "priority", "transport_id"},
               [&](std::string_view key, const std::optional<Node>& member) {
                   out.key(key);
                   if (key == "endpoint") {
                       out.beginObject();
                       json::forEachMergedMember(transport.values, transport.defaults,
                                                 [&](std::string_view endpointKey, const Node& value) {
                                                     out.key(endpointKey);
                                                     out.value(value);
                                                 });
                       out.endObject();
                   } else if (member) {
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
    json::Value header = json::Value::object();
    for (const std::string_view key :
         {"expires_at", "generated_at", "revision", "schema", "service_class", "subscription_origins"}) {
        if (const std::optional<Node> member = document_.root().find(key)) header[std::string(key)] = member->toValue();
    }
    TarnelTransportManifest manifest = TarnelTransportManifest::headerFromJson(json::ObjectReader(header));
    manifest.schema = std::string(TarnelTransportManifest::kSchemaV1);
    // The rebuilt catalog, whose objects decode to these records.
    manifest.catalog = catalog_;

    manifest.nodes.reserve(nodes_.size());
    for (std::size_t nodeIndex = 0; nodeIndex < nodes_.size(); ++nodeIndex) {
        const ExpandedNode& node = nodes_[nodeIndex];
        const std::string nodePath = "nodes[" + std::to_string(nodeIndex) + "]";
        ManifestNode& record = manifest.nodes.emplace_back();
        record.id = node.code;
        if (node.overrides && node.overrides->contains("label")) {
            const json::Value overrides = node.overrides->toValue();
            record.label = json::ObjectReader(overrides, nodePath).string("label");
        } else {
            record.label = TransportManifestCatalog::nodeLabel(node.code);
        }

        record.transports.reserve(node.transports.size());
        for (std::size_t index = 0; index < node.transports.size(); ++index) {
            const Transport& transport = node.transports[index];
            const CompactTransportManifest::Slot& slot = *transport.slot;
            const std::string path = nodePath + ".transports[" + std::to_string(index) + "]";
            ManifestTransport& decoded = record.transports.emplace_back();
            decoded.id = transport.id;
            decoded.transportID = slot.transportID;  // an override can only repeat it
            decoded.label = slot.label;
            decoded.kind = slot.kind;
            decoded.priority = slot.priority;
            if (transport.overrides) {
                const json::Value overrides = transport.overrides->toValue();
                const json::ObjectReader reader(overrides, path);
                if (overrides.contains("id")) decoded.id = reader.string("id");
                if (overrides.contains("label")) decoded.label = reader.string("label");
                if (overrides.contains("priority")) decoded.priority = reader.integer<std::int64_t>("priority");
            }
            decoded.endpoint = ManifestEndpoint::fromJson(transport.values, transport.defaults, path + ".endpoint");
        }
    }
    return manifest;
}

// ---------------------------------------------------------------------------
// The forms on bytes

ExpandedCompactTransportManifest CompactTransportManifest::expand(std::string_view payload) {
    const CompactManifestExpansion expansion(json::Document::parse(payload, json::TopLevel::any));
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
