// Connect and Disconnect end to end, through the application state (the
// driver, as "nobody", the signed application's main executable) and the
// real helper. Proxy mode: one namespace, the local proxy runtime's stand-in
// sending the trace host to an HTTPS test server there, the system proxy
// set through the networksetup stand-in. VPN mode: the namespaces of
// tunnel_topology.hpp over the enforcing pfctl stand-in, and a second run of
// the application over the first one's directories after the first crashed.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/uuid.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/app_state_driver.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/e2e/tunnel_driver_test.hpp"
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/support/https_test_server.hpp"

namespace tarnel::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::string_view kProbePrefix = "/cdn-cgi/trace?tarnel_probe=";

// A VLESS Reality link of the tunnel server's endpoint, titled `title`.
std::string vlessLink(const std::string& title) {
    return "vless://0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f@" + std::string(TunnelTopology::kEndpointAddress) + ":" +
           std::to_string(TunnelTopology::kEndpointPort) +
           "?security=reality&pbk=reality-public-key&sid=0123abcd&sni=tarnel.test&fp=chrome#" + title;
}

// The lines from the `from`-th on.
Lines linesFrom(const Lines& log, std::size_t from) {
    return from < log.size() ? Lines(log.begin() + static_cast<std::ptrdiff_t>(from), log.end()) : Lines{};
}

// The process's first two arguments: its executable's name and "run" for a
// runtime.
Lines runtimeCommand(std::int64_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
    Lines arguments;
    for (std::string argument; std::getline(file, argument, '\0') && arguments.size() < 2;) {
        arguments.push_back(argument);
    }
    if (!arguments.empty()) arguments[0] = std::filesystem::path(arguments[0]).filename().string();
    return arguments;
}

class ProxyConnectE2E : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        space_.emplace();
        server_ = space_->inside([] { return std::make_unique<HttpsTestServer>(); });
        server_->answer("/cdn-cgi/trace", TestHttpAnswer::ok("fl=1\nh=trace.tarnel.test\n"));
        helper_.emplace(*space_);
        helper_->startHelper();
        ASSERT_TRUE(helper_->listening());
    }
    void TearDown() override { helper_.reset(); }

    // A driver whose proxy runtime has `faults` and sends the trace host to
    // the test server.
    [[nodiscard]] std::unique_ptr<AppStateDriver> driver(const std::string& faults = "") const {
        AppStateDriver::Checks checks;
        checks.ipRouteAddress = "127.0.0.1";
        checks.wildcardDNSDomain = "tarnel.test";
        checks.traceHost = "trace.tarnel.test";
        checks.resolver = "127.0.0.1";
        checks.caFile = server_->caFile();
        checks.runtimeEnvironment = {"TARNEL_STANDIN_CONNECT_TO=trace.tarnel.test:443:127.0.0.1:" +
                                     std::to_string(server_->port())};
        if (!faults.empty()) checks.runtimeEnvironment.push_back("TARNEL_STANDIN_FAULT=" + faults);
        return std::make_unique<AppStateDriver>(*helper_, checks);
    }
    // Imports one route through the access field.
    static void importOneRoute(AppStateDriver& app) {
        app.send({{"command", "import"}, {"input", vlessLink("RO%20proxy")}});
        ASSERT_TRUE(app.waitForLine("Imported 1 route(s).", 30.0)) << ::testing::PrintToString(app.log());
    }
    [[nodiscard]] std::filesystem::path proxyState() const { return helper_->runtime() / "proxy-state.json"; }

    std::optional<NetworkNamespace> space_;
    std::unique_ptr<HttpsTestServer> server_;
    std::optional<HelperHarness> helper_;
};

