#include "app/state/direct_stored_access.hpp"

#include "common/base/json.hpp"

namespace tarnel {

std::string encodeDirectStoredAccess(const DirectStoredAccess& access) {
    json::OrderedValue record = json::OrderedValue::object();
    record["subscription"] = access.subscription;
    record["source"] = access.source;
    record["cache"] = access.cache;
    if (access.subscriptionOrigins) record["subscriptionOrigins"] = *access.subscriptionOrigins;
    if (access.manifestFloorIdentity) record["manifestFloorIdentity"] = *access.manifestFloorIdentity;
    if (access.manifestFloorRevision) record["manifestFloorRevision"] = *access.manifestFloorRevision;
    if (access.manifestFloorLegacySHA256) record["manifestFloorLegacySHA256"] = *access.manifestFloorLegacySHA256;
    if (access.manifestFloorCompactV2SHA256) {
        record["manifestFloorCompactV2SHA256"] = *access.manifestFloorCompactV2SHA256;
    }
    if (access.manifestFormat) record["manifestFormat"] = std::string(rawValue(*access.manifestFormat));
    return json::writeOrdered(record);
}

DirectStoredAccess decodeDirectStoredAccess(std::string_view text) {
    const json::Value document = json::parse(text, json::TopLevel::object);
    const json::ObjectReader reader(document);
    DirectStoredAccess access;
    reader.read("subscription", access.subscription);
    reader.read("source", access.source);
    reader.read("cache", access.cache);
    reader.read("subscriptionOrigins", access.subscriptionOrigins);
    reader.read("manifestFloorIdentity", access.manifestFloorIdentity);
    reader.read("manifestFloorRevision", access.manifestFloorRevision);
    reader.read("manifestFloorLegacySHA256", access.manifestFloorLegacySHA256);
    reader.read("manifestFloorCompactV2SHA256", access.manifestFloorCompactV2SHA256);
    if (const std::optional<std::string> format = reader.optionalString("manifestFormat")) {
        access.manifestFormat = transportManifestFormatFromRawValue(*format);
        if (!access.manifestFormat) throw json::JsonError(json::JsonError::Case::typeMismatch, "manifestFormat");
    }
    return access;
}

}  // namespace tarnel
