#include "helper/protection/tailscale_cli_output.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace Contract = PrivilegedHelperContract;
using Endpoints = std::vector<TailscaleUnderlayEndpoint>;

const std::string kInvalidDERPMap = "Privileged tunnel configuration rejected: Tailscale DERP map is invalid.";
const std::string kInvalidStatus = "Privileged tunnel configuration rejected: Tailscale status is invalid.";

TailscaleUnderlayEndpoint tcp(std::string address, std::int64_t port) {
    return {std::move(address), port, TailscaleUnderlayTransport::tcp};
}
TailscaleUnderlayEndpoint udp(std::string address, std::int64_t port) {
    return {std::move(address), port, TailscaleUnderlayTransport::udp};
}

// What a parse gives, as one comparable text: the endpoints, or the failure's
// type and message.
std::string outcome(const std::function<Endpoints()>& parse) {
    try {
        std::string text;
        for (const auto& endpoint : parse()) {
            text += endpoint.transport == TailscaleUnderlayTransport::tcp ? "tcp " : "udp ";
            text += endpoint.address + " " + std::to_string(endpoint.port) + "; ";
        }
        return text;
    } catch (const PrivilegedHelperContractError& error) {
        return error.message();
    } catch (const json::JsonError& error) {
        return "JSONError: " + error.message();
    }
}

std::string outcome(const Endpoints& endpoints) {
    return outcome([&] { return endpoints; });
}

std::string derpOutcome(const std::string& document, const std::vector<std::int64_t>& regions = {1},
                        std::int64_t relay = 1) {
    return outcome([&] { return Contract::tailscaleUnderlayEndpointsFromDERPMap(document, regions, relay); });
}

std::string statusOutcome(const std::string& document) {
    return outcome([&] { return Contract::tailscaleUnderlayEndpointsFromStatus(document); });
}

// A map whose region 1 relays through 192.0.2.1 and whose region 2 holds `nodes`.
std::string withRegion2(const std::string& nodes) {
    return R"({"Regions":{"1":{"RegionID":1,"Nodes":[{"IPv4":"192.0.2.1","STUNPort":-1}]},)"
           R"("2":{"RegionID":2,"Nodes":[)" + nodes + "]}}}";
}

const std::string kRelayOnly = "tcp 192.0.2.1 443; ";

TEST(TailscaleDERPMap, TheToolsMapGivesTheRequestedRegionsEndpointsInCanonicalOrder) {
    const std::string map = testing::readFixture("tailscale-cli/derp-map.json");
    EXPECT_EQ(derpOutcome(map, {1, 2}, 1),
              outcome(Endpoints{tcp("192.0.2.10", 443), tcp("198.51.100.21", 443), tcp("2001:db8::10", 443),
                                tcp("192.0.2.11", 8443), udp("192.0.2.10", 3478), udp("198.51.100.21", 3478),
                                udp("2001:db8::10", 3478), udp("198.51.100.20", 3479)}));
    // Region 2 relays too; region 9 is in the map but not requested.
    EXPECT_EQ(derpOutcome(map, {2}, 2),
              outcome(Endpoints{tcp("198.51.100.21", 443), udp("198.51.100.21", 3478), udp("198.51.100.20", 3479)}));
    // A requested region absent from the map, and a relay region that is not
    // requested, leave nothing to relay through.
    EXPECT_EQ(derpOutcome(map, {1, 3}, 1), kInvalidDERPMap);
    EXPECT_EQ(derpOutcome(map, {2}, 1), kInvalidDERPMap);
    EXPECT_EQ(derpOutcome(map, {}, 1), kInvalidDERPMap);
}

