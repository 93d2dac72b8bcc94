#include "app/catalog/signed_transport_manifest_verifier.hpp"

#include <algorithm>
#include <utility>

#include "app/catalog/compact_transport_manifest.hpp"
#include "app/catalog/manifest_json.hpp"
#include "app/catalog/transport_manifest_normalizer.hpp"
#include "common/base/base64.hpp"
#include "common/base/digest.hpp"
#include "common/base/ecdsa.hpp"
#include "common/base/utf8.hpp"
#include "platform/info_plist.hpp"

namespace tarnel {

namespace {

[[noreturn]] void fail(SignedTransportManifestError::Case errorCase) {
    throw SignedTransportManifestError(errorCase);
}

// Base64url of a binary field; a text that does not decode makes the
// envelope invalid.
std::string decodeField(std::string_view text) {
    std::optional<std::string> bytes = base64UrlDecode(text);
    if (!bytes) fail(SignedTransportManifestError::Case::invalidEnvelope);
    return std::move(*bytes);
}

// The v1 document the routes are built from, decoded, with what the dispatch
// on the payload's schema learnt about it.
struct ManifestDocument {
    std::string bytes;
    TarnelTransportManifest manifest;
    std::string legacySHA256;
    std::optional<std::string> compactV2SHA256;
    TransportManifestFormat format = TransportManifestFormat::v1;
    bool skippedOptional = false;
};

// The payload is read once; the normalised or expanded document is decoded
// from what that read gave, never read back from its bytes.
ManifestDocument manifestDocument(const std::string& payload) {
    json::Document parsed = json::Document::parse(payload, json::TopLevel::any);
    const std::optional<json::Document::Node> schemaMember = parsed.root().find("schema");
    if (!schemaMember || !schemaMember->isString()) fail(SignedTransportManifestError::Case::invalidManifest);
    const std::string_view schema = schemaMember->string();

    ManifestDocument document;
    if (schema == TarnelTransportManifest::kSchemaV1) {
        // The normaliser rewrites the document it is given.
        json::Value value = parsed.root().toValue();
        NormalizedTransportManifest normalized = TransportManifestNormalizer::normalizeV1(value);
        document.manifest = TarnelTransportManifest::fromJson(value);
        document.legacySHA256 = sha256Hex(normalized.document);
        document.bytes = std::move(normalized.document);
        document.format = TransportManifestFormat::v1;
        document.skippedOptional = normalized.skippedOptional;
    } else if (schema == CompactTransportManifest::kSchemaV2) {
        CompactManifestExpansion expansion(std::move(parsed));
        document.manifest = expansion.decode();
        document.bytes = expansion.takePayload();
        document.legacySHA256 = expansion.legacySHA256();
        // The compact document exactly as it was signed.
        document.compactV2SHA256 = sha256Hex(payload);
        document.format = TransportManifestFormat::v2;
        document.skippedOptional = expansion.skippedOptional();
    } else {
        fail(SignedTransportManifestError::Case::invalidManifest);
    }
    return document;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records

ManifestDelegation ManifestDelegation::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    ManifestDelegation delegation;
    delegation.schema = reader.string("schema");
    delegation.keyID = reader.string("key_id");
    delegation.publicKeySPKI = reader.string("public_key_spki");
    delegation.notBefore = reader.string("not_before");
    delegation.expiresAt = reader.string("expires_at");
    delegation.rootSignature = reader.string("root_signature");
    return delegation;
}

SignedTransportManifestEnvelope SignedTransportManifestEnvelope::fromJson(const json::Value& value,
                                                                          std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    SignedTransportManifestEnvelope envelope;
    envelope.schema = reader.string("schema");
    envelope.algorithm = reader.string("algorithm");
    envelope.keyID = reader.string("key_id");
    envelope.delegation = ManifestDelegation::fromJson(reader.object("delegation"), reader.pathOf("delegation"));
    envelope.payload = reader.string("payload");
    envelope.signature = reader.string("signature");
    return envelope;
}

SignedTransportManifestEnvelope SignedTransportManifestEnvelope::decode(std::string_view bytes) {
    return fromJson(json::parse(bytes, json::TopLevel::object));
}

DelegationValidity DelegationValidity::fromJson(const json::Value& value, std::string path) {
    const json::ObjectReader reader(value, std::move(path));
    DelegationValidity validity;
    validity.notBefore = manifest_json::dateMember(reader, "not_before");
    validity.expiresAt = manifest_json::dateMember(reader, "expires_at");
    return validity;
}

VerifiedTransportManifest::VerifiedTransportManifest(std::string payload, std::int64_t revision,
                                                     std::optional<std::vector<std::string>> subscriptionOrigins,
                                                     TransportManifestFormat format, std::string legacySHA256,
                                                     ManifestContentFloor contentFloor, bool skippedOptional,
                                                     TarnelTransportManifest manifest)
    : payload_(std::move(payload)),
      revision_(revision),
      subscriptionOrigins_(std::move(subscriptionOrigins)),
      format_(format),
      legacySHA256_(std::move(legacySHA256)),
      contentFloor_(std::move(contentFloor)),
      skippedOptional_(skippedOptional),
      manifest_(std::move(manifest)) {}

// ---------------------------------------------------------------------------
// Trust root

std::optional<std::string> SignedTransportManifestVerifier::trustRootSPKI() {
    const std::optional<std::filesystem::path> infoPlist = info_plist::mainBundlePath();
    if (!infoPlist) return std::nullopt;
    return trustRootSPKI(*infoPlist);
}

std::optional<std::string> SignedTransportManifestVerifier::trustRootSPKI(const std::filesystem::path& infoPlist) {
    const std::optional<std::string> text = info_plist::string(infoPlist, kTrustRootInfoKey);
    if (!text || text->empty()) return std::nullopt;
    return base64UrlDecode(*text);
}

std::string SignedTransportManifestVerifier::requiredTrustRootSPKI() {
    std::optional<std::string> root = trustRootSPKI();
    if (!root) fail(SignedTransportManifestError::Case::trustRootUnavailable);
    return std::move(*root);
}

std::string SignedTransportManifestVerifier::requiredTrustRootSPKI(const std::filesystem::path& infoPlist) {
    std::optional<std::string> root = trustRootSPKI(infoPlist);
    if (!root) fail(SignedTransportManifestError::Case::trustRootUnavailable);
    return std::move(*root);
}

// ---------------------------------------------------------------------------
// Verification

std::string SignedTransportManifestVerifier::rootSignedMessage(const ManifestDelegation& delegation) {
    json::Value members = json::Value::object();
    members["schema"] = delegation.schema;
    members["key_id"] = delegation.keyID;
    members["public_key_spki"] = delegation.publicKeySPKI;
    members["not_before"] = delegation.notBefore;
    members["expires_at"] = delegation.expiresAt;
    return json::writeCanonical(members);
}

VerifiedTransportManifest SignedTransportManifestVerifier::verify(std::string_view body, double now,
                                                                  std::optional<std::int64_t> savedRevision,
                                                                  const std::optional<ManifestContentFloor>& savedFloor,
                                                                  std::string_view rootSPKI) {
    using Case = SignedTransportManifestError::Case;

    // The envelope: its form and the agreement of its identifiers.
    if (!utf8::isValid(body)) fail(Case::invalidEnvelope);
    const SignedTransportManifestEnvelope envelope = SignedTransportManifestEnvelope::decode(body);
    const ManifestDelegation& delegation = envelope.delegation;
    if (envelope.schema != SignedTransportManifestEnvelope::kSchema ||
        envelope.algorithm != SignedTransportManifestEnvelope::kAlgorithm || envelope.keyID != delegation.keyID ||
        delegation.schema != ManifestDelegation::kSchema) {
        fail(Case::invalidEnvelope);
    }

    // The delegation's window, half-open. Written so that a NaN `now` counts
    // as outside it.
    json::Value window = json::Value::object();
    window["not_before"] = delegation.notBefore;
    window["expires_at"] = delegation.expiresAt;
    const DelegationValidity validity = DelegationValidity::fromJson(window, "delegation");
    if (!(static_cast<double>(validity.notBefore) <= now && static_cast<double>(validity.expiresAt) > now)) {
        fail(Case::expiredDelegation);
    }

    // The root key certifies the delegation's members exactly as received.
    const ecdsa::P256PublicKey rootKey = ecdsa::P256PublicKey::fromSPKI(rootSPKI);
    const ecdsa::P256Signature rootSignature = ecdsa::P256Signature::fromDER(decodeField(delegation.rootSignature));
    if (!rootKey.isValidSignature(rootSignature, rootSignedMessage(delegation))) fail(Case::invalidRootSignature);

    // The delegated key signs the payload bytes (not their base64url text).
    const ecdsa::P256PublicKey delegatedKey = ecdsa::P256PublicKey::fromSPKI(decodeField(delegation.publicKeySPKI));
    const std::string payload = decodeField(envelope.payload);
    const ecdsa::P256Signature payloadSignature = ecdsa::P256Signature::fromDER(decodeField(envelope.signature));
    if (!delegatedKey.isValidSignature(payloadSignature, payload)) fail(Case::invalidPayloadSignature);

    // The manifest, in its v1 form whichever form was signed.
    ManifestDocument document = manifestDocument(payload);
    TarnelTransportManifest& manifest = document.manifest;
    if (manifest.schema != TarnelTransportManifest::kSchemaV1 || !(static_cast<double>(manifest.expiresAt) > now) ||
        manifest.revision < 0 || (savedRevision && savedFloor && *savedRevision != savedFloor->revision())) {
        fail(Case::invalidManifest);
    }

    // Anti-rollback: the floor moves only forward, and content of an equal
    // revision must match the saved hashes.
    const ManifestContentFloor candidate =
        ManifestContentFloor::validated(manifest.revision, document.legacySHA256, document.compactV2SHA256);
    if (!savedRevision && savedFloor) savedRevision = savedFloor->revision();
    ManifestContentFloor floor = candidate.advanced(savedRevision, savedFloor);

    std::optional<std::vector<std::string>> origins =
        TarnelTransportManifest::validatedSubscriptionOrigins(manifest.subscriptionOrigins);

    const std::int64_t revision = manifest.revision;
    return VerifiedTransportManifest(std::move(document.bytes), revision, std::move(origins), document.format,
                                     std::move(document.legacySHA256), std::move(floor), document.skippedOptional,
                                     std::move(manifest));
}

// ---------------------------------------------------------------------------
// Newest-manifest selection

VerifiedTransportManifest SignedTransportManifestVerifier::selectNewest(
    std::span<const VerifiedTransportManifest> manifests) {
    using Case = SignedTransportManifestError::Case;
    if (manifests.empty()) fail(Case::invalidManifest);

    const std::int64_t newest =
        std::max_element(manifests.begin(), manifests.end(), [](const auto& left, const auto& right) {
            return left.revision() < right.revision();
        })->revision();

    // One entry per format among the newest; entries of one format must agree.
    const VerifiedTransportManifest* v1 = nullptr;
    const VerifiedTransportManifest* v2 = nullptr;
    for (const VerifiedTransportManifest& manifest : manifests) {
        if (manifest.revision() != newest) continue;
        const VerifiedTransportManifest*& kept = manifest.format() == TransportManifestFormat::v1 ? v1 : v2;
        if (kept != nullptr && !(kept->contentFloor() == manifest.contentFloor())) fail(Case::manifestPairMismatch);
        kept = &manifest;
    }

    if (v1 != nullptr && v2 != nullptr) {
        VerifiedTransportManifest selected = *v2;
        selected.contentFloor_ = v2->contentFloor().mergedForEqualRevision(v1->contentFloor());
        return selected;
    }
    return v1 != nullptr ? *v1 : *v2;
}

}  // namespace tarnel
