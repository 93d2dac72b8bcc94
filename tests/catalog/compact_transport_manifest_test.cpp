#include "app/catalog/compact_transport_manifest.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <span>
#include <sstream>
#include <utility>
#include <variant>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "app/catalog/transport_manifest_normalizer.hpp"
#include "common/base/digest.hpp"
#include "common/base/json.hpp"
#include "common/base/json_document.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::readFixture;

void expectInvalidManifest(std::string_view payload) {
    try {
        (void)CompactTransportManifest::expand(payload);
        ADD_FAILURE() << "expanded";
    } catch (const SignedTransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), SignedTransportManifestError::Case::invalidManifest);
        EXPECT_EQ(error.message(),
                  "The signed transport manifest is invalid, expired, or older than the saved revision.");
    }
}

// The document text with one digit of its "legacy_sha256" changed.
std::string withLegacyDigitChanged(const std::string& payload, const std::string& legacySHA256,
                                   std::size_t index) {
    std::string changed = payload;
    const std::size_t at = changed.find("\"legacy_sha256\":\"" + legacySHA256 + "\"");
    EXPECT_NE(at, std::string::npos);
    char& digit = changed[at + 17 + index];
    digit = digit == '0' ? '1' : '0';
    return changed;
}

// The compact document shared with the signature verifier's fixtures
// (tests/fixtures/manifest/generate.py): its expansion, made in Python, and the
// projection whose hash the document signs.
TEST(CompactTransportManifest, ExpandsTheSignedFixtureToItsIndependentExpansion) {
    const std::string compact = readFixture("manifest/manifest-v2.json");
    const std::string expected = readFixture("manifest/manifest-v2-expanded.json");
    const std::string legacySHA256 = json::parse(compact).at("legacy_sha256").get<std::string>();

    const ExpandedCompactTransportManifest expanded = CompactTransportManifest::expand(compact);
    EXPECT_EQ(expanded.payload, expected);
    EXPECT_EQ(expanded.legacySHA256, legacySHA256);
    EXPECT_FALSE(expanded.skippedOptional);
    EXPECT_EQ(CompactTransportManifest::legacyProjection(expanded.payload),
              readFixture("manifest/manifest-legacy.json"));

    // The expansion is a finished v1 document: normalising it changes nothing,
    // and normalising the v1 manifest of the same content gives the projection.
    EXPECT_EQ(TransportManifestNormalizer::normalizeV1(expanded.payload).document, expanded.payload);
    EXPECT_EQ(TransportManifestNormalizer::normalizeV1(readFixture("manifest/manifest-v1.json")).document,
              CompactTransportManifest::legacyProjection(expanded.payload));
    const TarnelTransportManifest manifest = TarnelTransportManifest::decode(expanded.payload);
    ASSERT_FALSE(manifest.nodes.empty());
    EXPECT_EQ(manifest.nodes[0].id, "RO");
    EXPECT_EQ(manifest.nodes[0].transports[0].id, "RO:reality:203.0.113.7:443");

    for (const std::size_t index : {std::size_t{0}, std::size_t{31}, std::size_t{63}}) {
        SCOPED_TRACE(index);
        expectInvalidManifest(withLegacyDigitChanged(compact, legacySHA256, index));
    }
}

// Documents of this folder's own generator (tests/fixtures/manifest-v2/generate.py):
// overrides, defaults, trimming, an unlisted node code, a "free" class, a
// document whose only transports are of kinds listed as optional, and one that
// uses every slot of the table.
TEST(CompactTransportManifest, ExpandsTheGeneratedDocumentsByteForByte) {
    const json::Value cases = json::parse(readFixture("manifest-v2/cases.json"));
    for (const char* name : {"overrides", "optional-only", "every-slot"}) EXPECT_TRUE(cases.contains(name)) << name;
    for (const auto& [name, expectation] : cases.items()) {
        SCOPED_TRACE(name);
        const std::string compact = readFixture("manifest-v2/" + name + ".compact.json");
        const ExpandedCompactTransportManifest expanded = CompactTransportManifest::expand(compact);
        EXPECT_EQ(expanded.payload, readFixture("manifest-v2/" + name + ".expanded.json"));
        EXPECT_EQ(expanded.legacySHA256, expectation.at("legacy_sha256").get<std::string>());
        EXPECT_EQ(expanded.skippedOptional, expectation.at("skipped_optional").get<bool>());
        EXPECT_EQ(CompactTransportManifest::legacyProjection(expanded.payload),
                  readFixture("manifest-v2/" + name + ".legacy.json"));
        expectInvalidManifest(withLegacyDigitChanged(compact, expanded.legacySHA256, 10));
        // The expansion is a usable v1 manifest: one route per transport.
        const TarnelTransportManifest manifest = TarnelTransportManifest::decode(expanded.payload);
        std::size_t transports = 0;
        for (const ManifestNode& node : manifest.nodes) transports += node.transports.size();
        EXPECT_EQ(manifest.routeNodes(static_cast<double>(manifest.generatedAt)).size(), transports);
    }
}

