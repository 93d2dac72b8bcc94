#include "app/catalog/signed_transport_manifest_verifier.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/catalog/manifest_content_floor.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "common/base/base64.hpp"
#include "common/base/ecdsa.hpp"
#include "common/base/files.hpp"
#include "common/base/iso8601.hpp"
#include "common/base/json.hpp"
#include "tests/support/test_support.hpp"

// The envelopes, keys and expectations come from
// tests/fixtures/manifest/generate.py (openssl and python3); README.md there
// describes each file.

namespace tarnel {
namespace {

using Case = SignedTransportManifestError::Case;

std::string fixture(const std::string& name) { return testing::readFixture("manifest/" + name); }

const json::Value& expectations() {
    static const json::Value expected = json::parse(fixture("expected.json"));
    return expected;
}

double instant(const std::string& text) {
    const auto seconds = iso8601::parse(text);
    if (!seconds) throw std::runtime_error("fixture date does not parse: " + text);
    return static_cast<double>(*seconds);
}

double nowInsideWindow() { return instant(expectations().at("now_inside_window").get<std::string>()); }

const std::string& rootSPKI() {
    static const std::string root = fixture("root.spki.der");
    return root;
}

VerifiedTransportManifest verifyFixture(const std::string& name,
                                        std::optional<std::int64_t> savedRevision = std::nullopt,
                                        const std::optional<ManifestContentFloor>& savedFloor = std::nullopt) {
    return SignedTransportManifestVerifier::verify(fixture(name), nowInsideWindow(), savedRevision, savedFloor,
                                                   rootSPKI());
}

std::string caseName(Case errorCase) {
    switch (errorCase) {
        case Case::invalidEnvelope: return "invalidEnvelope";
        case Case::trustRootUnavailable: return "trustRootUnavailable";
        case Case::invalidRootSignature: return "invalidRootSignature";
        case Case::invalidPayloadSignature: return "invalidPayloadSignature";
        case Case::expiredDelegation: return "expiredDelegation";
        case Case::invalidManifest: return "invalidManifest";
        case Case::manifestPairMismatch: return "manifestPairMismatch";
    }
    return "?";
}

std::string caseName(ecdsa::EcdsaError::Case errorCase) {
    using EcdsaCase = ecdsa::EcdsaError::Case;
    switch (errorCase) {
        case EcdsaCase::malformedPublicKey: return "malformedPublicKey";
        case EcdsaCase::unsupportedPublicKey: return "unsupportedPublicKey";
        case EcdsaCase::malformedSignature: return "malformedSignature";
        case EcdsaCase::malformedPrivateKey: return "malformedPrivateKey";
        case EcdsaCase::operationFailed: return "operationFailed";
    }
    return "?";
}

std::string caseName(json::JsonError::Case errorCase) {
    using JsonCase = json::JsonError::Case;
    switch (errorCase) {
        case JsonCase::invalidSyntax: return "invalidSyntax";
        case JsonCase::invalidUTF8: return "invalidUTF8";
        case JsonCase::duplicateKey: return "duplicateKey";
        case JsonCase::nestingTooDeep: return "nestingTooDeep";
        case JsonCase::wrongTopLevel: return "wrongTopLevel";
        case JsonCase::missingKey: return "missingKey";
        case JsonCase::typeMismatch: return "typeMismatch";
        case JsonCase::numberOutOfRange: return "numberOutOfRange";
        case JsonCase::nonFiniteNumber: return "nonFiniteNumber";
    }
    return "?";
}

std::string caseName(TransportManifestError::Case errorCase) {
    using ModelCase = TransportManifestError::Case;
    switch (errorCase) {
        case ModelCase::invalidEndpoint: return "invalidEndpoint";
        case ModelCase::unsupportedTransport: return "unsupportedTransport";
        case ModelCase::invalidOrExpired: return "invalidOrExpired";
        case ModelCase::invalidSubscriptionOrigins: return "invalidSubscriptionOrigins";
        case ModelCase::noRoutes: return "noRoutes";
    }
    return "?";
}

// How an operation ended: "verified", the case of a manifest error
// ("invalidEnvelope"), of an ECDSA error ("malformedSignature"), or the type,
// case and key path of another error ("JsonError.typeMismatch:delegation.not_before",
// "TransportManifestError.invalidSubscriptionOrigins").
struct Outcome {
    std::string name;
    std::string message;
};

Outcome outcomeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const SignedTransportManifestError& error) {
        return {caseName(error.errorCase()), error.message()};
    } catch (const ecdsa::EcdsaError& error) {
        return {caseName(error.errorCase()), error.message()};
    } catch (const json::JsonError& error) {
        return {"JsonError." + caseName(error.errorCase()) + (error.detail().empty() ? "" : ":" + error.detail()),
                error.message()};
    } catch (const TransportManifestError& error) {
        return {"TransportManifestError." + caseName(error.errorCase()), error.message()};
    }
    return {"verified", {}};
}

