// TransportManifestNormalizer::normalizeV1 on any bytes: never crashes, fails
// only with the JSON reader's error or invalidManifest, and its output is a
// fixed point (normalising it again changes nothing and skips nothing). The
// layers that read a normalised document next (the records, the routes, the
// subscription origins, the legacy projection) fail only with their own
// errors.

#include <cstddef>
#include <cstdint>

#include "app/catalog/compact_transport_manifest.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "app/catalog/transport_manifest_normalizer.hpp"
#include "common/base/json.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"
#include "fuzz/manifest_checks.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::bytesOf(data, size);
    NormalizedTransportManifest normalized;
    try {
        normalized = TransportManifestNormalizer::normalizeV1(text);
    } catch (const json::JsonError&) {
        return 0;
    } catch (const SignedTransportManifestError& error) {
        require(error.errorCase() == SignedTransportManifestError::Case::invalidManifest,
                "normalizeV1 fails with invalidManifest only");
        return 0;
    }

    NormalizedTransportManifest again;
    try {
        again = TransportManifestNormalizer::normalizeV1(normalized.document);
    } catch (const Error& error) {
        require(false, "a normalised document normalises", error.message() + " " + normalized.document);
    }
    require(again.document == normalized.document, "normalizeV1 is idempotent", normalized.document);
    require(!again.skippedOptional, "a normalised document has nothing left to skip", normalized.document);

    fuzz::checkV1DocumentReaders(normalized.document);
    return 0;
}
