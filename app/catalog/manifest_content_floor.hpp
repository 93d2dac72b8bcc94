#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace tarnel {

// The anti-rollback record of one subscription: the highest manifest revision
// accepted so far and the hashes of that revision's content. A manifest older
// than the floor is refused, and a manifest of the same revision must carry
// the same content, so content can never change without a higher revision.
// A v1 and a compact v2 manifest of one revision are two encodings of one
// content and are compared through the hash of the v1 form.
//
// Every floor holds valid values: the only way to make one is `validated`.
class ManifestContentFloor {
public:
    // The floor of a manifest, or SignedTransportManifestError(invalidManifest)
    // when `revision` is negative, `legacySHA256` is not exactly 64 lowercase
    // hexadecimal digits, or a present `compactV2SHA256` is not.
    [[nodiscard]] static ManifestContentFloor validated(std::int64_t revision, std::string legacySHA256,
                                                        std::optional<std::string> compactV2SHA256);

    // The accepted manifest revision, 0 or more.
    [[nodiscard]] std::int64_t revision() const noexcept { return revision_; }
    // SHA-256 (lowercase hex) of the revision's content in v1 form.
    [[nodiscard]] const std::string& legacySHA256() const noexcept { return legacySHA256_; }
    // SHA-256 (lowercase hex) of the signed compact v2 document, once one of
    // this revision has been seen.
    [[nodiscard]] const std::optional<std::string>& compactV2SHA256() const noexcept { return compactV2SHA256_; }

    // The floor to keep once this floor's manifest (the candidate) is accepted
    // against the saved state. `savedRevision` without `savedFloor` is a
    // record written before content hashes were kept. Throws
    // SignedTransportManifestError:
    //  - invalidManifest when the saved revision is negative, when a saved
    //    floor comes without a saved revision or with another revision, or
    //    when the candidate is older than the saved revision;
    //  - whatever `mergedForEqualRevision` throws at an equal revision with a
    //    saved floor.
    // A newer candidate replaces the floor whatever its hashes; an equal one
    // without a saved floor is taken as it is.
    [[nodiscard]] ManifestContentFloor advanced(std::optional<std::int64_t> savedRevision,
                                                const std::optional<ManifestContentFloor>& savedFloor) const;

    // This floor (the candidate) merged with the saved floor of the same
    // revision: the legacy hashes must be equal, and a compact hash already
    // saved must be matched by the candidate's when it has one; a compact hash
    // is added when the saved floor had none. Throws
    // SignedTransportManifestError(manifestPairMismatch) on any disagreement,
    // revisions included.
    [[nodiscard]] ManifestContentFloor mergedForEqualRevision(const ManifestContentFloor& saved) const;

    bool operator==(const ManifestContentFloor&) const = default;

private:
    ManifestContentFloor(std::int64_t revision, std::string legacySHA256, std::optional<std::string> compactV2SHA256)
        : revision_(revision),
          legacySHA256_(std::move(legacySHA256)),
          compactV2SHA256_(std::move(compactV2SHA256)) {}

    std::int64_t revision_;
    std::string legacySHA256_;
    std::optional<std::string> compactV2SHA256_;
};

}  // namespace tarnel
