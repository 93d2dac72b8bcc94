#include "app/catalog/transport_manifest_normalizer.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest_catalog.hpp"
#include "common/base/json.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

std::string readFixture(const std::string& name) { return testing::readFixture("manifest-v1/" + name); }

// The normalised bytes of each payload must equal what Python's own
// serialiser wrote for the same normalisation
// (tests/fixtures/manifest-v1/make_normalized_v1.py).
TEST(TransportManifestNormalizer, MatchesTheIndependentlySerialisedFixtures) {
    const json::Value cases = json::parse(readFixture("cases.json"));
    ASSERT_FALSE(cases.empty());
    for (const auto& [name, expectation] : cases.items()) {
        SCOPED_TRACE(name);
        const NormalizedTransportManifest result = TransportManifestNormalizer::normalizeV1(
            readFixture(name + ".input.json"));
        EXPECT_EQ(result.document, readFixture(name + ".expected.json"));
        EXPECT_EQ(result.skippedOptional, expectation.at("skipped_optional").get<bool>());
    }
}

TEST(TransportManifestNormalizer, KeepsSlashesAndTheUntrimmedServiceClassAndKind) {
    const std::string payload = R"({"schema":"tarnel.transport-manifest.v1","service_class":" free ",
        "catalog":[],"nodes":[{"id":"EE","transports":[
          {"kind":" naive ","catalog_id":"EE:naive-h3","endpoint":{"path":"\/ws"}},
          {"kind":"wireguard","catalog_id":"EE:tuic"}]},
         {"id":"RU","transports":[{"kind":"wireguard"}]}]})";
    const auto result = TransportManifestNormalizer::normalizeV1(payload);
    EXPECT_TRUE(result.skippedOptional);
    const json::Value document = json::parse(result.document);
    EXPECT_EQ(document.at("service_class"), " free ");
    ASSERT_EQ(document.at("nodes").size(), 1u);  // RU was left empty
    const json::Value& transports = document.at("nodes")[0].at("transports");
    ASSERT_EQ(transports.size(), 1u);
    EXPECT_EQ(transports[0].at("kind"), " naive ");
    EXPECT_NE(result.document.find(R"("path":"/ws")"), std::string::npos) << result.document;
    // The catalog is rebuilt with the trimmed class: EE's absent slots ask to pay,
    // the present one is available, the skipped transport's id is not collected.
    const json::Value& ee = document.at("catalog")[0];
    ASSERT_EQ(ee.at("id"), "EE");
    ASSERT_EQ(ee.at("transports").size(), 5u);
    EXPECT_EQ(ee.at("transports")[0].at("status"), "paid_required");
    EXPECT_EQ(ee.at("transports")[4].at("id"), "EE:naive-h3");
    EXPECT_EQ(ee.at("transports")[4].at("status"), "available");
}

TEST(TransportManifestNormalizer, RefusesDocumentsItCannotNormalise) {
    const std::string node = R"({"id":"RO","transports":[{"kind":"tuic"}]})";
    const auto v1 = [](const std::string& rest) {
        return R"({"schema":"tarnel.transport-manifest.v1",)" + rest + "}";
    };
    const struct {
        const char* name;
        std::string payload;
    } cases[] = {
        {"top level is a list", "[" + v1(R"("nodes":[)" + node + "]") + "]"},
        {"top level is a string", R"("tarnel.transport-manifest.v1")"},
        {"no schema", R"({"nodes":[)" + node + "]}"},
        {"other schema", R"({"schema":"tarnel.transport-manifest.v2","nodes":[)" + node + "]}"},
        {"schema not a string", R"({"schema":1,"nodes":[)" + node + "]}"},
        {"schema with trailing newline", R"({"schema":"tarnel.transport-manifest.v1\n","nodes":[)" + node + "]}"},
        {"no nodes", v1(R"("revision":1)")},
        {"nodes not a list", v1(R"("nodes":{"RO":)" + node + "}")},
        {"a node not an object", v1(R"("nodes":[)" + node + ",[]]")},
        {"transports missing", v1(R"("nodes":[{"id":"RO"}])")},
        {"a transport not an object", v1(R"("nodes":[{"id":"RO","transports":[{"kind":"tuic"},"tuic"]}])")},
        {"a kind missing", v1(R"("nodes":[{"id":"RO","transports":[{"kind":"tuic"},{"id":"x"}]}])")},
        {"a kind not a string", v1(R"("nodes":[{"id":"RO","transports":[{"kind":7}]}])")},
        {"a kind of white space", v1(R"("nodes":[{"id":"RO","transports":[{"kind":" \n\t"}]}])")},
        {"no node left", v1(R"("nodes":[{"id":"RO","transports":[{"kind":"wireguard"}]}])")},
        {"empty nodes", v1(R"("nodes":[])")},
        {"catalog without service class", v1(R"("catalog":[],"nodes":[)" + node + "]")},
        {"catalog with blank service class", v1(R"("catalog":[],"service_class":"  ","nodes":[)" + node + "]")},
        {"catalog with service class not a string",
         v1(R"("catalog":null,"service_class":["free"],"nodes":[)" + node + "]")},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        try {
            (void)TransportManifestNormalizer::normalizeV1(testCase.payload);
            ADD_FAILURE() << "accepted";
        } catch (const SignedTransportManifestError& error) {
            EXPECT_EQ(error.errorCase(), SignedTransportManifestError::Case::invalidManifest);
            EXPECT_EQ(error.message(),
                      "The signed transport manifest is invalid, expired, or older than the saved revision.");
        }
    }
}

