// SignedTransportManifestVerifier::verify on any envelope bytes, against the
// fixture trust root: never crashes, and fails only with the errors it
// declares (its own, the JSON reader's, the ECDSA layer's and the origin
// check's).

#include <cstddef>
#include <cstdint>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "common/base/ecdsa.hpp"
#include "common/base/json.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"
#include "fuzz/manifest_checks.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string rootSPKI = fuzz::fixture("manifest/root.spki.der");
    const std::string_view body = fuzz::bytesOf(data, size);
    try {
        const VerifiedTransportManifest verified = SignedTransportManifestVerifier::verify(
            body, fuzz::kFixtureNow, std::nullopt, std::nullopt, rootSPKI);
        require(verified.revision() >= 0, "a verified manifest has a revision");
        require(verified.contentFloor().revision() == verified.revision(), "the floor is the manifest's revision");
        fuzz::checkV1DocumentReaders(verified.payload());
    } catch (const SignedTransportManifestError&) {
    } catch (const json::JsonError&) {
    } catch (const ecdsa::EcdsaError&) {
    } catch (const TransportManifestError&) {
    }
    return 0;
}
