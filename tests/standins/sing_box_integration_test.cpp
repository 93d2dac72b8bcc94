#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/base/ascii.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "platform/network_isolation.hpp"
#include "tests/common/process_test_support.hpp"
#include "tests/standins/sing_box_test_support.hpp"
#include "tests/support/loopback_port.hpp"

namespace tarnel::testing {
namespace {

using Exit = ChildProcess::ExitStatus;
constexpr Exit exited(int code) { return {Exit::Kind::exited, code}; }

constexpr const char* kStarted = "sing-box: stand-in started\n";
constexpr const char* kLogging = "sing-box: stand-in logging to standard error\n";
constexpr const char* kProxyOnAnyPort =
    R"({"inbounds":[{"type":"mixed","tag":"test","listen":"127.0.0.1","listen_port":0}]})";

TEST(SingBoxStandIn, AcceptsOnlyRunWithAConfigurationFile) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"run"}, {"run", "-c"}, {"run", "-c", ""}, {"run", "-c", "a", "b"}, {"check", "-c", "a"},
             {"run", "-C", "a"}, {"-c", "a", "run"}, {"run", "--config", "a"}, {"version"}}) {
        StandIn standIn(StandIn::Arguments{arguments});
        EXPECT_EQ(standIn.finish(), exited(2));
        EXPECT_EQ(standIn.standardError(), "sing-box: usage: sing-box run -c FILE\n");
        EXPECT_EQ(standIn.standardOutput(), "");
    }
}

TEST(SingBoxStandIn, AnInvalidConfigurationEndsWithTheReadersMessage) {
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"{\"inbounds\": [", "The data is not valid JSON."},
        {"", "The data is not valid JSON."},
        {R"({"log":{},"log":{}})", "The JSON object repeats the key \"log\"."},
        {"{\"log\":\"\xc3\x28\"}", "The JSON text is not valid UTF-8."},
        {R"({"inbounds":[{"type":"vmess"}]})", "inbounds[0].type \"vmess\" is not run by the stand-in"},
    };
    for (const auto& [text, message] : cases) {
        StandIn standIn(text);
        EXPECT_EQ(standIn.finish(), exited(1)) << text;
        EXPECT_EQ(standIn.standardOutput(), kStarted);
        const std::string path = standIn.configurationPath().string();
        EXPECT_EQ(standIn.standardError(), kLogging + ("sing-box: decode config at " + path + ": " + message + "\n"));
    }

    StandIn missing(StandIn::Arguments{{"run", "-c", "/nonexistent/tun-config.json"}});
    EXPECT_EQ(missing.finish(), exited(1));
    EXPECT_EQ(missing.standardError(),
              kLogging + std::string("sing-box: read config: open /nonexistent/tun-config.json: "
                                     "No such file or directory\n"));
}

TEST(SingBoxStandIn, RefusesAFaultVariableOutsideItsGrammar) {
    StandIn standIn(kProxyOnAnyPort, "exit=1,exit=2");
    EXPECT_EQ(standIn.finish(), exited(2));
    EXPECT_EQ(standIn.standardOutput(), "");
    EXPECT_EQ(standIn.standardError(),
              "sing-box: invalid TARNEL_STANDIN_FAULT: \"exit=2\": a fault may be named once\n");
}

TEST(SingBoxStandIn, ExitFaultsEndTheRunAtOnceOrLater) {
    // At once: before the configuration is read, after the start lines.
    StandIn atOnce(StandIn::Arguments{{"run", "-c", "/nonexistent"}}, "exit=7");
    EXPECT_EQ(atOnce.finish(), exited(7));
    EXPECT_EQ(atOnce.standardOutput(), kStarted);
    EXPECT_EQ(atOnce.standardError(), kLogging);

    StandIn later(kProxyOnAnyPort, "exit=3@300");
    static_cast<void>(later.proxyPort());
    EXPECT_EQ(later.finish(), exited(3));
    EXPECT_GE(uptime() - later.launchedAt(), 0.3);
    EXPECT_TRUE(later.waitForLine("exiting with status 3 (fault)", 0));
}