TEST(TailscaleDERPMap, Nodes) {
    const struct {
        std::string name;
        std::string nodes;
        std::string expected;
    } cases[] = {
        {"no address: skipped unread, even a bad DERP port", R"({"IPv4":"none","DERPPort":70000})", kRelayOnly},
        {"empty addresses: skipped", R"({"IPv4":"","IPv6":"","STUNPort":"x"})", kRelayOnly},
        {"STUN only, default STUN port", R"({"IPv4":"198.51.100.2","STUNOnly":true,"DERPPort":70000})",
         kRelayOnly + "udp 198.51.100.2 3478; "},
        {"defaults", R"({"IPv4":"198.51.100.2","DERPPort":0,"STUNPort":0})",
         "tcp 192.0.2.1 443; tcp 198.51.100.2 443; udp 198.51.100.2 3478; "},
        {"no STUN, port before address", R"({"IPv6":"2001:db8::2","DERPPort":1,"STUNPort":-1})",
         "tcp 2001:db8::2 1; " + kRelayOnly},
        {"either family under either key, sorted as text",
         R"({"IPv4":"2001:db8::2","IPv6":"10.0.0.9","DERPPort":65535,"STUNPort":65535})",
         "tcp 192.0.2.1 443; tcp 10.0.0.9 65535; tcp 2001:db8::2 65535; udp 10.0.0.9 65535; udp 2001:db8::2 65535; "},
        {"the same address twice counts once", R"({"IPv4":"2001:db8::2","IPv6":"2001:db8::2","STUNPort":-1})",
         kRelayOnly + "tcp 2001:db8::2 443; "},
        {"integral floats", R"({"IPv4":"198.51.100.2","DERPPort":8443.0,"STUNPort":-1.0,"RegionID":2.0})",
         kRelayOnly + "tcp 198.51.100.2 8443; "},
        {"node region 0", R"({"IPv4":"198.51.100.2","RegionID":0,"STUNPort":-1})", kRelayOnly + "tcp 198.51.100.2 443; "},
        {"falsy optional flags", R"({"IPv4":"198.51.100.2","InsecureForTests":false,"STUNTestIP":"","STUNOnly":false,"STUNPort":-1})",
         kRelayOnly + "tcp 198.51.100.2 443; "},
        {"other node region", R"({"IPv4":"198.51.100.2","RegionID":1})", kInvalidDERPMap},
        {"node region a boolean", R"({"IPv4":"198.51.100.2","RegionID":true})", kInvalidDERPMap},
        {"insecure, even without address", R"({"InsecureForTests":true})", kInvalidDERPMap},
        {"insecure as text", R"({"IPv4":"198.51.100.2","InsecureForTests":"false"})", kInvalidDERPMap},
        {"STUN test address", R"({"STUNTestIP":"198.51.100.9"})", kInvalidDERPMap},
        {"STUN test address null", R"({"IPv4":"198.51.100.2","STUNTestIP":null})", kInvalidDERPMap},
        {"host name", R"({"IPv4":"derp.example.net"})", kInvalidDERPMap},
        {"scoped IPv6", R"({"IPv6":"fe80::1%en0"})", kInvalidDERPMap},
        {"address with a blank", R"({"IPv4":"198.51.100.2 "})", kInvalidDERPMap},
        {"address with a NUL", R"({"IPv4":"198.51.100.2\u0000x"})", kInvalidDERPMap},
        {"address a number", R"({"IPv4":3325256706})", kInvalidDERPMap},
        {"address null", R"({"IPv4":null,"IPv6":"2001:db8::2"})", kInvalidDERPMap},
        {"STUN only as a number", R"({"IPv4":"198.51.100.2","STUNOnly":1})", kInvalidDERPMap},
        {"DERP port above range", R"({"IPv4":"198.51.100.2","DERPPort":65536})", kInvalidDERPMap},
        {"DERP port -1", R"({"IPv4":"198.51.100.2","DERPPort":-1})", kInvalidDERPMap},
        {"DERP port fractional", R"({"IPv4":"198.51.100.2","DERPPort":443.5})", kInvalidDERPMap},
        {"DERP port a boolean", R"({"IPv4":"198.51.100.2","DERPPort":true})", kInvalidDERPMap},
        {"DERP port text", R"({"IPv4":"198.51.100.2","DERPPort":"443"})", kInvalidDERPMap},
        {"DERP port beyond 64 bits as a float", R"({"IPv4":"198.51.100.2","DERPPort":1e300})", kInvalidDERPMap},
        {"DERP port 2^63 as a float", R"({"IPv4":"198.51.100.2","DERPPort":9223372036854775808.0})",
         kInvalidDERPMap},
        {"DERP port beyond 63 bits", R"({"IPv4":"198.51.100.2","DERPPort":18446744073709551615})", kInvalidDERPMap},
        {"DERP port beyond 64 bits", R"({"IPv4":"198.51.100.2","DERPPort":99999999999999999999})", kInvalidDERPMap},
        {"an unread number beyond 64 bits", R"({"IPv4":"198.51.100.2","STUNPort":-1,"Latency":99999999999999999999})",
         kRelayOnly + "tcp 198.51.100.2 443; "},
        {"STUN port -2", R"({"IPv4":"198.51.100.2","STUNPort":-2})", kInvalidDERPMap},
        {"STUN port above range", R"({"IPv4":"198.51.100.2","STUNOnly":true,"STUNPort":65536})", kInvalidDERPMap},
        {"STUN port -1e300", R"({"IPv4":"198.51.100.2","STUNPort":-1e300})", kInvalidDERPMap},
        {"node not an object", R"({"IPv4":"198.51.100.2"},[])", kInvalidDERPMap},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(derpOutcome(withRegion2(c.nodes), {1, 2}, 1), c.expected) << c.name;
    }
}

