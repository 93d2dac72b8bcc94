#include "app/catalog/transport_manifest_catalog.hpp"

#include <algorithm>
#include <bitset>
#include <map>
#include <vector>

namespace tarnel {

bool isSupportedTransportKind(std::string_view kind) noexcept {
    return std::find(kSupportedTransportKinds.begin(), kSupportedTransportKinds.end(), kind) !=
           kSupportedTransportKinds.end();
}

namespace {

std::string catalogID(std::string_view code, const ManifestCatalogSlot& slot) {
    std::string id;
    id.reserve(code.size() + 1 + slot.name.size());
    return id.append(code).append(":").append(slot.name);
}

ManifestCatalogTransport slotRecord(std::string_view code, const ManifestCatalogSlot& slot,
                                    std::string_view serviceClass, bool present) {
    CatalogRouteStatus status = CatalogRouteStatus::temporarilyUnavailable;
    if (present) {
        status = CatalogRouteStatus::available;
    } else if (serviceClass == "free" &&
               std::find(kPaidOnlyCatalogCodes.begin(), kPaidOnlyCatalogCodes.end(), code) !=
                   kPaidOnlyCatalogCodes.end()) {
        status = CatalogRouteStatus::paidRequired;
    }
    return {catalogID(code, slot), std::string(slot.transportID), std::string(slot.label), std::string(slot.kind),
            status};
}

}  // namespace

std::optional<std::string> TransportManifestCatalog::nodeCode(std::string_view catalogID) {
    std::size_t start = 0;
    while (start < catalogID.size()) {
        const std::size_t end = std::min(catalogID.find(':', start), catalogID.size());
        if (end > start) return std::string(catalogID.substr(start, end - start));
        start = end + 1;
    }
    return std::nullopt;
}

std::string TransportManifestCatalog::nodeLabel(std::string_view code) {
    for (const auto& country : kListedCatalogCountries) {
        if (country.code == code) return std::string(country.label);
    }
    return std::string(code);
}

std::vector<ManifestCatalogNode> TransportManifestCatalog::nodes(std::string_view serviceClass,
                                                                const std::set<std::string>& catalogIDs) {
    // Every node code with the slots present under it, from one pass over the
    // ids: a slot is present when an id is exactly the code, ":" and the slot's
    // name. Listed countries come first, in table order; the other codes
    // follow in ascending order (by bytes, i.e. by code point).
    using PresentSlots = std::bitset<kBaseCatalogSlots.size() + kExtraCatalogSlots.size()>;
    const auto slotAt = [](std::size_t index) -> const ManifestCatalogSlot& {
        return index < kBaseCatalogSlots.size() ? kBaseCatalogSlots[index]
                                                : kExtraCatalogSlots[index - kBaseCatalogSlots.size()];
    };
    std::vector<std::pair<std::string, PresentSlots>> listed;
    for (const auto& country : kListedCatalogCountries) listed.emplace_back(country.code, PresentSlots());
    std::map<std::string, PresentSlots, std::less<>> others;
    for (const std::string& id : catalogIDs) {
        std::optional<std::string> code = nodeCode(id);
        if (!code) continue;
        const auto listedCode = std::find_if(listed.begin(), listed.end(),
                                             [&](const auto& node) { return node.first == *code; });
        PresentSlots& present = listedCode != listed.end() ? listedCode->second : others[*code];
        if (id.size() <= code->size() || id.compare(0, code->size(), *code) != 0 || id[code->size()] != ':') continue;
        const std::string_view slotName = std::string_view(id).substr(code->size() + 1);
        for (std::size_t index = 0; index < present.size(); ++index) {
            if (slotAt(index).name == slotName) present.set(index);
        }
    }

    std::vector<ManifestCatalogNode> nodes;
    nodes.reserve(listed.size() + others.size());
    const auto addNode = [&](const std::string& code, const PresentSlots& present, bool isListed) {
        ManifestCatalogNode& node = nodes.emplace_back();
        node.id = code;
        node.label = nodeLabel(code);
        for (std::size_t index = 0; index < present.size(); ++index) {
            // A listed country shows every base slot, present or not.
            if (present[index] || (isListed && index < kBaseCatalogSlots.size())) {
                node.transports.push_back(slotRecord(code, slotAt(index), serviceClass, present[index]));
            }
        }
    };
    for (const auto& [code, present] : listed) addNode(code, present, true);
    for (const auto& [code, present] : others) addNode(code, present, false);
    return nodes;
}

json::Value TransportManifestCatalog::build(std::string_view serviceClass, const std::set<std::string>& catalogIDs) {
    json::Value objects = json::Value::array();
    for (const ManifestCatalogNode& node : nodes(serviceClass, catalogIDs)) {
        json::Value transports = json::Value::array();
        for (const ManifestCatalogTransport& transport : node.transports) {
            transports.push_back({{"id", transport.id},
                                  {"transport_id", transport.transportID},
                                  {"label", transport.label},
                                  {"kind", transport.kind},
                                  {"status", std::string(rawValue(transport.status))}});
        }
        objects.push_back({{"id", node.id}, {"label", node.label}, {"transports", std::move(transports)}});
    }
    return objects;
}

void TransportManifestCatalog::write(json::CanonicalWriter& writer, const std::vector<ManifestCatalogNode>& nodes) {
    // Members in ascending key order, as the canonical form has them.
    writer.beginArray();
    for (const ManifestCatalogNode& node : nodes) {
        writer.beginObject();
        writer.key("id");
        writer.string(node.id);
        writer.key("label");
        writer.string(node.label);
        writer.key("transports");
        writer.beginArray();
        for (const ManifestCatalogTransport& transport : node.transports) {
            writer.beginObject();
            writer.key("id");
            writer.string(transport.id);
            writer.key("kind");
            writer.string(transport.kind);
            writer.key("label");
            writer.string(transport.label);
            writer.key("status");
            writer.string(rawValue(transport.status));
            writer.key("transport_id");
            writer.string(transport.transportID);
            writer.endObject();
        }
        writer.endArray();
        writer.endObject();
    }
    writer.endArray();
}

}  // namespace tarnel