TEST_F(ProxyConnectE2E, TheSystemProxyFollowsTheLocalProxyUntilDisconnectAndAStoppedRuntimeFailsTheConnection) {
    if (IsSkipped()) return;
    const auto app = driver();
    importOneRoute(*app);
    std::size_t seen = app->log().size();

    app->send({{"command", "connect"}, {"mode", "proxy"}});
    const auto started = app->waitForLine("Started proxy fallback for ", 60.0, seen);
    ASSERT_TRUE(started) << ::testing::PrintToString(app->log());
    EXPECT_TRUE(started->ends_with(". System proxy enabled on Wi-Fi.")) << *started;
    EXPECT_EQ(files::readIfExists(proxyState()), R"({"serviceName":"Wi-Fi"})");
    json::Value state = app->state();
    EXPECT_EQ(state.at("tunnelStatus"), "connected");
    EXPECT_EQ(state.at("activeMode"), "proxy");
    EXPECT_EQ(state.at("systemProxyEnabled"), true);
    ASSERT_TRUE(state.at("proxyProcess").is_number_integer());
    const std::int64_t runtime = state.at("proxyProcess").get<std::int64_t>();

    // The start's probe and the monitor's first round reach the server, each
    // with a probe identifier of its own.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server_->requests().size() < 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::set<std::string> probes;
    for (const TestHttpRequest& request : server_->requests()) {
        ASSERT_TRUE(request.target.starts_with(kProbePrefix)) << request.target;
        const std::string uuid = request.target.substr(kProbePrefix.size());
        const auto parsed = Uuid::parse(uuid);
        EXPECT_TRUE(parsed && parsed->text() == uuid) << "not an upper-case UUID: " << uuid;
        probes.insert(uuid);
    }
    EXPECT_GE(server_->requests().size(), 2U);
    EXPECT_EQ(probes.size(), server_->requests().size());

    seen = app->log().size();
    ASSERT_EQ(::kill(static_cast<pid_t>(runtime), SIGKILL), 0);
    const auto stopped = app->waitForLine("Proxy process stopped unexpectedly.", 15.0, seen);
    ASSERT_TRUE(stopped) << ::testing::PrintToString(app->log());
    EXPECT_EQ(*stopped, "Proxy process stopped unexpectedly. Status changed to Failed.");
    state = app->state();
    EXPECT_EQ(state.at("tunnelStatus"), "failed");
    EXPECT_EQ(state.at("activeMode"), "proxy");

    seen = app->log().size();
    app->send({{"command", "disconnect"}});
    ASSERT_TRUE(app->waitForLine("Stopped proxy sing-box process.", 30.0, seen)) << ::testing::PrintToString(app->log());
    EXPECT_EQ(linesFrom(app->log(), seen), (Lines{"Disabled system proxy on Wi-Fi.", "Stopped proxy sing-box process."}));
    EXPECT_FALSE(std::filesystem::exists(proxyState()));
    state = app->state();
    EXPECT_EQ(state.at("tunnelStatus"), "disconnected");
    EXPECT_TRUE(state.at("activeMode").is_null());
    EXPECT_EQ(state.at("systemProxyEnabled"), false);
    EXPECT_EQ(app->finish(10.0), 0);
    EXPECT_TRUE(app->otherLines().empty()) << ::testing::PrintToString(app->otherLines());
}

TEST_F(ProxyConnectE2E, ARuntimeThatExitsFailsTheConnectWithoutTouchingTheSystemProxy) {
    if (IsSkipped()) return;
    const auto app = driver("exit=3");
    importOneRoute(*app);
    const std::size_t seen = app->log().size();

    app->send({{"command", "connect"}, {"mode", "proxy"}});
    const auto failed = app->waitForLine("Connect failed: ", 30.0, seen);
    ASSERT_TRUE(failed) << ::testing::PrintToString(app->log());
    EXPECT_EQ(*failed, "Connect failed: sing-box exited before the proxy became usable.");
    const json::Value state = app->state();
    EXPECT_EQ(state.at("tunnelStatus"), "failed");
    EXPECT_EQ(state.at("activeMode"), "proxy");
    EXPECT_TRUE(state.at("activeRouteID").is_null());
    EXPECT_TRUE(state.at("proxyProcess").is_null());
    EXPECT_FALSE(std::filesystem::exists(proxyState()));
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_EQ(app->finish(10.0), 0);
}

class VPNConnectE2E : public TunnelDriverTest {
protected:
    void SetUp() override {
        TunnelDriverTest::SetUp();
        if (IsSkipped()) return;
        setUpTunnel();
        ASSERT_TRUE(helper_->listening());
    }
    void TearDown() override {
        second_.reset();
        first_.reset();
        helper_.reset();
    }

    std::optional<AppStateDriver> first_;
    std::optional<AppStateDriver> second_;
};