TEST(TailscaleDERPMap, Regions) {
    const std::string node = R"([{"IPv4":"192.0.2.1","STUNPort":-1}])";
    const auto region = [&](const std::string& key, const std::string& regionID) {
        return "\"" + key + "\":{\"RegionID\":" + regionID + ",\"Nodes\":" + node + "}";
    };
    const auto map = [](const std::string& regions) { return R"({"Regions":{)" + regions + "}}"; };
    const struct {
        std::string name;
        std::string document;
        std::string expected;
    } cases[] = {
        {"region identifier 0", map(region("1", "0")), kRelayOnly},
        {"key with a plus sign and leading zeros", map(region("+001", "1")), kRelayOnly},
        {"highest region", map(region("1", "1") + "," + region("4096", "4096")), kRelayOnly},
        {"7 and 07 are one region", map(region("1", "1") + "," + region("7", "7") + "," + region("07", "0")),
         kInvalidDERPMap},
        {"unrequested region without identifier",
         map(region("1", "1") + R"(,"5":{"Nodes":[]})"), kInvalidDERPMap},
        {"unrequested region with another identifier", map(region("1", "1") + "," + region("5", "6")),
         kInvalidDERPMap},
        {"unrequested region not an object", map(region("1", "1") + R"(,"5":[])"), kInvalidDERPMap},
        {"key 0", map(region("1", "1") + "," + region("0", "0")), kInvalidDERPMap},
        {"key 4097", map(region("1", "1") + "," + region("4097", "4097")), kInvalidDERPMap},
        {"negative key", map(region("1", "1") + "," + region("-5", "0")), kInvalidDERPMap},
        {"key beyond 64 bits", map(region("1", "1") + "," + region("99999999999999999999", "0")), kInvalidDERPMap},
        {"key with a blank", map(region(" 1", "1")), kInvalidDERPMap},
        {"key of a sign only", map(region("1", "1") + "," + region("+", "0")), kInvalidDERPMap},
        {"key with two signs", map(region("+-1", "1")), kInvalidDERPMap},
        {"empty key", map(region("1", "1") + "," + region("", "0")), kInvalidDERPMap},
        {"region identifier a boolean", map(region("1", "true")), kInvalidDERPMap},
        {"region identifier fractional", map(region("1", "1.5")), kInvalidDERPMap},
        {"region identifier null", map(region("1", "null")), kInvalidDERPMap},
        {"region identifier integral float", map(region("1", "1.0")), kRelayOnly},
        {"no nodes", R"({"Regions":{"1":{"RegionID":1}}})", kInvalidDERPMap},
        {"nodes empty", R"({"Regions":{"1":{"RegionID":1,"Nodes":[]}}})", kInvalidDERPMap},
        {"nodes an object", R"({"Regions":{"1":{"RegionID":1,"Nodes":{}}}})", kInvalidDERPMap},
        {"nodes null", R"({"Regions":{"1":{"RegionID":1,"Nodes":null}}})", kInvalidDERPMap},
        {"no regions", R"({"Regions":{}})", kInvalidDERPMap},
        {"regions an array", R"({"Regions":[]})", kInvalidDERPMap},
        {"regions null", R"({"Regions":null})", kInvalidDERPMap},
        {"no Regions key", R"({})", kInvalidDERPMap},
        {"top level an array", R"([{"Regions":{}}])", kInvalidDERPMap},
        {"top level a number", "1", kInvalidDERPMap},
        {"empty", "", kInvalidDERPMap},
        {"not JSON", "Tailscale is stopped.", "JSONError: The data is not valid JSON."},
        {"a repeated key", R"({"Regions":{},"Regions":{}})", "JSONError: The JSON object repeats the key \"Regions\"."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(derpOutcome(c.document), c.expected) << c.name;
    }
}

TEST(TailscaleDERPMap, RelayRegionNeedsARelayEndpoint) {
    const std::string stunOnly = R"({"IPv4":"198.51.100.2","STUNOnly":true})";
    const std::string noAddress = R"({"IPv4":"none"})";
    EXPECT_EQ(derpOutcome(withRegion2(stunOnly + "," + stunOnly), {1, 2}, 2), kInvalidDERPMap);
    EXPECT_EQ(derpOutcome(withRegion2(noAddress), {1, 2}, 2), kInvalidDERPMap);
    EXPECT_EQ(derpOutcome(withRegion2(stunOnly + R"(,{"IPv4":"198.51.100.3","STUNPort":-1})"), {1, 2}, 2),
              "tcp 192.0.2.1 443; tcp 198.51.100.3 443; udp 198.51.100.2 3478; ");
}

TEST(TailscaleDERPMap, Limits) {
    // Nodes of two addresses with a DERP and a STUN port give four endpoints
    // each, so 8 regions of 32 nodes give exactly 1024.
    const auto map = [](int regions, int nodesPerRegion) {
        std::string text = R"({"Regions":{)";
        for (int region = 1; region <= regions; ++region) {
            if (region > 1) text += ",";
            text += "\"" + std::to_string(region) + "\":{\"RegionID\":" + std::to_string(region) + ",\"Nodes\":[";
            for (int node = 0; node < nodesPerRegion; ++node) {
                if (node > 0) text += ",";
                const std::string suffix = std::to_string(region) + "." + std::to_string(node);
                text += R"({"IPv4":"10.0.)" + suffix + R"(","IPv6":"2001:db8::)" + std::to_string(region) + ":" +
                        std::to_string(node) + "\"}";
            }
            text += "]}";
        }
        return text + "}}";
    };
    const auto regions = [](int count) {
        std::vector<std::int64_t> ids;
        for (int id = 1; id <= count; ++id) ids.push_back(id);
        return ids;
    };
    const auto full = Contract::tailscaleUnderlayEndpointsFromDERPMap(map(8, 32), regions(8), 1);
    EXPECT_EQ(full.size(), 1024u);
    EXPECT_TRUE(std::is_sorted(full.begin(), full.end()));
    EXPECT_EQ(std::adjacent_find(full.begin(), full.end()), full.end());
    EXPECT_EQ(derpOutcome(map(9, 32), regions(9), 1), kInvalidDERPMap);
    // The same map is fine while only 8 of its regions are requested.
    EXPECT_EQ(Contract::tailscaleUnderlayEndpointsFromDERPMap(map(9, 32), regions(8), 1).size(), 1024u);
    EXPECT_EQ(derpOutcome(map(1, 33)), kInvalidDERPMap);
    // At most 64 regions are requested.
    EXPECT_EQ(Contract::tailscaleUnderlayEndpointsFromDERPMap(map(64, 1), regions(64), 1).size(), 256u);
    EXPECT_EQ(derpOutcome(map(65, 1), regions(65), 1), kInvalidDERPMap);
}

