#include "common/contract/tailscale_compatibility_request.hpp"

#include <gtest/gtest.h>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"

namespace tarnel::PrivilegedHelperContract {
namespace {

using Request = TailscaleCompatibilityRequest;

// The reason the check gives, or "accepted".
std::string outcome(const std::string& document) {
    try {
        (void)validateTailscaleCompatibilityRequest(document);
        return "accepted";
    } catch (const PrivilegedHelperContractError& error) {
        return error.reason();
    }
}

std::string request(const std::string& schema, const std::string& regions, const std::string& relay) {
    return R"({"schema":)" + schema + R"(,"derp_region_ids":)" + regions + R"(,"relay_region_id":)" + relay + "}";
}

constexpr const char* kInvalidRequest = "Tailscale compatibility request is invalid";
constexpr const char* kInvalidRegions = "Tailscale DERP regions are invalid";
constexpr const char* kNotCanonical = "Tailscale DERP regions are not canonical";

TEST(TailscaleCompatibilityRequest, AbsentMeansNoCoexistenceAndAWellFormedRequestGivesItsRegions) {
    EXPECT_EQ(validateTailscaleCompatibilityRequest(std::nullopt), std::nullopt);
    EXPECT_EQ(validateTailscaleCompatibilityRequest(request("2", "[1, 7, 4096]", "7")), (Request{{1, 7, 4096}, 7}));
    // Numbers count by value: the schema's integer part, each region's integer
    // part, an integral relay written as a float.
    EXPECT_EQ(validateTailscaleCompatibilityRequest(request("2.5", "[1.9, 3]", "1.0")), (Request{{1, 3}, 1}));
    EXPECT_EQ(validateTailscaleCompatibilityRequest(request("2.999", "[2e0]", "2")), (Request{{2}, 2}));
    // Whitespace and key order are free.
    EXPECT_EQ(validateTailscaleCompatibilityRequest(
                  " {\"relay_region_id\": 5, \"derp_region_ids\": [5], \"schema\": 2}\n"),
              (Request{{5}, 5}));
}

TEST(TailscaleCompatibilityRequest, EveryRuleGivesItsReasonInOrder) {
    const std::string sixtyFive = [] {
        std::string list = "[";
        for (int i = 1; i <= 65; ++i) list += (i > 1 ? "," : "") + std::to_string(i);
        return list + "]";
    }();
    const struct {
        std::string document;
        const char* reason;
    } cases[] = {
        // The document and its keys.
        {"", kInvalidRequest},
        {"[1,2]", kInvalidRequest},
        {"2", kInvalidRequest},
        {"null", kInvalidRequest},
        {R"({"schema":2,"derp_region_ids":[1]})", kInvalidRequest},
        {R"({"schema":2,"derp_region_ids":[1],"relay_region_id":1,"note":"x"})", kInvalidRequest},
        {R"({"schema":2,"derp_region_ids":[1],"relay":1})", kInvalidRequest},
        // The schema.
        {request("true", "[1]", "1"), kInvalidRequest},
        {request("\"2\"", "[1]", "1"), kInvalidRequest},
        {request("3", "[1]", "1"), kInvalidRequest},
        {request("1.999", "[1]", "1"), kInvalidRequest},
        {request("-2.5", "[1]", "1"), kInvalidRequest},
        {request("1e300", "[1]", "1"), kInvalidRequest},
        {request("18446744073709551618", "[1]", "1"), kInvalidRequest},
        // The region list's element types, before the relay's type.
        {request("2", "{}", "true"), kInvalidRequest},
        {request("2", "[1, true]", "1"), kInvalidRequest},
        {request("2", "[1, \"2\"]", "1"), kInvalidRequest},
        {request("2", "[1, null]", "1"), kInvalidRequest},
        {request("2", "[1]", "false"), kInvalidRequest},
        {request("2", "[1]", "null"), kInvalidRequest},
        {request("2", "[1]", "[1]"), kInvalidRequest},
        // The region values, taken by their integer parts.
        {request("2", "[]", "1"), kInvalidRegions},
        {request("2", "[0]", "1"), kInvalidRegions},
        {request("2", "[0.5]", "1"), kInvalidRegions},
        {request("2", "[4097]", "1"), kInvalidRegions},
        {request("2", "[-1]", "1"), kInvalidRegions},
        {request("2", "[1e300]", "1"), kInvalidRegions},
        {request("2", "[-1e300]", "1"), kInvalidRegions},
        {request("2", "[18446744073709551615]", "1"), kInvalidRegions},
        {request("2", "[18446744073709551616]", "1"), kInvalidRegions},
        {request("2", sixtyFive, "1"), kInvalidRegions},
        // Out of range and out of order: the range decides first.
        {request("2", "[2, 1, 0]", "1"), kInvalidRegions},
        // Canonical form, an integral relay, a relay in the list.
        {request("2", "[2, 1]", "1"), kNotCanonical},
        {request("2", "[1, 1]", "1"), kNotCanonical},
        {request("2", "[1.2, 1.7]", "1"), kNotCanonical},
        {request("2", "[1, 2]", "3"), kNotCanonical},
        {request("2", "[1]", "1.5"), kNotCanonical},
        {request("2", "[1]", "0"), kNotCanonical},
        {request("2", "[1]", "1e300"), kNotCanonical},
        {request("2", "[1]", "18446744073709551617"), kNotCanonical},
        {request("2", "[1]", "-9223372036854775808"), kNotCanonical},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.document), c.reason) << c.document;
    }
}

