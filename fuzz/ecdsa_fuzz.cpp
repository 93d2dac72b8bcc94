// The strict DER readers of the ECDSA layer, which see the keys and
// signatures of every downloaded envelope: never crash, fail only with
// EcdsaError, keep an accepted input byte for byte, and a decoded signature
// is checked (true or false) without a library failure.

#include <openssl/err.h>

#include <cstddef>
#include <cstdint>

#include "common/base/ecdsa.hpp"
#include "fuzz/fuzz_support.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ecdsa::P256PublicKey rootKey =
        ecdsa::P256PublicKey::fromSPKI(fuzz::fixture("manifest/root.spki.der"));
    const std::string_view der = fuzz::bytesOf(data, size);
    // The library keeps its error entries per thread. Emptied after every
    // input, they never pile up across inputs, which libFuzzer would take for
    // memory an input leaked (and run its slow leak check after each).
    struct ClearLibraryErrors {
        ~ClearLibraryErrors() { ERR_clear_error(); }
    } const clearLibraryErrors;

    try {
        const ecdsa::P256Signature signature = ecdsa::P256Signature::fromDER(der);
        require(signature.der() == der, "an accepted signature is kept as given");
        try {
            static_cast<void>(rootKey.isValidSignature(signature, "message"));
        } catch (const ecdsa::EcdsaError& error) {
            require(false, "a decoded signature is checked without a library failure", error.message());
        }
    } catch (const ecdsa::EcdsaError& error) {
        require(error.errorCase() == ecdsa::EcdsaError::Case::malformedSignature,
                "a refused signature is malformedSignature");
    }

    try {
        const ecdsa::P256PublicKey key = ecdsa::P256PublicKey::fromSPKI(der);
        require(key.spki() == der, "an accepted key is kept as given");
        require(ecdsa::P256PublicKey::fromSPKI(key.spki()).spki() == der, "an accepted key reads back");
    } catch (const ecdsa::EcdsaError& error) {
        require(error.errorCase() == ecdsa::EcdsaError::Case::malformedPublicKey ||
                    error.errorCase() == ecdsa::EcdsaError::Case::unsupportedPublicKey,
                "a refused key is malformed or unsupported");
    }
    return 0;
}