std::string paddedTo(std::string document, std::size_t size) {
    document.resize(size, ' ');
    return document;
}

TEST(TailscaleCLIOutput, TheSizeIsCheckedBeforeParsingAndDeepNestingFailsCleanly) {
    constexpr std::size_t limit = Contract::maximumTailscaleDocumentSize;
    ASSERT_EQ(limit, 2'097'152u);
    const std::string map = testing::readFixture("tailscale-cli/derp-map.json");
    const std::string status = testing::readFixture("tailscale-cli/status.json");
    EXPECT_EQ(Contract::tailscaleUnderlayEndpointsFromDERPMap(paddedTo(map, limit), std::vector<std::int64_t>{1}, 1)
                  .size(),
              5u);
    EXPECT_EQ(derpOutcome(paddedTo(map, limit + 1)), kInvalidDERPMap);
    EXPECT_EQ(Contract::tailscaleUnderlayEndpointsFromStatus(paddedTo(status, limit)).size(), 2u);
    EXPECT_EQ(statusOutcome(paddedTo(status, limit + 1)), kInvalidStatus);

    // Bytes that are no JSON at all fail as invalid when they are one byte
    // too many, so the parser never saw them; within the limit the parser
    // refuses them itself, at its nesting cap, without exhausting the stack.
    EXPECT_EQ(derpOutcome(std::string(limit + 1, '[')), kInvalidDERPMap);
    EXPECT_EQ(statusOutcome(std::string(limit + 1, '[')), kInvalidStatus);
    const std::string nested = "JSONError: The JSON text is nested too deeply.";
    EXPECT_EQ(derpOutcome(std::string(limit, '[')), nested);
    EXPECT_EQ(statusOutcome(std::string(limit, '[')), nested);
    EXPECT_EQ(statusOutcome(R"({"Peer":)" + std::string(limit - 8, '[')), nested);
}

