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
#include <optional>
#include <string>
#include <utility>

#include "app/catalog/compact_transport_manifest.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/signed_transport_manifest_verifier.hpp"
#include "app/catalog/transport_manifest_normalizer.hpp"
#include "app/tunnel/sing_box_config.hpp"
#include "common/base/base64.hpp"
#include "common/base/ecdsa.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
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

// The first JSON error of the plain way from a payload to its records: read
// it, normalise or expand it to bytes, and decode those bytes.
std::optional<std::pair<json::JsonError::Case, std::string>> plainJsonFailure(std::string_view payload) {
    try {
        const json::Value parsed = json::parse(payload, json::TopLevel::any);
        const auto schema = parsed.is_object() ? parsed.find("schema") : parsed.end();
        if (schema == parsed.end() || !schema->is_string()) return std::nullopt;
        std::string document;
        if (*schema == TarnelTransportManifest::kSchemaV1) {
            document = TransportManifestNormalizer::normalizeV1(payload).document;
        } else if (*schema == CompactTransportManifest::kSchemaV2) {
            document = CompactTransportManifest::expand(payload).payload;
        } else {
            return std::nullopt;
        }
        static_cast<void>(TarnelTransportManifest::decode(document));
    } catch (const json::JsonError& error) {
        return std::pair(error.errorCase(), error.detail());
    } catch (const Error&) {
    }
    return std::nullopt;
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
    } catch (const json::JsonError& error) {
        // The verifier decodes without reading its documents back, and fails
        // as the plain way does.
        require(plainJsonFailure(payload) == std::pair(error.errorCase(), error.detail()),
                "a payload fails verification with the JSON error of its plain reading", error.message());
        return 0;
    } catch (const ecdsa::EcdsaError& error) {
        require(false, "the fixture keys and the harness signature decode", error.message());
    } catch (const TransportManifestError&) {
        return 0;
    }

    // The verifier decodes the document it verified without reading its
    // bytes back; reading them gives the same records.
    require(TarnelTransportManifest::decode(verified->payload()) == verified->manifest(),
            "a verified manifest is its payload decoded", verified->payload());
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