// Faults for one server wait for the configuration: its server runs them,
// any other runs as if there were none.
TEST(SingBoxStandIn, FaultsForOneServerApplyOnlyToAConfigurationWithThatServer) {
    const auto proxyTo = [](int port) {
        return R"({"inbounds":[{"type":"mixed","tag":"test","listen":"127.0.0.1","listen_port":0}],)"
               R"("outbounds":[{"type":"trojan","tag":"proxy","server":"203.0.113.5","server_port":)" +
               std::to_string(port) + R"(}],"route":{"final":"proxy"}})";
    };
    const std::string faults = "exit=3,ignore-sigterm,only-server=203.0.113.5:7001";
    StandIn named(proxyTo(7001), faults);
    EXPECT_EQ(named.finish(), exited(3));
    EXPECT_EQ(named.standardOutput(), kStarted);

    StandIn other(proxyTo(7000), faults);
    static_cast<void>(other.proxyPort());
    ASSERT_TRUE(other.process().signal(SIGTERM));
    EXPECT_EQ(other.finish(), exited(0));

    // The configuration is read first: one that cannot be read fails as such.
    StandIn unread(StandIn::Arguments{{"run", "-c", "/nonexistent"}}, faults);
    EXPECT_EQ(unread.finish(), exited(1));
}

TEST(SingBoxStandIn, SigtermEndsTheRunWithStatusZeroUnlessIgnored) {
    StandIn standIn(kProxyOnAnyPort);
    static_cast<void>(standIn.proxyPort());
    ASSERT_TRUE(standIn.process().signal(SIGTERM));
    EXPECT_EQ(standIn.finish(), exited(0));
    EXPECT_TRUE(standIn.waitForLine("stopping on SIGTERM", 0));

    StandIn stubborn(kProxyOnAnyPort, "ignore-sigterm");
    static_cast<void>(stubborn.proxyPort());
    ASSERT_TRUE(stubborn.process().signal(SIGTERM));
    ASSERT_TRUE(stubborn.process().signal(SIGINT));
    EXPECT_FALSE(stubborn.process().waitForExit(0.3));
    ASSERT_TRUE(stubborn.process().signal(SIGKILL));
    EXPECT_EQ(stubborn.finish(), (Exit{Exit::Kind::signaled, SIGKILL}));
}

TEST(SingBoxStandIn, RefusesTunnelModeInTheMachinesNetworkNamespace) {
    if (NetworkIsolation::inSeparateNamespace()) GTEST_SKIP() << "the test itself runs in a separate namespace";
    StandIn standIn(readFixture("tunnel-config/automatic-interface.json"));
    EXPECT_EQ(standIn.finish(), exited(1));
    EXPECT_EQ(standIn.standardError(),
              kLogging + std::string("sing-box: refusing to create a TUN interface in the machine's own "
                                     "network namespace\n"));

    StandIn wide(R"({"inbounds":[{"type":"mixed","tag":"wide","listen":"0.0.0.0","listen_port":0}]})");
    EXPECT_EQ(wide.finish(), exited(1));
    EXPECT_TRUE(
        wide.waitForLine("refusing to listen on 0.0.0.0 outside loopback in the machine's own network namespace", 0));
}

BoundedCommandResult runCurl(std::vector<std::string> arguments) {
    return BoundedCommandRunner::run(curl(std::move(arguments)), 65536, withinSeconds(20));
}

