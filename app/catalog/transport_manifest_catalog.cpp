#include "app/catalog/transport_manifest_catalog.hpp"

#include <algorithm>
#include <vector>

namespace tarnel {

bool isSupportedTransportKind(std::string_view kind) noexcept {
    return std::find(kSupportedTransportKinds.begin(), kSupportedTransportKinds.end(), kind) !=
           kSupportedTransportKinds.end();
}

namespace {

bool isListedCountry(std::string_view code) {
    return std::any_of(kListedCatalogCountries.begin(), kListedCatalogCountries.end(),
                       [code](const ManifestCatalogCountry& country) { return country.code == code; });
}

std::string catalogID(std::string_view code, const ManifestCatalogSlot& slot) {
    return std::string(code) + ":" + std::string(slot.name);
}

json::Value slotObject(std::string_view code, const ManifestCatalogSlot& slot, std::string_view serviceClass,
                       const std::set<std::string>& catalogIDs) {
    const std::string id = catalogID(code, slot);
    std::string_view status = "temporarily_unavailable";
    if (catalogIDs.contains(id)) {
        status = "available";
    } else if (serviceClass == "free" &&
               std::find(kPaidOnlyCatalogCodes.begin(), kPaidOnlyCatalogCodes.end(), code) !=
                   kPaidOnlyCatalogCodes.end()) {
        status = "paid_required";
    }
    json::Value object = json::Value::object();
    object["id"] = id;
    object["transport_id"] = std::string(slot.transportID);
    object["label"] = std::string(slot.label);
    object["kind"] = std::string(slot.kind);
    object["status"] = std::string(status);
    return object;
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

json::Value TransportManifestCatalog::build(std::string_view serviceClass, const std::set<std::string>& catalogIDs) {
    // Listed countries first, in table order; the other codes follow in
    // ascending order (a std::set orders by bytes, i.e. by code point).
    std::vector<std::string> codes;
    for (const auto& country : kListedCatalogCountries) codes.emplace_back(country.code);
    std::set<std::string> otherCodes;
    for (const std::string& id : catalogIDs) {
        if (auto code = nodeCode(id); code && !isListedCountry(*code)) otherCodes.insert(std::move(*code));
    }
    codes.insert(codes.end(), otherCodes.begin(), otherCodes.end());

    json::Value nodes = json::Value::array();
    for (const std::string& code : codes) {
        const bool listed = isListedCountry(code);
        json::Value transports = json::Value::array();
        for (const auto& slot : kBaseCatalogSlots) {
            if (listed || catalogIDs.contains(catalogID(code, slot))) {
                transports.push_back(slotObject(code, slot, serviceClass, catalogIDs));
            }
        }
        for (const auto& slot : kExtraCatalogSlots) {
            if (catalogIDs.contains(catalogID(code, slot))) {
                transports.push_back(slotObject(code, slot, serviceClass, catalogIDs));
            }
        }
        json::Value node = json::Value::object();
        node["id"] = code;
        node["label"] = nodeLabel(code);
        node["transports"] = std::move(transports);
        nodes.push_back(std::move(node));
    }
    return nodes;
}

}  // namespace tarnel
