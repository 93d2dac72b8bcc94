#include "app/catalog/manifest_content_floor.hpp"

#include "app/catalog/manifest_errors.hpp"
#include "common/base/digest.hpp"

namespace tarnel {

namespace {

[[noreturn]] void fail(SignedTransportManifestError::Case errorCase) {
    throw SignedTransportManifestError(errorCase);
}

}  // namespace

ManifestContentFloor ManifestContentFloor::validated(std::int64_t revision, std::string legacySHA256,
                                                     std::optional<std::string> compactV2SHA256) {
    if (revision < 0 || !isLowercaseSha256Hex(legacySHA256) ||
        (compactV2SHA256 && !isLowercaseSha256Hex(*compactV2SHA256))) {
        fail(SignedTransportManifestError::Case::invalidManifest);
    }
    return ManifestContentFloor(revision, std::move(legacySHA256), std::move(compactV2SHA256));
}

ManifestContentFloor ManifestContentFloor::advanced(std::optional<std::int64_t> savedRevision,
                                                    const std::optional<ManifestContentFloor>& savedFloor) const {
    using Case = SignedTransportManifestError::Case;
    if (savedRevision && *savedRevision < 0) fail(Case::invalidManifest);
    // A saved floor belongs to the saved revision; a record where the two
    // disagree cannot be trusted to judge anything.
    if (savedFloor && (!savedRevision || *savedRevision != savedFloor->revision())) fail(Case::invalidManifest);
    if (!savedRevision) return *this;
    if (revision_ < *savedRevision) fail(Case::invalidManifest);
    if (revision_ > *savedRevision) return *this;
    if (!savedFloor) return *this;
    return mergedForEqualRevision(*savedFloor);
}

ManifestContentFloor ManifestContentFloor::mergedForEqualRevision(const ManifestContentFloor& saved) const {
    using Case = SignedTransportManifestError::Case;
    if (saved.revision_ != revision_) fail(Case::manifestPairMismatch);
    if (saved.legacySHA256_ != legacySHA256_) fail(Case::manifestPairMismatch);
    std::optional<std::string> compact = saved.compactV2SHA256_;
    if (compact) {
        if (compactV2SHA256_ && *compactV2SHA256_ != *compact) fail(Case::manifestPairMismatch);
    } else {
        compact = compactV2SHA256_;
    }
    return validated(revision_, saved.legacySHA256_, std::move(compact));
}

}  // namespace tarnel