TEST(CompactTransportManifest, KeepsTransportsOfOptionalKindsAndTheirCatalogLines) {
    const auto expanded =
        CompactTransportManifest::expand(readFixture("manifest-v2/optional-only.compact.json"));
    const json::Value document = json::parse(expanded.payload);
    EXPECT_FALSE(expanded.skippedOptional);
    ASSERT_EQ(document.at("nodes").size(), 1u);
    const json::Value& ru = document.at("nodes")[0];
    EXPECT_EQ(ru.at("label"), "Russia");
    ASSERT_EQ(ru.at("transports").size(), 2u);
    EXPECT_EQ(ru.at("transports")[0].at("kind"), "tuic");
    EXPECT_EQ(ru.at("transports")[1].at("kind"), "hysteria-v1");
    EXPECT_EQ(ru.at("transports")[1].at("id"), "RU:hysteria:192.0.2.10:9444");
    const json::Value& catalogRU = document.at("catalog")[3];
    ASSERT_EQ(catalogRU.at("id"), "RU");
    ASSERT_EQ(catalogRU.at("transports").size(), 7u);  // five base slots, then tuic and hysteria
    EXPECT_EQ(catalogRU.at("transports")[5].at("status"), "available");
    EXPECT_EQ(catalogRU.at("transports")[6].at("id"), "RU:hysteria");
    // The projection keeps no node: none of these kinds is a core kind.
    EXPECT_TRUE(json::parse(CompactTransportManifest::legacyProjection(expanded.payload)).at("nodes").empty());
}

TEST(CompactTransportManifest, AppliesOverridesButNeverThoseThatRebindASlot) {
    const json::Value document =
        json::parse(CompactTransportManifest::expand(readFixture("manifest-v2/overrides.compact.json")).payload);
    const json::Value& ro = document.at("nodes")[0];
    EXPECT_EQ(ro.at("id"), "RO");  // " ro\n" with a no-break space, trimmed and upper-cased
    const json::Value& reality = ro.at("transports")[0];
    EXPECT_EQ(reality.at("id"), "RO:reality:203.0.113.7:8443");
    EXPECT_EQ(reality.at("endpoint").at("port"), 8443);
    EXPECT_EQ(reality.at("endpoint").at("server_name"), "ro.example.net");
    const json::Value& naive = ro.at("transports")[1];
    EXPECT_EQ(naive.at("id"), "ro-naive-custom");
    EXPECT_EQ(naive.at("priority"), 105);
    EXPECT_EQ(naive.at("label"), "Naive QUIC");
    EXPECT_EQ(naive.at("catalog_id"), "RO:naive-h3");
    const json::Value& xx = document.at("nodes")[1];  // "IN" had no entry and is left out
    EXPECT_EQ(xx.at("id"), "XX");
    EXPECT_EQ(xx.at("label"), "Elsewhere \u2014 \u00fcn\u00efcode");
    EXPECT_EQ(xx.at("transports")[0].at("id"), "XX:tuic:198.51.100.9:443");
    EXPECT_EQ(xx.at("transports")[0].at("endpoint").at("server"), " 198.51.100.9 ");
    EXPECT_EQ(document.at("service_class"), " free\n");
    EXPECT_EQ(document.at("catalog")[0].at("transports")[0].at("status"), "paid_required");
    EXPECT_FALSE(document.contains("requires"));
    EXPECT_FALSE(document.contains("legacy_sha256"));
}