TEST(TailscaleStatus, TheToolsStatusGivesTheActivePeersAddresses) {
    EXPECT_EQ(statusOutcome(testing::readFixture("tailscale-cli/status.json")),
              outcome(Endpoints{udp("2001:db8::7", 41641), udp("203.0.113.5", 41641)}));
}

TEST(TailscaleStatus, Peers) {
    const auto peer = [](const std::string& members) { return R"({"Peer":{"nodekey:1":{)" + members + "}}}"; };
    const struct {
        std::string name;
        std::string document;
        std::string expected;
    } cases[] = {
        {"bracketed IPv6", peer(R"("Active":true,"CurAddr":"[2001:db8::1]:41641")"), "udp 2001:db8::1 41641; "},
        {"IPv4", peer(R"("Active":true,"CurAddr":"100.64.0.1:41641")"), "udp 100.64.0.1 41641; "},
        {"port 0, active", peer(R"("Active":true,"CurAddr":"100.64.0.1:0")"), kInvalidStatus},
        {"port 0, inactive", peer(R"("Active":false,"CurAddr":"100.64.0.1:0")"), ""},
        {"port 0, no activity", peer(R"("CurAddr":"100.64.0.1:0")"), ""},
        {"scoped IPv6, active", peer(R"("Active":true,"CurAddr":"[fe80::1%en0]:41641")"), kInvalidStatus},
        {"scoped IPv6, inactive", peer(R"("Active":false,"CurAddr":"[fe80::1%en0]:41641")"), ""},
        {"unbracketed IPv6", peer(R"("Active":true,"CurAddr":"2001:db8::1:41641")"), kInvalidStatus},
        {"empty address", peer(R"("Active":true,"CurAddr":"")"), ""},
        {"no address", peer(R"("Active":true)"), ""},
        {"activity as a number", peer(R"("Active":1,"CurAddr":"100.64.0.1:41641")"), kInvalidStatus},
        {"activity as text", peer(R"("Active":"true")"), kInvalidStatus},
        {"activity null", peer(R"("Active":null)"), kInvalidStatus},
        {"address a number", peer(R"("Active":false,"CurAddr":41641)"), kInvalidStatus},
        {"address null", peer(R"("Active":true,"CurAddr":null)"), kInvalidStatus},
        {"peer not an object", R"({"Peer":{"nodekey:1":[]}})", kInvalidStatus},
        {"peer null", R"({"Peer":{"nodekey:1":null}})", kInvalidStatus},
        {"peers an array", R"({"Peer":[]})", kInvalidStatus},
        {"peers text", R"({"Peer":""})", kInvalidStatus},
        {"no peers", R"({"Peer":{}})", ""},
        {"peers null, the tool's empty map", R"({"Peer":null,"Self":{"Active":true,"CurAddr":"x"}})", ""},
        {"no Peer key", R"({"BackendState":"Running"})", ""},
        {"a counter beyond 64 bits",
         peer(R"("Active":true,"CurAddr":"100.64.0.1:41641","RxBytes":184467440737095516160)"),
         "udp 100.64.0.1 41641; "},
        {"duplicate endpoints once",
         R"({"Peer":{"a":{"Active":true,"CurAddr":"100.64.0.1:1"},"b":{"Active":true,"CurAddr":"100.64.0.1:1"}}})",
         "udp 100.64.0.1 1; "},
        {"top level an array", "[]", kInvalidStatus},
        {"top level null", "null", kInvalidStatus},
        {"empty", "", kInvalidStatus},
        {"not JSON", "{\"Peer\":", "JSONError: The data is not valid JSON."},
        {"invalid UTF-8", "{\"Peer\":\"\xFF\"}", "JSONError: The JSON text is not valid UTF-8."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusOutcome(c.document), c.expected) << c.name;
    }
}