TEST_F(VPNConnectE2E, AConnectionOutlivesTheApplicationsCrashAndTheNextRunReplacesAndEndsIt) {
    if (IsSkipped()) return;
    first_.emplace(*helper_, checks_);
    first_->send({{"command", "paste"}, {"text", "\n " + vlessLink("RO%20one") + "\n" + vlessLink("RO%20two") + " \n"}});
    ASSERT_TRUE(first_->waitForLine("Imported 2 route(s). Selected ", 30.0)) << ::testing::PrintToString(first_->log());
    std::size_t seen = first_->log().size();

    first_->send({{"command", "connect"}});
    const auto connected = first_->waitForLine("Connected through ", 90.0, seen);
    ASSERT_TRUE(connected) << ::testing::PrintToString(first_->log());
    EXPECT_TRUE(connected->ends_with(" after IP, DNS, and HTTPS checks.")) << *connected;
    EXPECT_EQ(linesFrom(first_->log(), seen).front(),
              "Privileged helper version 35 is live at PID " + std::to_string(helper_->helperPid()) + ".");
    const auto runtime = helperRuntime();
    ASSERT_TRUE(runtime);
    const Lines command = runtimeCommand(*runtime);
    ASSERT_EQ(command.size(), 2U);
    EXPECT_TRUE(command[0].starts_with("sing-box-")) << command[0];
    EXPECT_EQ(command[1], "run");

    // The lease monitor renews the kill switch's lease every 20 s, and the
    // health monitor's rounds pass without a word.
    seen = first_->log().size();
    const double lease = leaseEnd();
    std::this_thread::sleep_for(std::chrono::seconds(22));
    EXPECT_GE(leaseEnd(), lease + 15.0);
    EXPECT_EQ(linesFrom(first_->log(), seen), Lines{});
    EXPECT_EQ(first_->state().at("tunnelStatus"), "connected");

    // The application crashes; its next run finds the tunnel and keeps its
    // lease renewed, but claims no route for it.
    first_->kill();
    const double leftLease = leaseEnd();
    second_.emplace(*helper_, checks_, &*first_);
    const auto found = second_->waitForLine("Found privileged VPN process ", 5.0);
    ASSERT_TRUE(found) << ::testing::PrintToString(second_->log());
    EXPECT_EQ(*found, "Found privileged VPN process " + std::to_string(*runtime) +
                          " after app launch, but its signed route identity cannot be verified. Use Connect to "
                          "replace it or Disconnect to stop it.");
    EXPECT_TRUE(leaseEndsAfter(leftLease, 5.0));
    EXPECT_EQ(second_->settingsText().find("app.tarnel.direct.activeRouteID"), std::string::npos)
        << second_->settingsText();
    json::Value state = second_->state();
    EXPECT_EQ(state.at("tunnelStatus"), "failed");
    EXPECT_EQ(state.at("activeMode"), "tun");
    EXPECT_EQ(state.at("routes").size(), 2U);

    // Connect replaces it under protection.
    seen = second_->log().size();
    second_->send({{"command", "connect"}});
    const auto switched = second_->waitForLine("Switched to ", 90.0, seen);
    ASSERT_TRUE(switched) << ::testing::PrintToString(second_->log());
    EXPECT_TRUE(switched->ends_with(" after IP, DNS, and HTTPS checks.")) << *switched;
    EXPECT_TRUE(second_->waitForLine(
        "Found an existing privileged VPN runtime; treating this Connect as a protected replacement.", 0.0, seen));
    const auto replacement = helperRuntime();
    ASSERT_TRUE(replacement);
    EXPECT_NE(*replacement, *runtime);

    // A runtime that dies fails the connection at the monitor's next round.
    seen = second_->log().size();
    ASSERT_EQ(::kill(static_cast<pid_t>(*replacement), SIGKILL), 0);
    const auto died = second_->waitForLine("VPN process stopped unexpectedly.", 15.0, seen);
    ASSERT_TRUE(died) << ::testing::PrintToString(second_->log());
    EXPECT_EQ(*died, "VPN process stopped unexpectedly. Status changed to Failed.");
    EXPECT_EQ(second_->state().at("tunnelStatus"), "failed");

    // Disconnect restores direct internet and leaves nothing behind.
    seen = second_->log().size();
    second_->send({{"command", "disconnect"}});
    ASSERT_TRUE(second_->waitForLine("Stopped TUN sing-box process.", 30.0, seen))
        << ::testing::PrintToString(second_->log());
    state = second_->state();
    EXPECT_EQ(state.at("tunnelStatus"), "disconnected");
    EXPECT_TRUE(state.at("activeMode").is_null());
    EXPECT_EQ(helper_->operate("protection").values.at("result").at("active"), false);
    for (const auto& link : topology_->client().links()) EXPECT_FALSE(link.name.starts_with("utun")) << link.name;
    EXPECT_FALSE(std::filesystem::exists(helper_->runtime() / PacketFilterKillSwitch::stateFileName));
    EXPECT_TRUE(helper_->pf().anchorRules().empty());
    EXPECT_EQ(second_->finish(10.0), 0);
    EXPECT_TRUE(second_->otherLines().empty()) << ::testing::PrintToString(second_->otherLines());
}

}  // namespace
}  // namespace tarnel::testing
