#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/base/json.hpp"
#include "standins/sing-box/configuration.hpp"
#include "standins/sing-box/faults.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel::standin {
namespace {

TEST(StandInFaults, ParsesEveryFaultAndTheirCombinations) {
    EXPECT_EQ(parseFaults(""), Faults{});
    EXPECT_EQ(parseFaults("exit=0").exitCode, 0);
    EXPECT_EQ(parseFaults("exit=255").exitCode, 255);
    EXPECT_FALSE(parseFaults("exit=3").exitAfterMilliseconds);

    Faults expected;
    expected.exitCode = 1;
    expected.exitAfterMilliseconds = 250;
    expected.ignoreTermination = true;
    EXPECT_EQ(parseFaults("exit=1@250,ignore-sigterm"), expected);

    expected = {};
    expected.interfaceDelayMilliseconds = 3600000;
    expected.secondInterface = true;
    EXPECT_EQ(parseFaults("second-interface,interface-delay=3600000"), expected);

    expected = {};
    expected.noInterface = true;
    expected.listenDelayMilliseconds = 700;
    EXPECT_EQ(parseFaults("listen-delay=700,no-interface"), expected);

    expected = {};
    expected.exitCode = 3;
    expected.onlyServer = "203.0.113.5:7001";
    EXPECT_EQ(parseFaults("exit=3,only-server=203.0.113.5:7001"), expected);
    EXPECT_EQ(parseFaults("only-server=[2001:db8::5]:443").onlyServer, "[2001:db8::5]:443");
}

TEST(StandInFaults, FaultsForOneServerApplyToItsConfigurationOnly) {
    const Faults faults = parseFaults("exit=3,ignore-sigterm,only-server=203.0.113.5:7001");
    EXPECT_EQ(faultsFor(faults, "203.0.113.5:7001"), faults);
    EXPECT_EQ(faultsFor(faults, "203.0.113.5:7000"), Faults{});
    EXPECT_EQ(faultsFor(faults, std::nullopt), Faults{});
    const Faults everywhere = parseFaults("exit=3");
    EXPECT_EQ(faultsFor(everywhere, "203.0.113.5:7000"), everywhere);
    EXPECT_EQ(faultsFor(everywhere, std::nullopt), everywhere);
}

TEST(StandInFaults, RefusesWhatTheGrammarDoesNotHold) {
    for (const char* text : {",", "exit", "exit=", "exit=256", "exit=-1", "exit=+1", "exit=1@", "exit=@5",
                             "exit=1@3600001", "exit=1x", "exit= 1", "interface-delay", "interface-delay=1.5",
                             "no-interface=1", "ignore-sigterm,", "Ignore-Sigterm", "exit=1,exit=2",
                             "no-interface,second-interface", "interface-delay=5,no-interface", "crash",
                             "listen-delay", "listen-delay=3600001", "listen-delay=1,listen-delay=2",
                             "only-server", "only-server=", "only-server=203.0.113.5", "only-server=host.test:80",
                             "only-server=203.0.113.5:0", "only-server=203.0.113.5:65536", "only-server=2001:db8::5:80",
                             "only-server=[203.0.113.5]:80", "only-server=:80"}) {
        EXPECT_THROW(static_cast<void>(parseFaults(text)), std::invalid_argument) << text;
    }
    try {
        static_cast<void>(parseFaults("exit=1,bogus"));
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "\"bogus\": unknown fault");
    }
}

