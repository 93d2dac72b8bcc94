#include "helper/protection/packet_filter_kill_switch.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/json.hpp"
#include "common/process/runtime_error.hpp"
#include "tests/helper/protection/sample_inputs.hpp"

namespace tarnel {
namespace {

using State = PacketFilterKillSwitch::State;
using T = TailscaleUnderlayTransport;

State plainRecord() {
    State state;
    state.desiredActive = true;
    state.bootTimeSeconds = 1699990000;
    state.leaseExpiresAt = 1700000120.25;
    state.endpointAddresses = {"203.0.113.5"};
    state.endpointPort = 443;
    state.physicalAddresses = {"192.168.1.20"};
    state.enableTokens = {12};
    return state;
}

State tailscaleRecord() {
    State state = plainRecord();
    state.tailscaleUnderlayEndpoints = {{"198.51.100.7", 443, T::tcp}, {"192.0.2.9", 41641, T::udp}};
    state.tailscaleRegionIDs = {1, 9};
    state.tailscaleRelayRegionID = 9;
    state.tailscalePhysicalInterface = "en0";
    state.tailscaleTunnelInterface = "utun3";
    state.tunnelInterface = "utun5";
    state.enableTokens = {12, 18446744073709551615ULL};
    return state;
}

constexpr const char* kPlainBytes =
    R"({"schema":3,"desiredActive":true,"bootTimeSeconds":1699990000,"leaseExpiresAt":1700000120.25,)"
    R"("endpointAddresses":["203.0.113.5"],"endpointPort":443,"directAddresses":[],)"
    R"("physicalAddresses":["192.168.1.20"],"enableTokens":[12]})";

TEST(KillSwitchState, IsWrittenCompactlyWithItsKeysInTheirFixedOrder) {
    EXPECT_EQ(plainRecord().encoded(), kPlainBytes);

    EXPECT_EQ(tailscaleRecord().encoded(),
              R"({"schema":3,"desiredActive":true,"bootTimeSeconds":1699990000,"leaseExpiresAt":1700000120.25,)"
              R"("endpointAddresses":["203.0.113.5"],"endpointPort":443,"directAddresses":[],)"
              R"("tailscaleUnderlayEndpoints":[{"address":"198.51.100.7","port":443,"transport":"tcp"},)"
              R"({"address":"192.0.2.9","port":41641,"transport":"udp"}],"tailscaleRegionIDs":[1,9],)"
              R"("tailscaleRelayRegionID":9,"tailscalePhysicalInterface":"en0","tailscaleTunnelInterface":"utun3",)"
              R"("tunnelInterface":"utun5","physicalAddresses":["192.168.1.20"],)"
              R"("enableTokens":[12,18446744073709551615]})");

    // A promoted plain record gains only its tunnel interface, before the
    // physical addresses; a whole-second lease keeps a fraction so that it
    // reads back as a double.
    State promoted = plainRecord();
    promoted.tunnelInterface = "utun5";
    promoted.leaseExpiresAt = 1700000120.0;
    EXPECT_EQ(promoted.encoded(),
              R"({"schema":3,"desiredActive":true,"bootTimeSeconds":1699990000,"leaseExpiresAt":1700000120.0,)"
              R"("endpointAddresses":["203.0.113.5"],"endpointPort":443,"directAddresses":[],)"
              R"("tunnelInterface":"utun5","physicalAddresses":["192.168.1.20"],"enableTokens":[12]})");
}

TEST(KillSwitchState, ReadsKeysByNameInAnyOrderAndRoundTripsEveryField) {
    for (const State& state : {plainRecord(), tailscaleRecord()}) {
        EXPECT_EQ(State::decode(state.encoded()), state);
    }
    // Any order, unknown keys ignored, null optional keys absent, an integral
    // lease read as a double, whatever "directAddresses" holds.
    const State read = State::decode(
        R"({"enableTokens":[12],"physicalAddresses":["192.168.1.20"],"future":{"x":[1]},"tunnelInterface":null,)"
        R"("directAddresses":["198.51.100.1"],"endpointPort":443,"endpointAddresses":["203.0.113.5"],)"
        R"("leaseExpiresAt":1700000120,"bootTimeSeconds":1699990000,"desiredActive":true,"schema":3})");
    State expected = plainRecord();
    expected.leaseExpiresAt = 1700000120.0;
    EXPECT_EQ(read, expected);

    // The lease's end reads back as the same double.
    for (const double lease : {0.1 + 0.2, 1700000120.123456789, 5e-324, 1.7976931348623157e308}) {
        State state = plainRecord();
        state.leaseExpiresAt = lease;
        EXPECT_EQ(State::decode(state.encoded()).leaseExpiresAt, lease);
    }
    // A record of another schema still reads; its callers judge the schema.
    EXPECT_EQ(State::decode(R"({"schema":2,"desiredActive":false,"bootTimeSeconds":-5,"leaseExpiresAt":0,)"
                            R"("endpointAddresses":[],"endpointPort":0,"directAddresses":[],)"
                            R"("physicalAddresses":[],"enableTokens":[]})")
                  .schema,
              2);
}

TEST(KillSwitchState, RefusesMissingKeysAndValuesOfTheWrongType) {
    const std::string plain = kPlainBytes;
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = plain;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<std::string> refused = {
        replaced(R"("endpointPort":443)", R"("endpointPort":443.5)"),
        replaced(R"("endpointPort":443)", R"("endpointPort":443.0)"),
        replaced(R"("desiredActive":true)", R"("desiredActive":1)"),
        replaced(R"("enableTokens":[12])", R"("enableTokens":[18446744073709551616])"),
        replaced(R"("enableTokens":[12])", R"("enableTokens":[-1])"),
        replaced(R"("enableTokens":[12])", R"("enableTokens":[12.0])"),
        replaced(R"("schema":3)", R"("schema":"3")"),
        replaced(R"("bootTimeSeconds":1699990000)", R"("bootTimeSeconds":9223372036854775808)"),
        replaced(R"("leaseExpiresAt":1700000120.25)", R"("leaseExpiresAt":"1700000120.25")"),
        replaced(R"("endpointAddresses":["203.0.113.5"])", R"("endpointAddresses":[5])"),
        replaced(R"("directAddresses":[])", R"("directAddresses":{})"),
        replaced(R"("physicalAddresses")", R"("physicalAddress")"),
        replaced(R"("schema":3)", R"("schema":null)"),
        replaced(R"("enableTokens":[12]})", R"("enableTokens":[12],"tailscaleRegionIDs":[1.5]})"),
        replaced(R"("enableTokens":[12]})", R"("enableTokens":[12],"tailscaleRelayRegionID":true})"),
        replaced(R"("enableTokens":[12]})", R"("enableTokens":[12],"tunnelInterface":5})"),
        replaced(R"("enableTokens":[12]})",
                 R"("enableTokens":[12],"tailscaleUnderlayEndpoints":[{"address":"192.0.2.9","port":1,"transport":"icmp"}]})"),
        replaced(R"("enableTokens":[12]})", R"("enableTokens":[12],"enableTokens":[13]})"),
        "[]",
        "",
    };
    for (const auto& text : refused) {
        EXPECT_THROW((void)State::decode(text), json::JsonError) << text;
    }
}

TEST(KillSwitchState, RuleInputsCarryTheTailscaleFieldsOnlyInTailscaleMode) {
    const auto tailscale = PacketFilterKillSwitch::anchorInputs(tailscaleRecord());
    auto expected = testing::workedExampleInputs();
    expected.tailscale.underlayEndpoints = *tailscaleRecord().tailscaleUnderlayEndpoints;
    EXPECT_EQ(tailscale, expected);

    // Without underlay endpoints the record is plain: stray Tailscale fields
    // and the physical addresses stay out of the rules.
    State plain = tailscaleRecord();
    plain.tailscaleUnderlayEndpoints.reset();
    const auto inputs = PacketFilterKillSwitch::anchorInputs(plain);
    EXPECT_EQ(inputs.tailscale, PacketFilterRules::TailscaleInputs{});
    EXPECT_EQ(inputs.endpoints, std::vector<std::string>{"203.0.113.5"});
    EXPECT_EQ(inputs.endpointPort, 443);
    EXPECT_EQ(inputs.tunnelInterface, "utun5");
}

TEST(KillSwitchPolicy, ComesFromTheValidatedRoute) {
    EXPECT_EQ(PacketFilterKillSwitch::Policy::from({"vpn.example.net", 8443, "en1"}),
              (PacketFilterKillSwitch::Policy{"vpn.example.net", 8443, "en1"}));
    EXPECT_EQ(PacketFilterKillSwitch::Policy::from({"203.0.113.5", 443, std::nullopt}),
              (PacketFilterKillSwitch::Policy{"203.0.113.5", 443, std::nullopt}));
}

}  // namespace
}  // namespace tarnel
