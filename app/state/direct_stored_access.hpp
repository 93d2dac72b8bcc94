#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/manifest_errors.hpp"

namespace tarnel {

// What the application keeps of the user's access in the keychain: the
// access link, the last accepted subscription body and the subscription's
// anti-rollback floor. Its JSON keys are the field names.
struct DirectStoredAccess {
    // The access link, or the pasted subscription body when no link was used.
    std::string subscription;
    // The access link; "" when the subscription was pasted as a body.
    std::string source;
    // The last accepted subscription body, as received.
    std::string cache;
    // Permitted origins of the signed manifest.
    std::optional<std::vector<std::string>> subscriptionOrigins{};
    // Floor identity of the subscription (64 lowercase hex digits).
    std::optional<std::string> manifestFloorIdentity{};
    // Highest accepted manifest revision for that identity.
    std::optional<std::int64_t> manifestFloorRevision{};
    // Content hashes bound to that revision.
    std::optional<std::string> manifestFloorLegacySHA256{};
    std::optional<std::string> manifestFloorCompactV2SHA256{};
    // Format of the accepted manifest.
    std::optional<TransportManifestFormat> manifestFormat{};

    friend bool operator==(const DirectStoredAccess&, const DirectStoredAccess&) = default;
};

// The record as compact JSON, the fields in the order above, an absent
// optional left out, "/" not escaped. Throws JsonError for text that is not
// UTF-8.
[[nodiscard]] std::string encodeDirectStoredAccess(const DirectStoredAccess& access);

// Reads a record strictly (json::parse): a JSON object whose subscription,
// source and cache are strings; the optional fields, when present and not
// null, of their types (an integer revision, never a float; a format "v1" or
// "v2"). Other keys are ignored. Throws JsonError.
[[nodiscard]] DirectStoredAccess decodeDirectStoredAccess(std::string_view json);

}  // namespace tarnel
