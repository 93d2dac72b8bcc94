#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/manifest_content_floor.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "common/base/json.hpp"

namespace tarnel {

// The short-lived signing key of an envelope, certified by the root key.
// Every member is a required string; other members are ignored.
struct ManifestDelegation {
    inline static constexpr std::string_view kSchema = "tarnel.manifest-delegation.v1";

    std::string schema;
    std::string keyID;
    std::string publicKeySPKI;  // DER SubjectPublicKeyInfo, base64url
    std::string notBefore;      // date-time texts exactly as received
    std::string expiresAt;
    std::string rootSignature;  // DER ECDSA signature by the root key, base64url

    bool operator==(const ManifestDelegation&) const = default;

    // Throws json::JsonError naming the key path.
    [[nodiscard]] static ManifestDelegation fromJson(const json::Value& value, std::string path = {});
};

// What a subscription server delivers: a manifest payload, its signature by
// the delegated key, and the delegation that certifies that key.
struct SignedTransportManifestEnvelope {
    inline static constexpr std::string_view kSchema = "tarnel.signed-envelope.v1";
    inline static constexpr std::string_view kAlgorithm = "ecdsa-p256-sha256";

    std::string schema;
    std::string algorithm;
    std::string keyID;
    ManifestDelegation delegation;
    std::string payload;    // the manifest bytes, base64url
    std::string signature;  // DER ECDSA signature of the payload bytes, base64url

    bool operator==(const SignedTransportManifestEnvelope&) const = default;

    // Throws json::JsonError naming the key path.
    [[nodiscard]] static SignedTransportManifestEnvelope fromJson(const json::Value& value, std::string path = {});
    // Parses the bytes strictly (a JSON object at the top) and decodes them.
    [[nodiscard]] static SignedTransportManifestEnvelope decode(std::string_view bytes);
};

// The validity window of a delegation, in whole seconds since 1970: valid
// from `notBefore` (inclusive) until `expiresAt` (exclusive).
struct DelegationValidity {
    std::int64_t notBefore = 0;
    std::int64_t expiresAt = 0;

    bool operator==(const DelegationValidity&) const = default;

    // Reads "not_before" and "expires_at" as date-times. A date text the date
    // reader refuses fails with json::JsonError(typeMismatch) naming its key.
    [[nodiscard]] static DelegationValidity fromJson(const json::Value& value, std::string path = {});
};

// A manifest that passed every check of the verifier: its signatures, its
// schema, its expiry and the anti-rollback floor. It is the only form in which
// a manifest reaches the route model, so only the verifier makes one.
class VerifiedTransportManifest {
public:
    // The v1 manifest document the routes are built from, in canonical bytes:
    // the normalised v1 payload or the expanded compact one.
    [[nodiscard]] const std::string& payload() const noexcept { return payload_; }
    [[nodiscard]] std::int64_t revision() const noexcept { return revision_; }
    // Validated and normalised; absent when the manifest names none.
    [[nodiscard]] const std::optional<std::vector<std::string>>& subscriptionOrigins() const noexcept {
        return subscriptionOrigins_;
    }
    // Which payload schema was signed.
    [[nodiscard]] TransportManifestFormat format() const noexcept { return format_; }
    // Lowercase hex SHA-256 of the v1-form content.
    [[nodiscard]] const std::string& legacySHA256() const noexcept { return legacySHA256_; }
    // The floor to keep once this manifest is accepted.
    [[nodiscard]] const ManifestContentFloor& contentFloor() const noexcept { return contentFloor_; }
    // True when transports of kinds this build cannot run were left out.
    [[nodiscard]] bool skippedOptional() const noexcept { return skippedOptional_; }
    // `payload` decoded (its subscription origins as written; the validated
    // ones are `subscriptionOrigins`).
    [[nodiscard]] const TarnelTransportManifest& manifest() const noexcept { return manifest_; }

    bool operator==(const VerifiedTransportManifest&) const = default;

private:
    friend class SignedTransportManifestVerifier;

    VerifiedTransportManifest(std::string payload, std::int64_t revision,
                              std::optional<std::vector<std::string>> subscriptionOrigins,
                              TransportManifestFormat format, std::string legacySHA256,
                              ManifestContentFloor contentFloor, bool skippedOptional,
                              TarnelTransportManifest manifest);

    std::string payload_;
    std::int64_t revision_;
    std::optional<std::vector<std::string>> subscriptionOrigins_;
    TransportManifestFormat format_;
    std::string legacySHA256_;
    ManifestContentFloor contentFloor_;
    bool skippedOptional_;
    TarnelTransportManifest manifest_;
};

// Verifies signed transport manifests against the root key built into the
// application. Pure: no input or output beyond reading the trust root.
class SignedTransportManifestVerifier {
public:
    // The key of the information property list that holds the root key: the
    // DER SubjectPublicKeyInfo of a P-256 key, base64url.
    inline static constexpr std::string_view kTrustRootInfoKey = "TarnelTransportManifestRootSPKI";

    // The root key's DER bytes, read from the running application's own
    // information property list. Nothing when the key is absent, not a
    // string, empty or not base64url (the key material itself is checked
    // when a manifest is verified).
    [[nodiscard]] static std::optional<std::string> trustRootSPKI();
    // The same, from the property list at `infoPlist`.
    [[nodiscard]] static std::optional<std::string> trustRootSPKI(const std::filesystem::path& infoPlist);

    // The root key, or SignedTransportManifestError(trustRootUnavailable)
    // for a build that has none. Callers obtain it before verifying anything.
    [[nodiscard]] static std::string requiredTrustRootSPKI();
    [[nodiscard]] static std::string requiredTrustRootSPKI(const std::filesystem::path& infoPlist);

    // Verifies a downloaded envelope at the wall-clock time `now` (seconds
    // since 1970) against the root key `rootSPKI` (DER SubjectPublicKeyInfo)
    // and the saved floor of the subscription, and gives the manifest with the
    // floor to keep. The first failure ends verification and is thrown:
    // SignedTransportManifestError for every check of its own, and unchanged
    // the errors of the layers below: json::JsonError (the envelope or a
    // payload is not JSON or lacks a member, a date is not a date-time),
    // ecdsa::EcdsaError (a key that is malformed or not P-256, a signature
    // that is not DER) and TransportManifestError (subscription origins).
    [[nodiscard]] static VerifiedTransportManifest verify(std::string_view body, double now,
                                                          std::optional<std::int64_t> savedRevision,
                                                          const std::optional<ManifestContentFloor>& savedFloor,
                                                          std::string_view rootSPKI);

    // Chooses the manifest to use among several verified ones of one
    // subscription: the highest revision, and of that revision the v2 entry
    // (carrying the floor merged with the v1 entry's) when both forms are
    // present. Throws SignedTransportManifestError: invalidManifest for an
    // empty list, manifestPairMismatch when entries of the highest revision
    // disagree about its content.
    [[nodiscard]] static VerifiedTransportManifest selectNewest(std::span<const VerifiedTransportManifest> manifests);

    // The bytes the root key signs for a delegation: its schema, key id,
    // public key and dates, exactly as received, as canonical JSON (sorted
    // keys, no white space, "/" not escaped).
    [[nodiscard]] static std::string rootSignedMessage(const ManifestDelegation& delegation);
};

}  // namespace tarnel