// Each document breaks one rule of the compact form and carries the hash that
// an expander without that rule would compute, so only the rule can refuse it.
TEST(CompactTransportManifest, RefusesEveryDocumentThatBreaksARule) {
    const json::Value mutations = json::parse(readFixture("manifest-v2/mutations.json"));
    for (const char* name : {"requires-unsorted", "requires-duplicate", "entry-slot-unknown",
                             "entry-kind-differs-from-slot", "override-changes-kind", "override-changes-transport-id",
                             "override-changes-catalog-id", "port-0", "port-65536", "unknown-node-key",
                             "codec-missing", "optional-missing", "legacy-sha256-upper-case",
                             "legacy-sha256-63-digits", "legacy-sha256-trailing-line-break"}) {
        EXPECT_TRUE(mutations.contains(name)) << name;
    }
    for (const auto& [name, document] : mutations.items()) {
        SCOPED_TRACE(name);
        expectInvalidManifest(document.get<std::string>());
    }
}

TEST(CompactTransportManifest, RefusesDocumentsThatAreNotCompactManifests) {
    const std::string head =
        R"({"codec":"tarnel.transport-node-delta.v1","legacy_sha256":")" + sha256Hex("") + R"(",)";
    for (const std::string& payload : {
             std::string("[]"),
             std::string(R"("tarnel.transport-manifest.v2")"),
             std::string("null"),
             head + R"("schema":"tarnel.transport-manifest.v2","requires":[],"optional":[],"nodes":[]})",
             head + R"("schema":"tarnel.transport-manifest.v2","requires":[],"optional":[],"service_class":"paid",)"
                    R"("nodes":{}})",
             head + R"("schema":"tarnel.transport-manifest.v2","requires":[],"optional":[],"service_class":"paid",)"
                    R"("nodes":[[]]})",
             head + R"("schema":"tarnel.transport-manifest.v2","requires":[""],"optional":[],"service_class":"paid",)"
                    R"("nodes":[]})",
             head + R"("schema":"tarnel.transport-manifest.v2","requires":["wireguard"],"optional":[],)"
                    R"("service_class":"paid","nodes":[]})",
             head + R"("schema":" tarnel.transport-manifest.v2","requires":[],"optional":[],"nodes":[]})",
         }) {
        SCOPED_TRACE(payload);
        expectInvalidManifest(payload);
    }
}

TEST(CompactTransportManifest, PassesJsonErrorsThroughUnchanged) {
    const struct {
        std::string payload;
        json::JsonError::Case expected;
    } cases[] = {
        {R"({"schema":)", json::JsonError::Case::invalidSyntax},
        {R"({"schema":"tarnel.transport-manifest.v2","schema":"x"})", json::JsonError::Case::duplicateKey},
        {"{\"schema\":\"\xff\"}", json::JsonError::Case::invalidUTF8},
    };
    for (const auto& testCase : cases) {
        try {
            (void)CompactTransportManifest::expand(testCase.payload);
            ADD_FAILURE() << "accepted " << testCase.payload;
        } catch (const json::JsonError& error) {
            EXPECT_EQ(error.errorCase(), testCase.expected) << testCase.payload;
        }
    }
}

// How decoding a v1 document ended: its records, or the JSON error's case
// and the key path it named.
using DecodeOutcome = std::variant<TarnelTransportManifest, std::pair<json::JsonError::Case, std::string>>;

template <typename Decode>
DecodeOutcome decodeOutcome(Decode&& decode) {
    try {
        return decode();
    } catch (const json::JsonError& error) {
        return std::pair(error.errorCase(), error.detail());
    }
}