TEST(TransportManifestNormalizer, PassesJsonErrorsThroughUnchanged) {
    const struct {
        std::string payload;
        json::JsonError::Case expected;
    } cases[] = {
        {"{\"schema\":", json::JsonError::Case::invalidSyntax},
        {"{\"schema\":\"tarnel.transport-manifest.v1\",\"schema\":\"x\"}", json::JsonError::Case::duplicateKey},
        {"{\"schema\":\"\xff\"}", json::JsonError::Case::invalidUTF8},
    };
    for (const auto& testCase : cases) {
        try {
            (void)TransportManifestNormalizer::normalizeV1(testCase.payload);
            ADD_FAILURE() << "accepted " << testCase.payload;
        } catch (const json::JsonError& error) {
            EXPECT_EQ(error.errorCase(), testCase.expected) << testCase.payload;
        }
    }
}

TEST(TransportManifestNormalizer, WithoutCatalogStaysWithoutOne) {
    const auto result = TransportManifestNormalizer::normalizeV1(R"({"schema":"tarnel.transport-manifest.v1",
        "nodes":[{"id":"RO","transports":[{"kind":"tuic","catalog_id":"RO:tuic"}]}]})");
    EXPECT_EQ(result.document,
              R"({"nodes":[{"id":"RO","transports":[{"catalog_id":"RO:tuic","kind":"tuic"}]}],)"
              R"("schema":"tarnel.transport-manifest.v1"})");
    EXPECT_FALSE(result.skippedOptional);
}

// ---------------------------------------------------------------------------
// Catalog rebuild

// "<id> <status>" for every slot of every node, one node per line.
std::string summary(const json::Value& nodes) {
    std::string text;
    for (const json::Value& node : nodes) {
        text += node.at("id").get<std::string>() + " (" + node.at("label").get<std::string>() + "):";
        for (const json::Value& slot : node.at("transports")) {
            text += " " + slot.at("id").get<std::string>() + "=" + slot.at("status").get<std::string>();
        }
        text += "\n";
    }
    return text;
}

TEST(TransportManifestCatalog, ListsTheFourCountriesFirstThenOtherCodesWithTheirPresentSlots) {
    const std::set<std::string> ids = {"RO:reality", "XX:tuic", "KZ:hysteria", "KZ:reality", "RU:vless-grpc",
                                       ":AA::tuic"};
    const std::string P = "=paid_required", T = "=temporarily_unavailable", A = "=available";
    const auto base = [](const std::string& code, const std::string& status) {
        std::string text;
        for (const char* slot : {"reality", "hysteria2", "anytls", "naive-h2", "naive-h3"}) {
            text += " " + code + ":" + slot + status;
        }
        return text;
    };
    const std::string ro = " RO:reality" + A + " RO:hysteria2" + T + " RO:anytls" + T + " RO:naive-h2" + T +
                           " RO:naive-h3" + T;
    const std::string tail = "AA (AA):\nKZ (KZ): KZ:reality" + A + " KZ:hysteria" + A + "\nXX (XX): XX:tuic" + A + "\n";
    EXPECT_EQ(summary(TransportManifestCatalog::build("free", ids)),
              "EE (Estonia):" + base("EE", P) + "\nIN (India):" + base("IN", T) + "\nRO (Romania):" + ro +
                  "\nRU (Russia):" + base("RU", P) + " RU:vless-grpc" + A + "\n" + tail);
    for (const char* serviceClass : {"paid", "Free", " free", "rescue", ""}) {
        SCOPED_TRACE(serviceClass);
        EXPECT_EQ(summary(TransportManifestCatalog::build(serviceClass, ids)),
                  "EE (Estonia):" + base("EE", T) + "\nIN (India):" + base("IN", T) + "\nRO (Romania):" + ro +
                      "\nRU (Russia):" + base("RU", T) + " RU:vless-grpc" + A + "\n" + tail);
    }
}