TEST(StandInConfiguration, ReadsTheTunnelAndProxyConfigurationsTheSystemWrites) {
    const Configuration tunnel = parseConfiguration(testing::readFixture("tunnel-config/automatic-interface.json"));
    ASSERT_EQ(tunnel.tunInbounds.size(), 1u);
    EXPECT_TRUE(tunnel.mixedInbounds.empty());
    const TunInbound& tun = tunnel.tunInbounds[0];
    EXPECT_EQ(tun.tag, "tarnel-tun");
    EXPECT_EQ(tun.mtu, 1400);
    ASSERT_EQ(tun.addresses.size(), 1u);
    EXPECT_EQ(tun.addresses[0].text, "172.19.0.1/30");
    EXPECT_EQ(tun.addresses[0].family, AF_INET);
    EXPECT_EQ(tun.addresses[0].length, 30);
    EXPECT_EQ(ntohl(tun.addresses[0].ipv4.s_addr), 0xAC130001u);

    const Configuration proxy = parseConfiguration(testing::readFixture("sing-box-proxy/shadowtls-proxy.json"));
    EXPECT_TRUE(proxy.tunInbounds.empty());
    ASSERT_EQ(proxy.mixedInbounds.size(), 1u);
    EXPECT_EQ(proxy.mixedInbounds[0].tag, "tarnel-mixed");
    EXPECT_EQ(proxy.mixedInbounds[0].listenText, "127.0.0.1");
    EXPECT_EQ(proxy.mixedInbounds[0].listen.ss_family, AF_INET);
    EXPECT_EQ(proxy.mixedInbounds[0].port, 2080);

    EXPECT_TRUE(parseConfiguration("{}").tunInbounds.empty());
    const auto v6 = parseConfiguration(R"({"inbounds":[{"type":"tun","address":["fdfe:dcba:9876::1/126"]},
                                                       {"type":"mixed","listen":"::1","listen_port":0}]})");
    EXPECT_EQ(v6.tunInbounds[0].addresses[0].family, AF_INET6);
    EXPECT_EQ(v6.tunInbounds[0].addresses[0].length, 126);
    EXPECT_FALSE(v6.tunInbounds[0].mtu);
    EXPECT_EQ(v6.mixedInbounds[0].listen.ss_family, AF_INET6);
}

TEST(StandInConfiguration, RefusesWhatItCannotRunWithTheReadersMessage) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"{", "The data is not valid JSON."},
        {"[]", "The JSON text has the wrong top-level type."},
        {R"({"inbounds":1,"inbounds":2})", "The JSON object repeats the key \"inbounds\"."},
        {"{\"log\":\"\xff\"}", "The JSON text is not valid UTF-8."},
        {R"({"inbounds":{}})", "The JSON value has the wrong type at \"inbounds\"."},
        {R"({"inbounds":[{"tag":"x"}]})", "The JSON value is missing \"inbounds[0].type\"."},
        {R"({"inbounds":[{"type":"socks"}]})", "inbounds[0].type \"socks\" is not run by the stand-in"},
        {R"({"inbounds":[{"type":"tun"}]})", "The JSON value is missing \"inbounds[0].address\"."},
        {R"({"inbounds":[{"type":"tun","address":[]}]})", "inbounds[0].address needs at least one address"},
        {R"({"inbounds":[{"type":"tun","address":[1]}]})",
         "The JSON value has the wrong type at \"inbounds[0].address[0]\"."},
        {R"({"inbounds":[{"type":"tun","address":["172.19.0.1"]}]})",
         "inbounds[0].address[0] is not an address with a prefix length"},
        {R"({"inbounds":[{"type":"tun","address":["172.19.0.1/33"]}]})",
         "inbounds[0].address[0] is not an address with a prefix length"},
        {R"({"inbounds":[{"type":"tun","address":["172.19.0.1/030"]}]})",
         "inbounds[0].address[0] is not an address with a prefix length"},
        {R"({"inbounds":[{"type":"tun","address":["utun0/30"]}]})",
         "inbounds[0].address[0] is not an address with a prefix length"},
        {R"({"inbounds":[{"type":"tun","address":["172.19.0.1/30"],"mtu":1400.0}]})",
         "The JSON value has the wrong type at \"inbounds[0].mtu\"."},
        {R"({"inbounds":[{"type":"tun","address":["172.19.0.1/30"],"mtu":100}]})",
         "inbounds[0].mtu must be from 576 to 65535"},
        {R"({"inbounds":[{"type":"mixed","listen":"localhost","listen_port":2080}]})",
         "inbounds[0].listen is not a numeric IP address"},
        {R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":65536}]})",
         "The JSON number is out of range at \"inbounds[0].listen_port\"."},
        {R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1"}]})",
         "The JSON value is missing \"inbounds[0].listen_port\"."},
    };
    for (const auto& [text, message] : cases) {
        try {
            static_cast<void>(parseConfiguration(text));
            ADD_FAILURE() << "accepted " << text;
        } catch (const Error& error) {
            EXPECT_EQ(error.message(), message) << text;
        }
    }
}

}  // namespace
}  // namespace tarnel::standin
