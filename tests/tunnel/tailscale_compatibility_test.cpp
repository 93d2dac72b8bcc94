// The Tailscale compatibility payload from the tool's three documents: one
// change at a time to a connected Tailscale relaying through "fra".

#include "app/tunnel/tailscale_compatibility.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

const std::string kPreferences = R"({"ExitNodeID": "", "ExitNodeIP": ""})";
const std::string kStatus = R"({"BackendState": "Running", "Self": {"Online": true, "Relay": "fra"}})";

// A region of the DERP map; its key is its identifier, and "RegionID" only
// has to be a number.
std::string region(const std::string& key, const std::string& code) {
    return "\"" + key + "\": {\"RegionID\": 1, \"RegionCode\": \"" + code + "\"}";
}
std::string derpMap(const std::string& regions) { return "{\"Regions\": {" + regions + "}}"; }
const std::string kDERPMap = derpMap(region("3", "fra") + ", " + region("1", "nyc"));
const std::string kPayload = R"({"derp_region_ids":[1,3],"relay_region_id":3,"schema":2})";

std::string outcome(const std::string& preferences, const std::string& status, const std::string& map) {
    try {
        return TailscaleCompatibility::payloadFromDocuments(preferences, status, map);
    } catch (const json::JsonError&) {
        return "JsonError";
    } catch (const std::exception& error) {
        return errorMessage(error);
    }
}

TEST(TailscaleCompatibilityPayload, FromTheDocuments) {
    const std::string relayUnavailable = "Tailscale has no active relay region for safe VPN compatibility.";
    const std::string invalidMap = "Tailscale returned an invalid DERP map response.";
    const std::string invalidRegions = "Privileged tunnel configuration rejected: Tailscale DERP regions are invalid.";
    std::string sixtyFive;
    for (int id = 1; id <= 65; ++id) {
        sixtyFive += (id > 1 ? ", " : "") + region(std::to_string(id), id == 1 ? "fra" : "x");
    }
    const struct {
        const char* name;
        std::string preferences;
        std::string status;
        std::string map;
        std::string expected;
    } cases[] = {
        {"as connected", kPreferences, kStatus, kDERPMap, kPayload},
        {"exit node keys absent, other keys ignored", R"({"RouteAll": true})", kStatus, kDERPMap, kPayload},
        {"ExitNodeIP", R"({"ExitNodeID": "", "ExitNodeIP": "100.64.0.9"})", kStatus, kDERPMap,
         "Disconnect the Tailscale exit node before starting Tarnel Direct."},
        {"ExitNodeID", R"({"ExitNodeID": "nXYZ"})", kStatus, kDERPMap,
         "Disconnect the Tailscale exit node before starting Tarnel Direct."},
        {"preferences not JSON", "nope", kStatus, kDERPMap, "Tailscale returned an invalid preferences response."},
        {"preferences an array", "[]", kStatus, kDERPMap, "Tailscale returned an invalid preferences response."},
        {"status an array", kPreferences, "[]", kDERPMap, "Tailscale returned an invalid status response."},
        {"status not JSON", kPreferences, "{", kDERPMap, "JsonError"},
        {"status repeats a key", kPreferences, R"({"Self": {}, "Self": {}})", kDERPMap, "JsonError"},
        {"offline", kPreferences, R"({"BackendState": "Running", "Self": {"Online": false, "Relay": "fra"}})",
         kDERPMap, relayUnavailable},
        {"stopped", kPreferences, R"({"BackendState": "Stopped", "Self": {"Online": true, "Relay": "fra"}})",
         kDERPMap, relayUnavailable},
        {"no relay", kPreferences, R"({"BackendState": "Running", "Self": {"Online": true, "Relay": ""}})", kDERPMap,
         relayUnavailable},
        {"no regions", kPreferences, kStatus, derpMap(""), relayUnavailable},
        {"no region of the relay", kPreferences, kStatus, derpMap(region("1", "nyc")), relayUnavailable},
        {"one identifier twice", kPreferences, kStatus, derpMap(region("3", "fra") + ", " + region("03", "ams")),
         relayUnavailable},
        {"DERP map not JSON", kPreferences, kStatus, "{\"Regions\": ", "JsonError"},
        {"no Regions", kPreferences, kStatus, "{}", invalidMap},
        {"Regions an array", kPreferences, kStatus, R"({"Regions": []})", invalidMap},
        {"RegionID a boolean", kPreferences, kStatus, R"({"Regions": {"3": {"RegionID": true, "RegionCode": "fra"}}})",
         invalidMap},
        {"no RegionID", kPreferences, kStatus, R"({"Regions": {"3": {"RegionCode": "fra"}}})", invalidMap},
        {"a key that is not decimal", kPreferences, kStatus, derpMap(region("x3", "fra")), invalidMap},
        {"a signed key", kPreferences, kStatus, derpMap(region("+3", "fra")), invalidMap},
        {"a key beyond 64 bits", kPreferences, kStatus,
         derpMap(region("3", "fra") + ", " + region("9223372036854775808", "x")), invalidMap},
        {"no RegionCode", kPreferences, kStatus, R"({"Regions": {"3": {"RegionID": 3}}})", invalidMap},
        {"an empty RegionCode", kPreferences, kStatus, derpMap(region("3", "")), invalidMap},
        {"a region that is not an object", kPreferences, kStatus, R"({"Regions": {"3": 3}})", invalidMap},
        {"the relay's code twice: the lower identifier", kPreferences, kStatus,
         derpMap(region("12", "fra") + ", " + region("4", "fra")),
         R"({"derp_region_ids":[4,12],"relay_region_id":4,"schema":2})"},
        {"65 regions", kPreferences, kStatus, derpMap(sixtyFive), invalidRegions},
        {"an identifier over 4096", kPreferences, kStatus, derpMap(region("3", "fra") + ", " + region("4097", "x")),
         invalidRegions},
        {"identifier 0", kPreferences, kStatus, derpMap(region("3", "fra") + ", " + region("0", "x")), invalidRegions},
        {"a number beyond 64 bits in a field not read", kPreferences,
         R"({"BackendState": "Running", "RxBytes": 123456789012345678901234,
             "Self": {"Online": true, "Relay": "fra"}})",
         kDERPMap, kPayload},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.preferences, c.status, c.map), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace tarnel