// The catalog as records is what decoding the catalog objects gives, and the
// canonical writing of the records is that of the objects.
TEST(TransportManifestCatalog, RecordsAndTheirTextAreThoseOfTheObjects) {
    const std::set<std::string> ids = {"RO:reality", "RO-1:tuic", "XX:tuic", "KZ:hysteria", "RU:vless-grpc",
                                       ":AA::tuic", "EE:naive-h3", "XX:reality:extra", "XX:unknown-slot"};
    for (const char* serviceClass : {"free", "paid"}) {
        SCOPED_TRACE(serviceClass);
        const json::Value objects = TransportManifestCatalog::build(serviceClass, ids);
        const std::vector<ManifestCatalogNode> records = TransportManifestCatalog::nodes(serviceClass, ids);
        std::vector<ManifestCatalogNode> decoded;
        for (const json::Value& node : objects) decoded.push_back(ManifestCatalogNode::fromJson(node));
        EXPECT_EQ(records, decoded);
        json::CanonicalWriter writer;
        TransportManifestCatalog::write(writer, records);
        EXPECT_EQ(writer.take(), json::writeCanonical(objects));
    }
}

TEST(TransportManifestCatalog, SlotObjectsCarryTheTableValues) {
    const auto nodes = TransportManifestCatalog::build("paid", {"RO:shadowtls", "RO:naive-h3"});
    ASSERT_EQ(nodes.size(), 4u);
    const json::Value& ro = nodes[2];
    ASSERT_EQ(ro.at("transports").size(), 6u);
    EXPECT_EQ(json::writeCanonical(ro.at("transports")[4]),
              R"({"id":"RO:naive-h3","kind":"naive","label":"Naive H3","status":"available","transport_id":"naive"})");
    EXPECT_EQ(json::writeCanonical(ro.at("transports")[5]),
              R"({"id":"RO:shadowtls","kind":"shadowsocks-shadowtls","label":"ShadowTLS + Shadowsocks 2022",)"
              R"("status":"available","transport_id":"shadowtls"})");
}

TEST(TransportManifestCatalog, NodeCodeIsTheFirstNonEmptyPiece) {
    EXPECT_EQ(TransportManifestCatalog::nodeCode("RO:reality"), "RO");
    EXPECT_EQ(TransportManifestCatalog::nodeCode("::RO:reality"), "RO");
    EXPECT_EQ(TransportManifestCatalog::nodeCode("RO"), "RO");
    EXPECT_EQ(TransportManifestCatalog::nodeCode(":::"), std::nullopt);
    EXPECT_EQ(TransportManifestCatalog::nodeCode(""), std::nullopt);
}

TEST(TransportManifestCatalog, SupportsExactlyTheElevenKinds) {
    const std::vector<std::string_view> kinds = {"vless-reality", "hysteria2", "anytls", "naive",
                                                 "tuic", "trojan-tls", "shadowsocks-shadowtls", "shadowsocks-2022",
                                                 "vmess-ws-tls", "vless-grpc-tls", "hysteria-v1"};
    EXPECT_EQ(std::vector<std::string_view>(kSupportedTransportKinds.begin(), kSupportedTransportKinds.end()), kinds);
    for (const std::string_view kind : kinds) EXPECT_TRUE(isSupportedTransportKind(kind)) << kind;
    for (const char* kind : {"wireguard", "vless", "Naive", " naive", "naive\n", "", "hysteria"}) {
        EXPECT_FALSE(isSupportedTransportKind(kind)) << kind;
    }
}

}  // namespace
}  // namespace tarnel