TEST(SingBoxStandIn, ProxiesHttpConnectAndSocks5ToLoopback) {
    HttpTestServer server("127.0.0.1", "hello through the stand-in");
    StandIn standIn(kProxyOnAnyPort);
    const std::string proxy = "127.0.0.1:" + std::to_string(standIn.proxyPort());
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/path?query=1";
    const std::string named = "http://localhost:" + std::to_string(server.port()) + "/path?query=1";
    const std::string target = "127.0.0.1:" + std::to_string(server.port());

    const struct {
        std::vector<std::string> arguments;
        std::string logged;
    } ways[] = {
        {{"-x", "http://" + proxy, url}, "http forward to " + target},
        {{"-p", "-x", "http://" + proxy, url}, "http connect to " + target},
        {{"--socks5", proxy, url}, "socks5 to " + target},
        {{"--socks5-hostname", proxy, named}, "socks5 to localhost:" + std::to_string(server.port())},
    };
    for (const auto& [arguments, logged] : ways) {
        const auto result = runCurl(arguments);
        EXPECT_EQ(result.terminationStatus, 0) << arguments[0];
        EXPECT_EQ(result.output, "hello through the stand-in") << arguments[0];
        EXPECT_TRUE(standIn.waitForLine("mixed[test]: " + logged)) << standIn.standardError();
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    // Forwarded in origin form, for one exchange.
    EXPECT_TRUE(requests[0].starts_with("GET /path?query=1 HTTP/1.1\r\n")) << requests[0];
    EXPECT_NE(requests[0].find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(requests[0].find("Proxy-Connection"), std::string::npos);

    // A name is never looked up, and the refusal reaches the client.
    const auto unnamed = runCurl({"-o", "/dev/null", "-w", "%{http_code}", "-x", "http://" + proxy,
                               "http://nowhere.invalid:" + std::to_string(server.port()) + "/"});
    EXPECT_EQ(unnamed.output, "502");
    EXPECT_TRUE(standIn.waitForLine("mixed[test]: nowhere.invalid:" + std::to_string(server.port()) +
                                    " is not an IP address (the stand-in resolves no names)"));
    EXPECT_NE(runCurl({"--socks5-hostname", proxy, "http://nowhere.invalid/"}).terminationStatus, 0);
    EXPECT_EQ(server.requests().size(), 4u);
}

// A loopback port that nothing listens on (bound for a moment, then freed).
std::uint16_t freeLoopbackPort() { return BoundLoopbackPort().port(); }

TEST(SingBoxStandIn, ADelayedListenerRefusesUntilItsTimeThenServes) {
    HttpTestServer server("127.0.0.1", "late but served");
    const std::string port = std::to_string(freeLoopbackPort());
    StandIn standIn(R"({"inbounds":[{"type":"mixed","tag":"late","listen":"127.0.0.1","listen_port":)" + port + "}]}",
                    "listen-delay=600");
    const std::vector<std::string> request{"-x", "http://127.0.0.1:" + port,
                                           "http://127.0.0.1:" + std::to_string(server.port()) + "/"};
    // curl's "Failed to connect": nothing listens yet.
    EXPECT_EQ(runCurl(request).terminationStatus, 7);
    EXPECT_TRUE(standIn.waitForLine("mixed[late]: listening on 127.0.0.1:" + port)) << standIn.standardError();
    EXPECT_GE(uptime() - standIn.launchedAt(), 0.6);
    const auto served = runCurl(request);
    EXPECT_EQ(served.terminationStatus, 0);
    EXPECT_EQ(served.output, "late but served");
}

TEST(SingBoxStandIn, ConnectMappingsSendAMappedNameToItsAddressAndRefuseEveryOtherName) {
    HttpTestServer server("127.0.0.1", "mapped");
    StandIn standIn(kProxyOnAnyPort, "", nullptr, "trace.tarnel.test:443:127.0.0.1:" + std::to_string(server.port()));
    const std::string proxy = "127.0.0.1:" + std::to_string(standIn.proxyPort());
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"-p", "-x", "http://" + proxy, "http://trace.tarnel.test:443/probe"},
             {"--socks5-hostname", proxy, "http://Trace.Tarnel.Test:443/probe"}}) {
        const auto result = runCurl(arguments);
        EXPECT_EQ(result.terminationStatus, 0) << arguments[0] << standIn.standardError();
        EXPECT_EQ(result.output, "mapped") << arguments[0];
    }
    EXPECT_TRUE(standIn.waitForLine("mixed[test]: http connect to trace.tarnel.test:443"));
    // The name as curl sent it: a mapping matches it in any letter case.
    const auto socks = standIn.waitForLine("mixed[test]: socks5 to ");
    ASSERT_TRUE(socks);
    EXPECT_TRUE(ascii::equalIgnoringCase(*socks, "trace.tarnel.test:443")) << *socks;

    const auto unmapped = runCurl({"-o", "/dev/null", "-w", "%{http_connect}", "-p", "-x", "http://" + proxy,
                                   "http://trace.tarnel.test:80/"});
    EXPECT_EQ(unmapped.output, "502");
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST(SingBoxStandIn, RefusesAConnectMappingOutsideItsGrammar) {
    StandIn standIn(kProxyOnAnyPort, "", nullptr, "trace.tarnel.test:443");
    EXPECT_EQ(standIn.finish(), exited(2));
    EXPECT_EQ(standIn.standardOutput(), "");
    EXPECT_EQ(standIn.standardError(), "sing-box: invalid TARNEL_STANDIN_CONNECT_TO: \"trace.tarnel.test:443\": "
                                       "expected HOST:PORT:ADDRESS:PORT\n");
}

}  // namespace
}  // namespace tarnel::testing
