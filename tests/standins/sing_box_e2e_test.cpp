#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "platform/runtime_host.hpp"
#include "tests/standins/sing_box_test_support.hpp"

namespace tarnel::testing {
namespace {

using Exit = ChildProcess::ExitStatus;
using SingBoxStandInE2E = NamespaceTest;
using Interfaces = std::set<std::string>;

// The tunnel interfaces the helper would find in the namespace: up, "utunN",
// carrying 172.19.0.1.
Interfaces tunnelInterfaces(const NetworkNamespace& space) {
    return space.inside([] { return RuntimeHost::activeTunnelInterfaces(); });
}

// Polls (every 5 ms, inside the namespace) until the tunnel interfaces are
// `expected` or `seconds` have passed; gives the uptime when they were.
std::optional<double> waitForInterfaces(const NetworkNamespace& space, const Interfaces& expected, double seconds) {
    return space.inside([&]() -> std::optional<double> {
        const double end = uptime() + seconds;
        do {
            if (RuntimeHost::activeTunnelInterfaces() == expected) return uptime();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (uptime() < end);
        return std::nullopt;
    });
}

const std::string& tunnelConfiguration() {
    static const std::string text = readFixture("tunnel-config/automatic-interface.json");
    return text;
}

// How soon the interface is up is a speed figure, measured by
// BM_StandInTunnelInterfaceUp (bench/standin_runtime_bench.cpp); here it only
// has to come within the helper's own 5 s window for it.
TEST_F(SingBoxStandInE2E, TunnelInterfaceComesUpAndGoesWithTheProcessOnSigterm) {
    NetworkNamespace space;
    StandIn standIn(tunnelConfiguration(), "", &space);
    ASSERT_TRUE(waitForInterfaces(space, {"utun0"}, 5.0)) << standIn.standardError();
    const auto utun0 = space.link("utun0");
    ASSERT_TRUE(utun0);
    EXPECT_TRUE(utun0->up);
    EXPECT_EQ(utun0->addresses.front(), "172.19.0.1/30");
    EXPECT_NE(space.ip({"link", "show", "utun0"}).find(" mtu 1400 "), std::string::npos);
    EXPECT_TRUE(standIn.waitForLine("tun[tarnel-tun]: utun0 up with 172.19.0.1/30", 0));

    ASSERT_TRUE(standIn.process().signal(SIGTERM));
    EXPECT_EQ(standIn.finish(2.0), (Exit{Exit::Kind::exited, 0}));
    EXPECT_TRUE(waitForInterfaces(space, {}, 2.0));
    EXPECT_FALSE(space.link("utun0"));
    EXPECT_EQ(standIn.standardOutput(), "sing-box: stand-in started\n");
    EXPECT_TRUE(standIn.waitForLine("stopping on SIGTERM", 0));
}

TEST_F(SingBoxStandInE2E, WithSigtermIgnoredOnlySigkillEndsItAndTheInterfaceGoesWithIt) {
    NetworkNamespace space;
    StandIn standIn(tunnelConfiguration(), "ignore-sigterm", &space);
    ASSERT_TRUE(waitForInterfaces(space, {"utun0"}, 5.0)) << standIn.standardError();
    ASSERT_TRUE(standIn.process().signal(SIGTERM));
    EXPECT_FALSE(standIn.process().waitForExit(0.3));
    EXPECT_EQ(tunnelInterfaces(space), Interfaces{"utun0"});

    ASSERT_TRUE(standIn.process().signal(SIGKILL));
    EXPECT_EQ(standIn.finish(2.0), (Exit{Exit::Kind::signaled, SIGKILL}));
    EXPECT_TRUE(waitForInterfaces(space, {}, 2.0));
    EXPECT_FALSE(space.link("utun0"));
}

TEST_F(SingBoxStandInE2E, InterfaceFaults) {
    {
        NetworkNamespace space;
        StandIn standIn(tunnelConfiguration(), "no-interface", &space);
        EXPECT_FALSE(waitForInterfaces(space, {"utun0"}, 0.5));
        EXPECT_TRUE(standIn.process().isRunning());
        EXPECT_EQ(space.links().size(), 1u);  // lo alone
    }
    {
        NetworkNamespace space;
        StandIn standIn(tunnelConfiguration(), "interface-delay=400", &space);
        const auto up = waitForInterfaces(space, {"utun0"}, 5.0);
        ASSERT_TRUE(up);
        EXPECT_GE(*up - standIn.launchedAt(), 0.4);
    }
    {
        NetworkNamespace space;
        StandIn standIn(tunnelConfiguration(), "second-interface", &space);
        EXPECT_TRUE(waitForInterfaces(space, {"utun0", "utun1"}, 5.0)) << standIn.standardError();
        EXPECT_EQ(space.link("utun1")->addresses.front(), "172.19.0.1/30");
    }
    {
        NetworkNamespace space;
        StandIn standIn(tunnelConfiguration(), "exit=4@300", &space);
        EXPECT_TRUE(waitForInterfaces(space, {"utun0"}, 5.0));
        EXPECT_EQ(standIn.finish(), (Exit{Exit::Kind::exited, 4}));
        EXPECT_TRUE(waitForInterfaces(space, {}, 2.0));
    }
}

TEST_F(SingBoxStandInE2E, TakesTheFirstFreeTunnelName) {
    NetworkNamespace space;
    space.addTunnel("utun0", "10.9.0.1/30");
    StandIn standIn(tunnelConfiguration(), "", &space);
    EXPECT_TRUE(waitForInterfaces(space, {"utun1"}, 5.0)) << standIn.standardError();
    EXPECT_EQ(space.link("utun0")->addresses.front(), "10.9.0.1/30");
}

TEST_F(SingBoxStandInE2E, ProxyModeCarriesCurlToAServerOfTheTest) {
    NetworkNamespace space;
    NetworkNamespace neighbour;
    space.addVeth("10.203.0.1/24", {&neighbour, "en0", "10.203.0.2/24"});
    const auto loopback = space.inside([] { return std::make_unique<HttpTestServer>("127.0.0.1", "loopback"); });
    const auto lan = neighbour.inside([] { return std::make_unique<HttpTestServer>("10.203.0.2", "next door"); });
    StandIn standIn(readFixture("sing-box-proxy/shadowtls-proxy.json"), "", &space);
    ASSERT_TRUE(standIn.waitForLine("mixed[tarnel-mixed]: listening on 127.0.0.1:2080")) << standIn.standardError();

    const std::string url = "http://127.0.0.1:" + std::to_string(loopback->port()) + "/";
    for (const auto& proxy : std::vector<std::vector<std::string>>{
             {"-x", "http://127.0.0.1:2080"}, {"-p", "-x", "http://127.0.0.1:2080"}, {"--socks5", "127.0.0.1:2080"}}) {
        auto arguments = proxy;
        arguments.push_back(url);
        const auto result = space.run(curl(arguments), 20.0);
        EXPECT_EQ(result.terminationStatus, 0) << proxy[0] << standIn.standardError();
        EXPECT_EQ(result.output, "loopback") << proxy[0];
    }
    EXPECT_EQ(loopback->requests().size(), 3u);

    // In a namespace of the test's own, other addresses are the test's too:
    // here a server in the namespace at the other end of en0.
    const std::string next = "10.203.0.2:" + std::to_string(lan->port());
    const auto across = space.run(curl({"-x", "http://127.0.0.1:2080", "http://" + next + "/"}), 20.0);
    EXPECT_EQ(across.output, "next door");
    EXPECT_TRUE(standIn.waitForLine("mixed[tarnel-mixed]: http forward to " + next));
}

}  // namespace
}  // namespace tarnel::testing