Outcome verifyOutcome(const std::string& body, double now, const std::string& root = rootSPKI()) {
    return outcomeOf([&] {
        (void)SignedTransportManifestVerifier::verify(body, now, std::nullopt, std::nullopt, root);
    });
}

ManifestContentFloor floorOf(std::int64_t revision, const std::string& legacy,
                             const std::optional<std::string>& compact) {
    return ManifestContentFloor::validated(revision, legacy, compact);
}

// The fixture's expectation for a verified manifest.
ManifestContentFloor expectedFloor(const std::string& name) {
    const json::Value& manifest = expectations().at("manifests").at(name);
    const json::Value& compact = manifest.at("compact_sha256");
    return floorOf(manifest.at("revision").get<std::int64_t>(), manifest.at("legacy_sha256").get<std::string>(),
                   compact.is_null() ? std::nullopt : std::optional<std::string>(compact.get<std::string>()));
}

// ---------------------------------------------------------------------------
// The fixture envelopes

TEST(SignedTransportManifestVerifier, EveryFixtureEnvelopeHasItsExpectedOutcome) {
    const json::Value& envelopes = expectations().at("envelopes");
    ASSERT_FALSE(envelopes.empty());
    for (const auto& [name, expected] : envelopes.items()) {
        SCOPED_TRACE(name);
        const Outcome outcome = verifyOutcome(fixture(name), instant(expected.at("now").get<std::string>()));
        EXPECT_EQ(outcome.name, expected.at("outcome").get<std::string>()) << outcome.message;
    }
}

TEST(SignedTransportManifestVerifier, AVerifiedManifestCarriesItsDocumentHashesAndOrigins) {
    const json::Value& manifests = expectations().at("manifests");
    ASSERT_FALSE(manifests.empty());
    for (const auto& [name, expected] : manifests.items()) {
        SCOPED_TRACE(name);
        std::optional<std::vector<std::string>> origins;
        if (!expected.at("subscription_origins").is_null()) {
            origins = expected.at("subscription_origins").get<std::vector<std::string>>();
        }
        const VerifiedTransportManifest verified = verifyFixture(name);
        EXPECT_EQ(rawValue(verified.format()), expected.at("format").get<std::string>());
        EXPECT_EQ(verified.revision(), expected.at("revision").get<std::int64_t>());
        EXPECT_EQ(verified.legacySHA256(), expected.at("legacy_sha256").get<std::string>());
        EXPECT_EQ(verified.skippedOptional(), expected.at("skipped_optional").get<bool>());
        // Nothing saved: the floor is the manifest's own.
        EXPECT_EQ(verified.contentFloor(), expectedFloor(name));
        EXPECT_EQ(verified.subscriptionOrigins(), origins);
        if (expected.contains("document")) {
            EXPECT_EQ(verified.payload(), fixture(expected.at("document").get<std::string>()));
        }
        EXPECT_EQ(verified.manifest(), TarnelTransportManifest::decode(verified.payload()));
    }
}