TEST(TailscaleStatus, AtMost1024Endpoints) {
    const auto status = [](int peers) {
        std::string text = R"({"Peer":{)";
        for (int index = 0; index < peers; ++index) {
            if (index > 0) text += ",";
            text += "\"p" + std::to_string(index) + R"(":{"Active":true,"CurAddr":"100.64.)" +
                    std::to_string(index / 256) + "." + std::to_string(index % 256) + ":41641\"}";
        }
        return text + "}}";
    };
    EXPECT_EQ(Contract::tailscaleUnderlayEndpointsFromStatus(status(1024)).size(), 1024u);
    EXPECT_EQ(statusOutcome(status(1025)), kInvalidStatus);
}

TEST(TailscalePeerAddress, Forms) {
    const struct {
        std::string text;
        std::optional<Contract::TailscalePeerAddress> expected;
    } cases[] = {
        {"[2001:db8::1]:41641", Contract::TailscalePeerAddress{"2001:db8::1", 41641}},
        {"[::ffff:192.0.2.1]:1", Contract::TailscalePeerAddress{"::ffff:192.0.2.1", 1}},
        {"[192.0.2.1]:65535", Contract::TailscalePeerAddress{"192.0.2.1", 65535}},
        {"192.0.2.1:+080", Contract::TailscalePeerAddress{"192.0.2.1", 80}},
        {"192.0.2.1:65536", std::nullopt},
        {"192.0.2.1:-1", std::nullopt},
        {"192.0.2.1:99999999999999999999", std::nullopt},
        {"192.0.2.1:", std::nullopt},
        {"192.0.2.1:+", std::nullopt},
        {"192.0.2.1: 80", std::nullopt},
        {"192.0.2.1:8O", std::nullopt},
        {"192.0.2.1", std::nullopt},
        {":80", std::nullopt},
        {"host.example:80", std::nullopt},
        {"192.0.2.256:80", std::nullopt},
        {"[2001:db8::1]", std::nullopt},
        {"[2001:db8::1]41641", std::nullopt},
        {"[2001:db8::1]:", std::nullopt},
        {"[2001:db8::1:41641", std::nullopt},
        {"[]:80", std::nullopt},
        {"[2001:db8::1]]:80", std::nullopt},
        {std::string("[::1\0x]:80", 10), std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        if (c.expected) {
            EXPECT_EQ(Contract::tailscalePeerAddress(c.text), *c.expected) << c.text;
        } else {
            EXPECT_EQ(outcome([&] {
                          (void)Contract::tailscalePeerAddress(c.text);
                          return Endpoints{};
                      }),
                      kInvalidStatus)
                << c.text;
        }
    }
}

TEST(TailscaleDERPMap, FieldReaders) {
    const json::Value node = json::parse(R"({"i":7,"f":7.0,"h":7.5,"b":true,"s":"x","n":null})");
    const auto field = [&](const char* key) { return &node.at(key); };
    EXPECT_EQ(Contract::derpInteger(nullptr), std::nullopt);
    EXPECT_EQ(Contract::derpInteger(field("i")), 7);
    EXPECT_EQ(Contract::derpInteger(field("f")), 7);
    EXPECT_EQ(Contract::derpBoolean(nullptr, true), true);
    EXPECT_EQ(Contract::derpBoolean(field("b"), false), true);
    EXPECT_EQ(Contract::derpString(nullptr), std::nullopt);
    EXPECT_EQ(Contract::derpString(field("s")), "x");
    const auto refuses = [](const std::function<void()>& read) {
        return outcome([&] {
            read();
            return Endpoints{};
        });
    };
    for (const char* key : {"h", "b", "s", "n"}) {
        EXPECT_EQ(refuses([&] { (void)Contract::derpInteger(field(key)); }), kInvalidDERPMap) << key;
    }
    for (const char* key : {"i", "s", "n"}) {
        EXPECT_EQ(refuses([&] { (void)Contract::derpBoolean(field(key), false); }), kInvalidDERPMap) << key;
    }
    for (const char* key : {"i", "b", "n"}) {
        EXPECT_EQ(refuses([&] { (void)Contract::derpString(field(key)); }), kInvalidDERPMap) << key;
    }
    EXPECT_EQ(Contract::derpNodeAddresses(json::parse(R"({"IPv6":"::1","IPv4":"127.0.0.1"})")),
              (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(Contract::derpNodeSTUNPort(json::parse(R"({})")), 3478);
    EXPECT_EQ(Contract::derpNodeSTUNPort(json::parse(R"({"STUNPort":-1})")), std::nullopt);
}

}  // namespace
}  // namespace tarnel