// The expansion decodes the v1 document from its parts, never from its bytes:
// it gives the records, or the first JSON error, that decoding the bytes
// gives. The document of optional kinds only has no node in its legacy
// projection, so its nodes can be changed without changing its signed hash.
TEST(CompactTransportManifest, DecodesItsDocumentFromItsPartsAsFromItsBytes) {
    std::vector<std::string> documents = {readFixture("manifest/manifest-v2.json")};
    for (const char* name : {"overrides", "optional-only", "every-slot"}) {
        documents.push_back(readFixture("manifest-v2/" + std::string(name) + ".compact.json"));
    }
    const json::Value optionalOnly = json::parse(readFixture("manifest-v2/optional-only.compact.json"));
    using C = json::JsonError::Case;
    const struct {
        std::string pointer;
        json::Value value;
        C failure;
        std::string path;
    } changes[] = {
        {"/nodes/0/o", {{"label", 5}}, C::typeMismatch, "nodes[0].label"},
        {"/nodes/0/t/0/o", {{"id", nullptr}}, C::missingKey, "nodes[0].transports[0].id"},
        {"/nodes/0/t/1/o", {{"priority", 1.5}}, C::typeMismatch, "nodes[0].transports[1].priority"},
        {"/nodes/0/t/1/o", {{"priority", 9223372036854775808u}}, C::numberOutOfRange, "nodes[0].transports[1].priority"},
        {"/nodes/0/t/0/e/uuid", 7, C::typeMismatch, "nodes[0].transports[0].endpoint.uuid"},
        {"/nodes/0/d", {{"alpn", {"h3", 1}}}, C::typeMismatch, "nodes[0].transports[0].endpoint.alpn[1]"},
        {"/nodes/0/t/1/e/server_name", nullptr, C::missingKey, "nodes[0].transports[1].endpoint.server_name"},
    };
    std::vector<std::pair<std::string, std::string>> failing;
    for (const auto& change : changes) {
        json::Value changed = optionalOnly;
        changed[json::Value::json_pointer(change.pointer)] = change.value;
        documents.push_back(json::writeCanonical(changed));
        failing.emplace_back(documents.back(), change.path);
    }
    for (const std::string& compact : documents) {
        SCOPED_TRACE(compact);
        const CompactManifestExpansion expansion(json::Document::parse(compact, json::TopLevel::any));
        const DecodeOutcome fromParts = decodeOutcome([&] { return expansion.decode(); });
        EXPECT_EQ(fromParts, decodeOutcome([&] { return TarnelTransportManifest::decode(expansion.payload()); }));
    }
    for (const auto& [compact, path] : failing) {
        const CompactManifestExpansion expansion(json::Document::parse(compact, json::TopLevel::any));
        const DecodeOutcome outcome = decodeOutcome([&] { return expansion.decode(); });
        const bool failed = std::holds_alternative<std::pair<C, std::string>>(outcome);
        ASSERT_TRUE(failed) << path;
        EXPECT_EQ(std::get<1>(outcome).second, path);
    }
}

// A node's defaults sit two levels deeper in the expansion than in the
// compact document. An expansion that the JSON reader could not read back
// (nested beyond its cap) is refused as the reader would refuse it, rather
// than returned as a v1 document nothing can read.
TEST(CompactTransportManifest, RefusesAnExpansionNestedDeeperThanTheReaderReads) {
    json::Value document = json::parse(readFixture("manifest-v2/optional-only.compact.json"));
    const auto withDefaultNested = [&](std::size_t levels) {
        json::Value nested = 1;
        for (std::size_t level = 0; level < levels; ++level) nested = json::Value::array({nested});
        json::Value changed = document;
        changed["nodes"][0]["d"] = {{"extra", nested}};
        return json::writeCanonical(changed);
    };
    // At 58 levels the endpoint's member reaches the reader's cap of 64 exactly.
    EXPECT_NO_THROW((void)CompactTransportManifest::expand(withDefaultNested(58)));
    try {
        (void)CompactTransportManifest::expand(withDefaultNested(59));
        ADD_FAILURE() << "expanded a document nested beyond the cap";
    } catch (const json::JsonError& error) {
        EXPECT_EQ(error.errorCase(), json::JsonError::Case::nestingTooDeep);
    }
}

TEST(CompactTransportManifest, SlotTableAgreesWithTheSupportedKindsAndTheCatalog) {
    for (const auto& slot : CompactTransportManifest::kSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_TRUE(isSupportedTransportKind(slot.kind));
        EXPECT_EQ(CompactTransportManifest::slot(slot.name), &slot);
        // Every slot has a catalog line of the same name, transport id and kind.
        bool listed = false;
        for (const auto& tables : {std::span<const ManifestCatalogSlot>(kBaseCatalogSlots),
                                   std::span<const ManifestCatalogSlot>(kExtraCatalogSlots)}) {
            for (const auto& catalogSlot : tables) {
                if (catalogSlot.name != slot.name) continue;
                listed = true;
                EXPECT_EQ(catalogSlot.transportID, slot.transportID);
                EXPECT_EQ(catalogSlot.kind, slot.kind);
            }
        }
        EXPECT_TRUE(listed);
    }
    EXPECT_EQ(CompactTransportManifest::slot(" reality"), nullptr);
    EXPECT_EQ(CompactTransportManifest::slot("naive"), nullptr);
}

}  // namespace
}  // namespace tarnel