TEST(TailscaleCompatibilityRequest, SizeIsCheckedBeforeTheDocumentIsRead) {
    // 4096 bytes of valid request pass; 4097 fail even though they are valid
    // JSON, and 4097 bytes of garbage fail the same way, never as a JSON error.
    std::string exact = request("2", "[1]", "1");
    exact.insert(exact.size() - 1, std::string(4096 - exact.size(), ' '));
    ASSERT_EQ(exact.size(), 4096u);
    EXPECT_EQ(outcome(exact), "accepted");
    EXPECT_EQ(outcome(exact + " "), kInvalidRequest);
    EXPECT_EQ(outcome(std::string(4097, '{')), kInvalidRequest);
    // Any JSON that fits the size is read, however deeply nested, so its shape
    // gets the check's own reason.
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    EXPECT_EQ(outcome(deep), kInvalidRequest);
    std::string deepExtraKey = request("2", "[1]", "1");
    deepExtraKey.insert(deepExtraKey.size() - 1, ",\"x\":" + std::string(1000, '[') + std::string(1000, ']'));
    EXPECT_EQ(outcome(deepExtraKey), kInvalidRequest);
    EXPECT_EQ(outcome(request("2", "[" + std::string(100, '[') + "1" + std::string(100, ']') + "]", "1")),
              kInvalidRequest);
    // Within the size, bytes that are not JSON fail with the reader's error.
    EXPECT_THROW((void)validateTailscaleCompatibilityRequest(std::string("{\"schema\":")), json::JsonError);
    EXPECT_THROW((void)validateTailscaleCompatibilityRequest(std::string("{\"a\":\"\xC3\x28\"}")), json::JsonError);
    // A repeated key is refused, never read with one of its values.
    EXPECT_THROW((void)validateTailscaleCompatibilityRequest(
                     std::string(R"({"schema":3,"derp_region_ids":[1],"relay_region_id":1,"schema":2})")),
                 json::JsonError);
}

TEST(TailscaleCompatibilityRequest, CanonicalRegionsAreSortedDistinctAndBounded) {
    EXPECT_EQ(canonicalTailscaleRegionIDs({9, 1, 9, 4096, 1}), (std::vector<std::int64_t>{1, 9, 4096}));
    std::vector<std::int64_t> sixtyFourDuplicates(64, 3);
    EXPECT_EQ(canonicalTailscaleRegionIDs(sixtyFourDuplicates), (std::vector<std::int64_t>{3}));
    for (const auto& ids : {std::vector<std::int64_t>{}, std::vector<std::int64_t>{0}, std::vector<std::int64_t>{4097},
                            std::vector<std::int64_t>(65, 3)}) {
        try {
            (void)canonicalTailscaleRegionIDs(ids);
            ADD_FAILURE() << "accepted " << ids.size() << " ids";
        } catch (const PrivilegedHelperContractError& error) {
            EXPECT_EQ(error.message(), "Privileged tunnel configuration rejected: Tailscale DERP regions are invalid.");
        }
    }
}

// The application's payload: canonical regions, sorted keys, no white
// space, and the helper's own check reads it back unchanged.
TEST(TailscaleCompatibilityRequest, ThePayloadIsWhatTheCheckAccepts) {
    const std::string payload = tailscaleCompatibilityPayload({3, 1, 3}, 3);
    EXPECT_EQ(payload, R"({"derp_region_ids":[1,3],"relay_region_id":3,"schema":2})");
    EXPECT_EQ(validateTailscaleCompatibilityRequest(payload), (Request{{1, 3}, 3}));
    EXPECT_EQ(tailscaleCompatibilityPayload({4096}, 4096),
              R"({"derp_region_ids":[4096],"relay_region_id":4096,"schema":2})");

    std::vector<std::int64_t> sixtyFiveWithDuplicates(65, 1);
    sixtyFiveWithDuplicates.back() = 2;
    const struct {
        std::vector<std::int64_t> regions;
        std::int64_t relay;
        const char* reason;
    } refused[] = {
        {{1, 3}, 5, "Tailscale relay region is invalid"},
        {{1, 3}, 0, "Tailscale relay region is invalid"},
        {sixtyFiveWithDuplicates, 1, kInvalidRegions},
        {{0}, 0, kInvalidRegions},
        {{}, 1, kInvalidRegions},
        {{4097}, 4097, kInvalidRegions},
    };
    for (const auto& c : refused) {
        try {
            (void)tailscaleCompatibilityPayload(c.regions, c.relay);
            ADD_FAILURE() << "accepted " << c.regions.size() << " regions";
        } catch (const PrivilegedHelperContractError& error) {
            EXPECT_EQ(error.message(), std::string("Privileged tunnel configuration rejected: ") + c.reason + ".");
        }
    }
}

}  // namespace
}  // namespace tarnel::PrivilegedHelperContract
