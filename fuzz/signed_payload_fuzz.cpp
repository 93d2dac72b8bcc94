// The verifier past its signatures: each input is a manifest payload that
// the harness signs with the fixture delegated key, wrapped in an envelope
// with the fixture delegation (certified by the fixture root). So every
// payload reaches the schema dispatch, the normaliser or the expander, the
// records, the floor and the origins; what verifies then goes on to routes,
// to the sing-box TUN document of each route, and to the validator that the
// helper runs on it. The chain may refuse at any step with that step's own
// error, never crash; a document the validator accepts names the route's own
// server and port.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/catalog/transport_manifest_normalizer.hpp"
#include "app/tunnel/sing_box_config.hpp"
#include "common/base64.hpp"
#include "common/ecdsa.hpp"
#include "common/helper_contract.hpp"
#include "common/json.hpp"
#include "common/tunnel_configuration_validator.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/json_mutator.hpp"
#include "fuzz/manifest_checks.hpp"

using namespace tarnel;
using tarnel::fuzz::require;

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

EVP_PKEY* delegatedKey() {
    static const std::unique_ptr<EVP_PKEY, KeyFree> key = [] {
        const std::string pem = fuzz::fixture("manifest/delegation.key.pem");
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        EVP_PKEY* loaded = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        require(loaded != nullptr, "the fixture delegated key loads");
        return std::unique_ptr<EVP_PKEY, KeyFree>(loaded);
    }();
    return key.get();
}

// DER ECDSA P-256 / SHA-256 signature of the bytes.
std::string sign(std::string_view bytes) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t length = 0;
    const auto* message = reinterpret_cast<const unsigned char*>(bytes.data());
    bool signedOK = EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, delegatedKey()) == 1 &&
                    EVP_DigestSign(context, nullptr, &length, message, bytes.size()) == 1;
    std::string signature(length, '\0');
    signedOK = signedOK && EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                                          message, bytes.size()) == 1;
    EVP_MD_CTX_free(context);
    require(signedOK, "the harness signs the payload");
    signature.resize(length);
    return signature;
}

std::string envelopeFor(std::string_view payload) {
    static const json::Value fixtureEnvelope = json::parse(fuzz::fixture("manifest/envelope-v2.json"));
    json::Value envelope = fixtureEnvelope;
    envelope["payload"] = base64UrlEncode(payload);
    envelope["signature"] = base64UrlEncode(sign(payload));
    return json::writeCanonical(envelope);
}

void checkRouteConfiguration(const RouteNode& route) {
    for (const std::optional<std::string>& interface : {std::optional<std::string>(), std::optional<std::string>("en0")}) {
        std::string configuration;
        try {
            configuration = SingBoxConfig::tunnelConfiguration(route, interface);
        } catch (const SingBoxConfigError&) {
            return;
        } catch (const json::JsonError&) {
            return;
        }
        try {
            const auto accepted = PrivilegedTunnelConfigurationValidator::validate(configuration);
            require(accepted.endpoint == route.server, "an accepted configuration's endpoint is the route's server",
                    route.server);
            require(accepted.endpointPort == route.port, "an accepted configuration's port is the route's port");
            require(accepted.defaultInterface == interface, "an accepted configuration pins the given interface");
        } catch (const PrivilegedHelperContractError&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string rootSPKI = fuzz::fixture("manifest/root.spki.der");
    const std::string_view payload = fuzz::bytesOf(data, size);
    const std::string body = envelopeFor(payload);

    std::optional<VerifiedTransportManifest> verified;
    try {
        verified.emplace(
            SignedTransportManifestVerifier::verify(body, fuzz::kFixtureNow, std::nullopt, std::nullopt, rootSPKI));
    } catch (const SignedTransportManifestError& error) {
        using Case = SignedTransportManifestError::Case;
        require(error.errorCase() == Case::invalidManifest,
                "a payload signed by the certified key fails only as a manifest", error.message());
        return 0;
    } catch (const json::JsonError&) {
        return 0;
    } catch (const ecdsa::EcdsaError& error) {
        require(false, "the fixture keys and the harness signature decode", error.message());
    } catch (const TransportManifestError&) {
        return 0;
    }

    if (verified->format() == TransportManifestFormat::v1) {
        require(TransportManifestNormalizer::normalizeV1(verified->payload()).document == verified->payload(),
                "a verified v1 payload is normalised", verified->payload());
    }
    fuzz::checkV1DocumentReaders(verified->payload());
    try {
        for (const RouteNode& route : verified->manifest().routeNodes(fuzz::kFixtureNow)) {
            checkRouteConfiguration(route);
        }
    } catch (const TransportManifestError&) {
    }
    return 0;
}
