// CompactTransportManifest::expand on any bytes: never crashes, fails only
// with the JSON reader's error or invalidManifest, and what it expands is a
// normalised v1 document (normalizeV1 leaves it unchanged and skips nothing)
// whose legacy projection hashes to the signed "legacy_sha256", and which the
// expansion decodes from its parts exactly as from its bytes.

#include <cstddef>
#include <cstdint>

#include "app/catalog/compact_transport_manifest.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest_normalizer.hpp"
#include "common/base/digest.hpp"
#include "common/base/json.hpp"
#include "common/base/json_document.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"
#include "fuzz/manifest_checks.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);
    ExpandedCompactTransportManifest expanded;
    try {
        expanded = CompactTransportManifest::expand(text);
    } catch (const json::JsonError&) {
        return 0;
    } catch (const SignedTransportManifestError& error) {
        require(error.errorCase() == SignedTransportManifestError::Case::invalidManifest,
                "expand fails with invalidManifest only");
        return 0;
    }

    require(CompactTransportManifest::expand(text) == expanded, "expand is deterministic");
    const CompactManifestExpansion expansion(json::Document::parse(text, json::TopLevel::any));
    fuzz::checkDecodesAsItsBytes([&] { return expansion.decode(); }, expanded.payload);
    require(sha256Hex(CompactTransportManifest::legacyProjection(expanded.payload)) == expanded.legacySHA256,
            "the expansion's legacy projection hashes to legacy_sha256", expanded.payload);

    NormalizedTransportManifest normalized;
    try {
        normalized = TransportManifestNormalizer::normalizeV1(expanded.payload);
    } catch (const Error& error) {
        require(false, "an expansion normalises as v1", error.message() + " " + expanded.payload);
    }
    require(normalized.document == expanded.payload, "an expansion is a normalised v1 document", expanded.payload);
    require(!normalized.skippedOptional, "an expansion keeps supported kinds only", expanded.payload);

    fuzz::checkV1DocumentReaders(expanded.payload);
    return 0;
}
