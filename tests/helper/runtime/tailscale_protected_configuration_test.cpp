#include "helper/runtime/tailscale_protected_configuration.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace Validator = PrivilegedTunnelConfigurationValidator;
using json::Value;
using Transport = TailscaleUnderlayTransport;

std::string plainText() { return testing::readFixture("tunnel-config/plain-pinned-interface.json"); }

std::string rejection(const std::function<void()>& action) {
    try {
        action();
    } catch (const PrivilegedHelperContractError& error) {
        return error.reason();
    } catch (const std::exception& error) {
        return std::string("other: ") + error.what();
    }
    return "accepted";
}

const std::vector<TailscaleUnderlayEndpoint> kEndpoints = {
    {"100.64.1.2", 41641, Transport::udp},
    {"100.64.1.2", 443, Transport::tcp},
    {"198.51.100.7", 3478, Transport::udp},
    {"2001:db8::5", 3478, Transport::udp},
};

TEST(TailscaleProtectedConfiguration, AddsInterfaceAndMissingExclusionsAndChangesNothingElse) {
    const std::string input = plainText();
    const std::string output = Validator::protectedConfiguration(input, "utun4", kEndpoints);

    EXPECT_EQ(output.find("\\/"), std::string::npos);
    const Value protectedDocument = json::parse(output);
    const Value& inbound = protectedDocument["inbounds"][0];
    EXPECT_EQ(inbound["exclude_interface"], Value::array({"utun4"}));

    Value original = json::parse(input);
    const Value originalExclusions = original["inbounds"][0]["route_exclude_address"];
    ASSERT_EQ(originalExclusions.size(), 11u);
    Value expectedExclusions = originalExclusions;
    expectedExclusions.push_back("100.64.1.2/32");
    expectedExclusions.push_back("2001:db8::5/128");
    EXPECT_EQ(inbound["route_exclude_address"], expectedExclusions);

    // Apart from the two helper-owned fields, the document is the one received.
    original["inbounds"][0]["exclude_interface"] = Value::array({"utun4"});
    original["inbounds"][0]["route_exclude_address"] = expectedExclusions;
    EXPECT_EQ(protectedDocument, original);
    // Pretty, sorted and with plain slashes: the writer's own form of the result.
    EXPECT_EQ(output, json::writePretty(original, json::Slashes::unescaped));
}

TEST(TailscaleProtectedConfiguration, RefusesWhatTheHelperMustOwnOrCannotCheck) {
    const std::string plain = plainText();
    const auto with = [&](const std::function<void(Value&)>& change) {
        Value document = json::parse(plain);
        change(document);
        return json::writePretty(document);
    };
    struct Case {
        const char* name;
        std::string configuration;
        std::string interfaceName;
        std::vector<TailscaleUnderlayEndpoint> endpoints;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"physical interface as Tailscale's", plain, "en0", kEndpoints, "protected DNS tunnel interface is invalid"},
        {"interface with a trailing line break", plain, "utun4\n", kEndpoints,
         "protected DNS tunnel interface is invalid"},
        {"exclude_interface from the application",
         with([](Value& d) { d["inbounds"][0]["exclude_interface"] = Value::array({"utun9"}); }), "utun4", kEndpoints,
         "inbounds[0] fields are not permitted"},
        {"no endpoints", plain, "utun4", {}, "Tailscale underlay endpoint count is invalid"},
        {"host name endpoint", plain, "utun4", {{"relay.example.com", 443, Transport::tcp}},
         "Tailscale underlay endpoint is invalid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rejection([&] { (void)Validator::protectedConfiguration(c.configuration, c.interfaceName, c.endpoints); }),
                  c.expected);
    }
}

TEST(TailscaleProtectedConfiguration, UnderlayExclusionsAreDistinctPrefixesInTextOrder) {
    EXPECT_EQ(Validator::underlayExclusions(kEndpoints),
              (std::vector<std::string>{"100.64.1.2/32", "198.51.100.7/32", "2001:db8::5/128"}));
    // Text order, not numeric: "10.0.0.9" sorts after "10.0.0.10".
    EXPECT_EQ(Validator::underlayExclusions({{"10.0.0.9", 1, Transport::udp}, {"10.0.0.10", 1, Transport::udp}}),
              (std::vector<std::string>{"10.0.0.10/32", "10.0.0.9/32"}));
}

}  // namespace
}  // namespace tarnel