// The root key signs the five delegation members as received, in canonical
// JSON: python3's serialisation of the main delegation must match byte for
// byte (its public key's Base64 holds "/", which must stay unescaped).
TEST(SignedTransportManifestVerifier, TheRootSignedMessageIsTheCanonicalDelegation) {
    const json::Value envelope = json::parse(fixture("envelope-v2.json"));
    const ManifestDelegation delegation = ManifestDelegation::fromJson(envelope.at("delegation"), "delegation");
    ASSERT_NE(delegation.publicKeySPKI.find('/'), std::string::npos);
    const std::string message = SignedTransportManifestVerifier::rootSignedMessage(delegation);
    EXPECT_EQ(message, fixture("delegation-signed-bytes.json"));
    EXPECT_EQ(message.find("\\/"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The delegation's window

TEST(SignedTransportManifestVerifier, TheDelegationWindowIsHalfOpen) {
    const json::Value& window = expectations().at("delegation");
    const double notBefore = instant(window.at("not_before").get<std::string>());
    const double expiresAt = instant(window.at("expires_at").get<std::string>());
    const std::string body = fixture("envelope-v2.json");
    const struct {
        const char* name;
        double now;
        const char* outcome;
    } cases[] = {
        {"at not_before", notBefore, "verified"},
        {"a second before not_before", notBefore - 1, "expiredDelegation"},
        {"half a second before not_before", notBefore - 0.5, "expiredDelegation"},
        {"a second before expires_at", expiresAt - 1, "verified"},
        {"at expires_at", expiresAt, "expiredDelegation"},
        {"long after", expiresAt + 86400 * 365, "expiredDelegation"},
        {"not a number", std::numeric_limits<double>::quiet_NaN(), "expiredDelegation"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const Outcome outcome = verifyOutcome(body, testCase.now);
        EXPECT_EQ(outcome.name, testCase.outcome) << outcome.message;
        if (outcome.name == "expiredDelegation") {
            EXPECT_EQ(outcome.message, "The transport manifest signing key has expired.");
        }
    }
}

// ---------------------------------------------------------------------------
// Altered envelopes (none re-signed: every change below keeps or breaks the
// fixture's own signatures)

TEST(SignedTransportManifestVerifier, AlteredEnvelopesFailAtTheirOwnStep) {
    const json::Value original = json::parse(fixture("envelope-v2.json"));
    const std::string otherKey = base64Encode(fixture("untrusted-root.spki.der"));
    using Edit = std::function<void(json::Value&)>;
    const auto delegationMember = [](const char* key, json::Value value) -> Edit {
        return [key, value](json::Value& envelope) { envelope["delegation"][key] = value; };
    };
    const auto member = [](const char* key, json::Value value) -> Edit {
        return [key, value](json::Value& envelope) { envelope[key] = value; };
    };
    const struct {
        const char* name;
        Edit edit;
        const char* outcome;
    } cases[] = {
        // The form of the envelope, compared exactly.
        {"envelope schema v2", member("schema", "tarnel.signed-envelope.v2"), "invalidEnvelope"},
        {"envelope schema in another case", member("schema", "Tarnel.signed-envelope.v1"), "invalidEnvelope"},
        {"algorithm in upper case", member("algorithm", "ECDSA-P256-SHA256"), "invalidEnvelope"},
        {"algorithm P-384", member("algorithm", "ecdsa-p384-sha384"), "invalidEnvelope"},
        {"delegation schema", delegationMember("schema", "tarnel.manifest-delegation.v2"), "invalidEnvelope"},
        {"envelope key id with a trailing space", member("key_id", "manifest-signing-2031-03 "), "invalidEnvelope"},
        // Each of the five certified members is covered by the root signature.
        {"both key ids changed alike",
         [](json::Value& envelope) {
             envelope["key_id"] = "manifest-signing-2031-04";
             envelope["delegation"]["key_id"] = "manifest-signing-2031-04";
         },
         "invalidRootSignature"},
        {"earlier not_before", delegationMember("not_before", "2031-02-28T00:00:00Z"), "invalidRootSignature"},
        {"later expires_at", delegationMember("expires_at", "2031-04-02T00:00:00Z"), "invalidRootSignature"},
        {"another public key", delegationMember("public_key_spki", otherKey), "invalidRootSignature"},
        // The public key is certified before it is decoded.
        {"public key not Base64", delegationMember("public_key_spki", "not base64"), "invalidRootSignature"},
        // Members beyond the five are not certified and are ignored.
        {"an extra delegation member", delegationMember("comment", "rotated monthly"), "verified"},
        {"an extra envelope member", member("comment", "rotated monthly"), "verified"},
        // Binary fields.
        {"root signature not Base64", delegationMember("root_signature", "MEU*"), "invalidEnvelope"},
        {"root signature not DER", delegationMember("root_signature", base64UrlEncode("signature")),
         "malformedSignature"},
        {"root signature empty", delegationMember("root_signature", ""), "malformedSignature"},
        {"payload signature not Base64", member("signature", "MEU.."), "invalidEnvelope"},
        {"payload signature not DER", member("signature", base64UrlEncode(std::string(64, 'A'))),
         "malformedSignature"},
        {"payload not Base64", member("payload", "e30*"), "invalidEnvelope"},
        {"payload of two other bytes", member("payload", "e30"), "invalidPayloadSignature"},
        {"payload of other bytes", member("payload", base64UrlEncode(fixture("manifest-v1.json"))),
         "invalidPayloadSignature"},
        {"payload in standard Base64",
         [](json::Value& envelope) {
             envelope["payload"] = base64Encode(*base64UrlDecode(envelope["payload"].get<std::string>()));
         },
         "verified"},
        {"payload with a trailing line feed",
         [](json::Value& envelope) { envelope["payload"] = envelope["payload"].get<std::string>() + "\n"; },
         "invalidEnvelope"},
        // Decoding failures of the JSON and date layers pass through.
        {"no signature", [](json::Value& envelope) { envelope.erase("signature"); }, "JsonError.missingKey:signature"},
        {"payload a number", member("payload", 42), "JsonError.typeMismatch:payload"},
        {"delegation a string", member("delegation", "root-certified"), "JsonError.typeMismatch:delegation"},
        {"delegation without root signature",
         [](json::Value& envelope) { envelope["delegation"].erase("root_signature"); },
         "JsonError.missingKey:delegation.root_signature"},
        {"not_before with a space", delegationMember("not_before", "2031-03-01 00:00:00Z"),
         "JsonError.typeMismatch:delegation.not_before"},
        {"expires_at with a fraction", delegationMember("expires_at", "2031-04-01T00:00:00.5Z"),
         "JsonError.typeMismatch:delegation.expires_at"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        json::Value envelope = original;
        testCase.edit(envelope);
        const Outcome outcome = verifyOutcome(json::writeCanonical(envelope), nowInsideWindow());
        EXPECT_EQ(outcome.name, testCase.outcome) << outcome.message;
    }
}

TEST(SignedTransportManifestVerifier, BodiesThatAreNotAnEnvelope) {
    const std::string body = fixture("envelope-v2.json");
    const struct {
        const char* name;
        std::string body;
        const char* outcome;
    } cases[] = {
        {"empty", "", "JsonError.invalidSyntax"},
        {"not JSON", "payload=" + body, "JsonError.invalidSyntax"},
        {"a list", "[" + body + "]", "JsonError.wrongTopLevel"},
        {"ill-formed UTF-8", body.substr(0, body.size() - 2) + ",\"x\":\"\xC3\x28\"}", "invalidEnvelope"},
        {"a repeated key", R"({"schema":"tarnel.signed-envelope.v1",)" + body.substr(1),
         "JsonError.duplicateKey:schema"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(verifyOutcome(testCase.body, nowInsideWindow()).name, testCase.outcome);
    }
}

TEST(SignedTransportManifestVerifier, TheRootKeyMustBeTheTrustedP256Key) {
    const struct {
        const char* name;
        std::string root;
        const char* outcome;
    } cases[] = {
        {"another P-256 key", fixture("untrusted-root.spki.der"), "invalidRootSignature"},
        {"a P-384 key", fixture("delegation-p384.spki.der"), "unsupportedPublicKey"},
        {"an RSA key", fixture("delegation-rsa.spki.der"), "unsupportedPublicKey"},
        {"an Ed25519 key", fixture("ed25519.spki.der"), "unsupportedPublicKey"},
        {"explicit curve parameters", fixture("delegation-explicit.spki.der"), "unsupportedPublicKey"},
        {"no bytes", "", "malformedPublicKey"},
        {"the property-list text instead of its bytes", fixture("root.spki.b64url"), "malformedPublicKey"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(verifyOutcome(fixture("envelope-v2.json"), nowInsideWindow(), testCase.root).name,
                  testCase.outcome);
    }
}

// ---------------------------------------------------------------------------
// The saved floor

TEST(SignedTransportManifestVerifier, TheSavedFloorRefusesRollbackAndOtherContent) {
    const ManifestContentFloor v2Floor = expectedFloor("envelope-v2.json");
    const ManifestContentFloor v1Floor = expectedFloor("envelope-v1.json");
    const ManifestContentFloor otherContent = verifyFixture("envelope-v1-revision-42-other-content.json").contentFloor();
    const std::string legacy = v2Floor.legacySHA256();
    const std::string otherHash(64, 'e');
    const struct {
        const char* name;
        std::optional<std::int64_t> savedRevision;
        std::optional<ManifestContentFloor> savedFloor;
        std::string outcome;
        std::optional<ManifestContentFloor> floor;  // the floor to keep when verified
    } cases[] = {
        {"nothing saved", std::nullopt, std::nullopt, "verified", v2Floor},
        {"a lower revision without hashes", 41, std::nullopt, "verified", v2Floor},
        {"a lower revision with other hashes", 41, floorOf(41, otherHash, otherHash), "verified", v2Floor},
        {"the same revision without hashes", 42, std::nullopt, "verified", v2Floor},
        {"the v1 floor of the same content", 42, v1Floor, "verified", v2Floor},
        {"the v2 floor itself", 42, v2Floor, "verified", v2Floor},
        {"a floor without its revision", std::nullopt, v1Floor, "verified", v2Floor},
        {"a higher revision", 43, std::nullopt, "invalidManifest", std::nullopt},
        {"a higher floor without its revision", std::nullopt, floorOf(43, legacy, std::nullopt), "invalidManifest",
         std::nullopt},
        {"a negative revision", -1, std::nullopt, "invalidManifest", std::nullopt},
        {"a floor of another revision", 42, floorOf(41, legacy, std::nullopt), "invalidManifest", std::nullopt},
        {"other content of the same revision", 42, otherContent, "manifestPairMismatch", std::nullopt},
        {"another compact document of the same revision", 42, floorOf(42, legacy, otherHash),
         "manifestPairMismatch", std::nullopt},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::optional<ManifestContentFloor> kept;
        const Outcome outcome = outcomeOf([&] {
            kept = verifyFixture("envelope-v2.json", testCase.savedRevision, testCase.savedFloor).contentFloor();
        });
        EXPECT_EQ(outcome.name, testCase.outcome) << outcome.message;
        EXPECT_EQ(kept, testCase.floor);
        if (outcome.name == "manifestPairMismatch") {
            EXPECT_EQ(outcome.message, "The equal-revision v1 and v2 transport manifests disagree.");
        }
        if (outcome.name == "invalidManifest") {
            EXPECT_EQ(outcome.message,
                      "The signed transport manifest is invalid, expired, or older than the saved revision.");
        }
    }
}

TEST(SignedTransportManifestVerifier, AV1ManifestKeepsACompactHashAlreadyPinned) {
    const ManifestContentFloor v2Floor = expectedFloor("envelope-v2.json");
    const VerifiedTransportManifest v1 = verifyFixture("envelope-v1.json", 42, v2Floor);
    EXPECT_EQ(v1.contentFloor(), v2Floor);
    EXPECT_EQ(outcomeOf([&] { (void)verifyFixture("envelope-v1-revision-42-other-content.json", 42, v2Floor); }).name,
              "manifestPairMismatch");
    EXPECT_EQ(verifyFixture("envelope-v1-revision-43.json", 42, v2Floor).contentFloor(),
              expectedFloor("envelope-v1-revision-43.json"));
}

// ---------------------------------------------------------------------------
// Newest-manifest selection

TEST(SignedTransportManifestVerifier, SelectNewestPrefersTheHighestRevisionThenV2) {
    const VerifiedTransportManifest v1 = verifyFixture("envelope-v1.json");
    const VerifiedTransportManifest v2 = verifyFixture("envelope-v2.json");
    const VerifiedTransportManifest v1Newer = verifyFixture("envelope-v1-revision-43.json");
    const VerifiedTransportManifest v1Other = verifyFixture("envelope-v1-revision-42-other-content.json");
    // The v2 of revision 42 carries both hashes once merged with its v1 twin.
    const ManifestContentFloor merged = expectedFloor("envelope-v2.json");
    ASSERT_FALSE(v1.contentFloor().compactV2SHA256().has_value());

    const struct {
        const char* name;
        std::vector<VerifiedTransportManifest> manifests;
        std::string outcome;
        const VerifiedTransportManifest* selected;
    } cases[] = {
        {"nothing", {}, "invalidManifest", nullptr},
        {"one v1", {v1}, "verified", &v1},
        {"v1 then v2 of one revision", {v1, v2}, "verified", &v2},
        {"v2 then v1 of one revision", {v2, v1}, "verified", &v2},
        {"the same v1 twice", {v1, v1}, "verified", &v1},
        {"a newer v1 after an older v2", {v2, v1Newer}, "verified", &v1Newer},
        {"a newer v1 before an older pair", {v1Newer, v1, v2}, "verified", &v1Newer},
        {"an older disagreeing pair is not compared", {v1Other, v1Newer, v2}, "verified", &v1Newer},
        {"v1 and v2 of one revision with other content", {v1Other, v2}, "manifestPairMismatch", nullptr},
        {"two v1 of one revision with other content", {v1, v1Other}, "manifestPairMismatch", nullptr},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::optional<VerifiedTransportManifest> selected;
        const Outcome outcome =
            outcomeOf([&] { selected = SignedTransportManifestVerifier::selectNewest(testCase.manifests); });
        ASSERT_EQ(outcome.name, testCase.outcome) << outcome.message;
        if (testCase.selected == nullptr) continue;
        ASSERT_TRUE(selected.has_value());
        EXPECT_EQ(selected->format(), testCase.selected->format());
        EXPECT_EQ(selected->revision(), testCase.selected->revision());
        EXPECT_EQ(selected->payload(), testCase.selected->payload());
        EXPECT_EQ(selected->legacySHA256(), testCase.selected->legacySHA256());
        EXPECT_EQ(selected->contentFloor(),
                  testCase.selected == &v2 ? merged : testCase.selected->contentFloor());
    }
}

TEST(SignedTransportManifestVerifier, SelectNewestMergesTheFloorsOfAPair) {
    // A v1 verified against a floor that pinned another compact document and
    // the v2 of that revision disagree about the compact hash.
    const ManifestContentFloor v1Floor = expectedFloor("envelope-v1.json");
    const ManifestContentFloor pinned = floorOf(42, v1Floor.legacySHA256(), std::string(64, 'c'));
    const VerifiedTransportManifest v1 = verifyFixture("envelope-v1.json", 42, pinned);
    ASSERT_EQ(v1.contentFloor(), pinned);
    const VerifiedTransportManifest v2 = verifyFixture("envelope-v2.json");
    const std::vector<VerifiedTransportManifest> pair = {v1, v2};
    EXPECT_EQ(outcomeOf([&] { (void)SignedTransportManifestVerifier::selectNewest(pair); }).name,
              "manifestPairMismatch");
}

}  // namespace
}  // namespace tarnel
