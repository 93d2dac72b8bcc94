#include "helper/protection/packet_filter_rules.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "common/contract/helper_contract.hpp"
#include "tests/helper/protection/sample_inputs.hpp"

namespace tarnel::PacketFilterRules {
namespace {

using T = TailscaleUnderlayTransport;

constexpr const char* kLocal =
    "pass out quick to { 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 100.64.0.0/10, 169.254.0.0/16, 224.0.0.0/4, "
    "255.255.255.255/32, fc00::/7, ff00::/8, fe80::/10 } keep state\n";

AnchorInputs plain(std::vector<std::string> endpoints = {"203.0.113.5"}) {
    AnchorInputs inputs;
    inputs.endpoints = std::move(endpoints);
    inputs.endpointPort = 443;
    return inputs;
}

AnchorInputs tailscaleMode() { return testing::workedExampleInputs(); }

std::string reason(const AnchorInputs& inputs) {
    try {
        (void)anchorRules(inputs);
    } catch (const PrivilegedHelperContractError& error) {
        return error.reason();
    }
    return "accepted";
}

TEST(PacketFilterRules, PlainModeIsFiveLinesAndSixWithTheTunnel) {
    const std::string head =
        "pass out quick on lo0 all keep state\n"
        "pass out quick proto { tcp, udp } to { 203.0.113.5 } port 443 keep state\n";
    const std::string tail = std::string("block drop out quick proto { tcp, udp } to any port { 53, 853 }\n") + kLocal +
                             "block drop out quick all\n";
    AnchorInputs inputs = plain();
    EXPECT_EQ(anchorRules(inputs), head + tail);
    inputs.tunnelInterface = "utun5";
    EXPECT_EQ(anchorRules(inputs), head + "pass out quick on utun5 all keep state\n" + tail);
}

TEST(PacketFilterRules, TailscaleModeIsTheTwelveLinesOfTheWorkedExample) {
    EXPECT_EQ(anchorRules(tailscaleMode()),
              std::string("pass out quick on lo0 all keep state\n"
                          "pass out quick proto { tcp, udp } to { 203.0.113.5 } port 443 keep state\n"
                          "pass out quick on en0 proto tcp from { 192.168.1.20 } to { 198.51.100.7 } port 443 user "
                          "root keep state\n"
                          "pass out quick on en0 proto udp from { 192.168.1.20 } port 41641 to { 198.51.100.7 } port "
                          "3478 user root keep state\n"
                          "pass out quick on en0 proto udp from { 192.168.1.20 } port 41641 to { 192.0.2.9 } port "
                          "41641 user root keep state\n"
                          "pass out quick proto { tcp, udp } to 100.100.100.100 port 53 keep state\n"
                          "pass in quick on utun3 all keep state\n"
                          "pass out quick on utun3 all keep state\n"
                          "pass out quick on utun5 all keep state\n"
                          "block drop out quick proto { tcp, udp } to any port { 53, 853 }\n") +
                  kLocal + "block drop out quick all\n");
}

TEST(PacketFilterRules, ListsAreDistinctAndInTextOrderAndPortsNumeric) {
    AnchorInputs inputs = plain({"9.9.9.9", "10.0.0.2", "9.9.9.9"});
    EXPECT_NE(anchorRules(inputs).find("to { 10.0.0.2, 9.9.9.9 } port 443 keep state\n"), std::string::npos);

    inputs = tailscaleMode();
    inputs.tunnelInterface.reset();
    inputs.tailscale.physicalSourceAddresses = {"192.168.1.20", "10.0.0.5", "192.168.1.20"};
    // UDP ports 41641, 443, 3478 on one address; one address reached over
    // both transports on one port; two addresses sharing transport and port.
    inputs.tailscale.underlayEndpoints = {{"198.51.100.7", 41641, T::udp}, {"198.51.100.7", 443, T::udp},
                                          {"198.51.100.7", 3478, T::udp},  {"198.51.100.7", 443, T::tcp},
                                          {"192.0.2.10", 443, T::tcp},     {"192.0.2.9", 443, T::tcp},
                                          {"192.0.2.9", 443, T::tcp}};
    const std::string rules = anchorRules(inputs);
    const std::string sources = "from { 10.0.0.5, 192.168.1.20 }";
    const std::string expected =
        "pass out quick on en0 proto tcp " + sources + " to { 192.0.2.10, 192.0.2.9, 198.51.100.7 } port 443 user root keep state\n"
        "pass out quick on en0 proto udp " + sources + " port 41641 to { 198.51.100.7 } port 443 user root keep state\n"
        "pass out quick on en0 proto udp " + sources + " port 41641 to { 198.51.100.7 } port 3478 user root keep state\n"
        "pass out quick on en0 proto udp " + sources + " port 41641 to { 198.51.100.7 } port 41641 user root keep state\n"
        "pass out quick proto { tcp, udp } to 100.100.100.100 port 53 keep state\n"
        "pass in quick on utun3 all keep state\n"
        "pass out quick on utun3 all keep state\n"
        "block drop out quick";
    EXPECT_NE(rules.find("keep state\n" + expected), std::string::npos) << rules;
}

TEST(PacketFilterRules, EachInputFailsWithItsReasonInOrder) {
    using Edit = std::function<void(AnchorInputs&)>;
    const auto addresses = [](std::size_t count) {
        std::vector<std::string> list;
        for (std::size_t i = 0; i < count; ++i) list.push_back("192.0.2." + std::to_string(i + 1));
        return list;
    };
    const struct {
        const char* name;
        Edit edit;
        const char* reason;
    } cases[] = {
        {"no endpoint", [](AnchorInputs& i) { i.endpoints.clear(); }, "kill-switch endpoint count is invalid"},
        {"17 endpoints", [&](AnchorInputs& i) { i.endpoints = addresses(17); }, "kill-switch endpoint count is invalid"},
        {"16 endpoints", [&](AnchorInputs& i) { i.endpoints = addresses(16); }, "accepted"},
        {"host name", [](AnchorInputs& i) { i.endpoints.push_back("vpn.example.net"); },
         "kill-switch endpoint is not an IP literal"},
        {"name before bad port", [](AnchorInputs& i) { i.endpoints = {"vpn.example.net"}; i.endpointPort = 0; },
         "kill-switch endpoint is not an IP literal"},
        {"port 0", [](AnchorInputs& i) { i.endpointPort = 0; }, "kill-switch endpoint port is invalid"},
        {"port 65536", [](AnchorInputs& i) { i.endpointPort = 65536; }, "kill-switch endpoint port is invalid"},
        {"port before tunnel", [](AnchorInputs& i) { i.endpointPort = -1; i.tunnelInterface = "en0"; },
         "kill-switch endpoint port is invalid"},
        {"tunnel en0", [](AnchorInputs& i) { i.tunnelInterface = "en0"; }, "kill-switch tunnel interface is invalid"},
        {"tunnel with newline", [](AnchorInputs& i) { i.tunnelInterface = "utun5\n"; },
         "kill-switch tunnel interface is invalid"},
        {"tunnel before Tailscale", [](AnchorInputs& i) { i.tunnelInterface = "utun"; i.tailscale.tailscaleTunnelInterface = "x"; },
         "kill-switch tunnel interface is invalid"},
        {"underlay without Tailscale tunnel", [](AnchorInputs& i) { i.tailscale.tailscaleTunnelInterface.reset(); },
         "Tailscale kill-switch interface is invalid"},
        {"physical interface alone",
         [](AnchorInputs& i) {
             i.tailscale = {};
             i.tailscale.tailscalePhysicalInterface = "en0";
         },
         "Tailscale kill-switch interface is invalid"},
        {"physical sources alone",
         [](AnchorInputs& i) {
             i.tailscale = {};
             i.tailscale.physicalSourceAddresses = {"192.168.1.20"};
         },
         "Tailscale kill-switch interface is invalid"},
        {"Tailscale tunnel without digits", [](AnchorInputs& i) { i.tailscale.tailscaleTunnelInterface = "utun"; },
         "Tailscale kill-switch interface is invalid"},
        {"Tailscale tunnel with newline", [](AnchorInputs& i) { i.tailscale.tailscaleTunnelInterface = "utun3\n"; },
         "Tailscale kill-switch interface is invalid"},
        {"physical bridge0", [](AnchorInputs& i) { i.tailscale.tailscalePhysicalInterface = "bridge0"; },
         "Tailscale kill-switch interface is invalid"},
        {"no physical interface", [](AnchorInputs& i) { i.tailscale.tailscalePhysicalInterface.reset(); },
         "Tailscale kill-switch interface is invalid"},
        {"interface before underlay",
         [](AnchorInputs& i) {
             i.tailscale.tailscalePhysicalInterface = "en0\n";
             i.tailscale.underlayEndpoints.clear();
         },
         "Tailscale kill-switch interface is invalid"},
        {"no underlay", [](AnchorInputs& i) { i.tailscale.underlayEndpoints.clear(); },
         "Tailscale underlay endpoint count is invalid"},
        {"1025 underlay",
         [](AnchorInputs& i) { i.tailscale.underlayEndpoints.assign(1025, {"198.51.100.7", 443, T::tcp}); },
         "Tailscale underlay endpoint count is invalid"},
        {"underlay port 0", [](AnchorInputs& i) { i.tailscale.underlayEndpoints[1].port = 0; },
         "Tailscale underlay endpoint is invalid"},
        {"underlay host name", [](AnchorInputs& i) { i.tailscale.underlayEndpoints[2].address = "derp.example.net"; },
         "Tailscale underlay endpoint is invalid"},
        {"underlay before sources",
         [](AnchorInputs& i) {
             i.tailscale.underlayEndpoints[0].port = 0;
             i.tailscale.physicalSourceAddresses.clear();
         },
         "Tailscale underlay endpoint is invalid"},
        {"no physical source", [](AnchorInputs& i) { i.tailscale.physicalSourceAddresses.clear(); },
         "kill-switch physical source count is invalid"},
        {"33 physical sources", [&](AnchorInputs& i) { i.tailscale.physicalSourceAddresses = addresses(33); },
         "kill-switch physical source count is invalid"},
        {"32 physical sources", [&](AnchorInputs& i) { i.tailscale.physicalSourceAddresses = addresses(32); },
         "accepted"},
        {"physical source name", [](AnchorInputs& i) { i.tailscale.physicalSourceAddresses.push_back("en0"); },
         "kill-switch physical source is not an IP literal"},
        {"sources before same tunnel",
         [](AnchorInputs& i) {
             i.tailscale.physicalSourceAddresses.clear();
             i.tunnelInterface = "utun3";
         },
         "kill-switch physical source count is invalid"},
        {"same tunnel", [](AnchorInputs& i) { i.tunnelInterface = "utun3"; },
         "Tailscale tunnel cannot be the Tarnel tunnel"},
        {"no tunnel yet", [](AnchorInputs& i) { i.tunnelInterface.reset(); }, "accepted"},
    };
    for (const auto& c : cases) {
        AnchorInputs inputs = tailscaleMode();
        c.edit(inputs);
        EXPECT_EQ(reason(inputs), c.reason) << c.name;
    }
}

TEST(PacketFilterRules, AddressListsKeepSpellingsAndNameTheirLabel) {
    EXPECT_EQ(validatedAddressList({"::1", "0:0:0:0:0:0:0:1", "::1"}, "endpoint", 16),
              (std::vector<std::string>{"0:0:0:0:0:0:0:1", "::1"}));
    try {
        (void)validatedAddressList({"192.0.2.1", "192.0.2.1 "}, "physical source", 32);
        ADD_FAILURE() << "accepted a trailing space";
    } catch (const PrivilegedHelperContractError& error) {
        EXPECT_EQ(error.message(),
                  "Privileged tunnel configuration rejected: kill-switch physical source is not an IP literal.");
    }
}

}  // namespace
}  // namespace tarnel::PacketFilterRules
