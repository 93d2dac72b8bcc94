#include "app/state/direct_stored_access.hpp"

#include <gtest/gtest.h>

#include "common/base/json.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

TEST(DirectStoredAccessTest, WritesCompactFieldsInOrderAndReadsThemBackByteForByte) {
    const std::string hash(64, 'a');
    struct Case {
        std::string json;
        DirectStoredAccess access;
    };
    const Case cases[] = {
        {R"({"subscription":"s","source":"","cache":"c"})", {"s", "", "c"}},
        {R"({"subscription":"https://sub.tarnel.test/sub/f/tok.txt","source":"https://sub.tarnel.test/sub/f/tok.txt",)"
         R"("cache":"vless://u1@h/?a=1#RO%20one\n\"é\"","subscriptionOrigins":["https://a.test","https://b.test"],)"
         R"("manifestFloorIdentity":")" + hash + R"(","manifestFloorRevision":9223372036854775807,)"
         R"("manifestFloorLegacySHA256":")" + hash + R"(","manifestFloorCompactV2SHA256":")" + hash + R"(",)"
         R"("manifestFormat":"v2"})",
         {"https://sub.tarnel.test/sub/f/tok.txt", "https://sub.tarnel.test/sub/f/tok.txt",
          "vless://u1@h/?a=1#RO%20one\n\"é\"", std::vector<std::string>{"https://a.test", "https://b.test"}, hash,
          INT64_MAX, hash, hash, TransportManifestFormat::v2}},
        {R"({"subscription":"","source":"","cache":"","subscriptionOrigins":[],"manifestFloorRevision":-1,)"
         R"("manifestFormat":"v1"})",
         {"", "", "", std::vector<std::string>{}, std::nullopt, -1, std::nullopt, std::nullopt,
          TransportManifestFormat::v1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encodeDirectStoredAccess(c.access), c.json);
        EXPECT_EQ(decodeDirectStoredAccess(c.json), c.access) << c.json;
    }
}

TEST(DirectStoredAccessTest, ReadsNullOptionalsAsAbsentAndIgnoresUnknownKeys) {
    const DirectStoredAccess expected{"s", "l", "c"};
    const char* const accepted[] = {
        R"({"subscription":"s","source":"l","cache":"c","subscriptionOrigins":null,"manifestFloorIdentity":null,)"
        R"("manifestFloorRevision":null,"manifestFloorLegacySHA256":null,"manifestFloorCompactV2SHA256":null,)"
        R"("manifestFormat":null})",
        R"({"future":{"x":[1.5]},"cache":"c","source":"l","subscription":"s"})",
    };
    for (const char* json : accepted) EXPECT_EQ(decodeDirectStoredAccess(json), expected) << json;
}

TEST(DirectStoredAccessTest, RefusesMissingNullOrMistypedRequiredKeysFloatRevisionsAndUnknownFormats) {
    const char* const refused[] = {
        R"({"subscription":"s","source":""})",
        R"({"subscription":"s","source":"","cache":null})",
        R"({"subscription":1,"source":"","cache":"c"})",
        R"({"subscription":"s","source":"","cache":"c","manifestFloorRevision":3.0})",
        R"({"subscription":"s","source":"","cache":"c","manifestFloorRevision":"3"})",
        R"({"subscription":"s","source":"","cache":"c","manifestFloorRevision":9223372036854775808})",
        R"({"subscription":"s","source":"","cache":"c","manifestFormat":"v3"})",
        R"({"subscription":"s","source":"","cache":"c","manifestFormat":"V1"})",
        R"({"subscription":"s","source":"","cache":"c","subscriptionOrigins":["a",null]})",
        R"({"subscription":"s","source":"","cache":"c","manifestFloorIdentity":7})",
        R"({"subscription":"s","source":"","cache":"c","cache":"d"})",
        R"(["s","","c"])",
        "{\"subscription\":\"\xff\",\"source\":\"\",\"cache\":\"\"}",
        "",
    };
    for (const char* json : refused) {
        EXPECT_THROW((void)decodeDirectStoredAccess(json), json::JsonError) << json;
    }
}

TEST(DirectStoredAccessTest, RefusesToWriteTextThatIsNotUTF8) {
    EXPECT_THROW((void)encodeDirectStoredAccess({"s", "", "\xc3"}), json::JsonError);
}

}  // namespace
}  // namespace tarnel
