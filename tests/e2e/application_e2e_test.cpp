// The application end to end, as a user meets it: the window (the
// application-state driver, as "nobody", the signed application's main
// executable) over the real helper and the enforcing pfctl stand-in, in the
// namespaces of tunnel_topology.hpp. One application life and one restart:
// a free subscription signed for today, imported from its access link off
// an HTTPS server on the client's loopback; Connect, which fails over from
// route A (203.0.113.6:7000, where nothing answers) to route B (the tunnel
// server); Disconnect; Test all; Connect with the tunnel server stopped;
// proxy mode; and a crash of the application with its tunnel up.
//
// Leak rows (leak_probes.hpp) are taken at the application's states; a row
// counts only when the driver's stamped reports show that the state it names
// held from before its first probe to after its last, and the test fails
// otherwise. Leak watches show that, while routes were tried, the kill
// switch held rules in every sample and nothing passed outside the tunnel.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/base/unique_fd.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "tests/e2e/app_state_driver.hpp"
#include "tests/e2e/leak_probes.hpp"
#include "tests/e2e/tunnel_driver_test.hpp"
#include "tests/e2e/tunnel_topology.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/networksetup_calls.hpp"
#include "tests/support/signed_subscription.hpp"

namespace tarnel::testing {
namespace {

using Entry = AppStateDriver::LogEntry;
using Lines = std::vector<std::string>;

const std::string kToken = "scenario-7f3a";
const std::string kAccessLink = "https://sub.tarnel.test/sub/f/" + kToken + ".txt";
// The route rows, and the routes' titles (T) and descriptions (D).
const std::string kRowA = "route.RO:hysteria2";
const std::string kRowB = "route.EE:reality";
const std::string kTitleA = "Romania \u00B7 Hysteria2";
const std::string kTitleB = "Estonia \u00B7 VLESS Reality";
const std::string kDescriptionA = "Romania (Hysteria2, 203.***.***.6:7000)";
const std::string kDescriptionB = "Estonia (VLESS Reality, 203.***.***.5:7000)";
const std::string kRouteFailed = "Route failed independent traffic checks: ";

// Route A, a Hysteria2 route to 203.0.113.6:7000, on the client's link where
// no host answers; route B, a VLESS Reality route to the tunnel server. A v1
// list without a catalog: the window lists these two routes alone.
json::Value subscription() {
    return json::parse(R"({
      "service_class": "free",
      "format": "v1",
      "nodes": [
        {"id": "RO", "d": {"server": "203.0.113.6", "port": 7000, "server_name": "tarnel.test"},
         "t": [{"s": "hysteria2", "k": "hysteria2", "e": {"password": "route-a-secret"}}]},
        {"id": "EE", "d": {"server": "203.0.113.5", "port": 7000, "server_name": "tarnel.test"},
         "t": [{"s": "reality", "k": "vless-reality",
                "e": {"uuid": "0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f", "public_key": "reality-public-key",
                      "short_id": "0123abcd", "fingerprint": "chrome"}}]}]})");
}

// Whether `wanted` came in `log` from the `from`-th entry on, in order, other
// lines between them allowed: a wanted line that ends in "…" matches every
// line that starts with what comes before it, the others match exactly.
// Gives the first wanted line that did not come, or "".
std::string missingInOrder(const std::vector<Entry>& log, std::size_t from, const Lines& wanted) {
    static const std::string kEllipsis = "\u2026";
    std::size_t at = from;
    for (const std::string& line : wanted) {
        const bool prefix = line.ends_with(kEllipsis);
        const std::string start = prefix ? line.substr(0, line.size() - kEllipsis.size()) : line;
        while (at < log.size() && !(prefix ? log[at].text.starts_with(start) : log[at].text == line)) ++at;
        if (at == log.size()) return "\"" + line + "\" did not come in order";
        ++at;
    }
    return "";
}

std::string printed(const std::vector<Entry>& log) {
    std::string text;
    for (const Entry& entry : log) text += "\n  " + std::to_string(entry.at) + " " + entry.text;
    return text;
}

// The body of the echo host's answer to a CONNECT to 198.51.100.9:80 through
// the local proxy at 127.0.0.1:2080 of the calling thread's namespace: the
// address the internet host saw; "" when the proxy refused or nothing came.
std::string connectThroughLocalProxy() {
    const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{10, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(2080);
    proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy) != 0) return "";
    const std::string request = "CONNECT 198.51.100.9:80 HTTP/1.1\r\nHost: 198.51.100.9:80\r\n\r\n";
    if (::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return "";
    }
    std::string received;
    char buffer[512];
    for (ssize_t count; (count = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(count));
    }
    const auto head = received.find("\r\n\r\n");
    if (!received.starts_with("HTTP/1.1 200") || head == std::string::npos) return "";
    return received.substr(head + 4);
}

// The process identifiers of the children of `pid`'s threads, each followed
// by a space ("" when it has none).
std::string childrenOf(pid_t pid) {
    std::string children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        children += files::readIfExists(task.path() / "children").value_or("");
    }
    return children;
}

bool isDisconnected(const json::Value& state) {
    return state.at("tunnelStatus") == "disconnected" && !state.at("running").get<bool>();
}
bool isConnected(const json::Value& state) {
    return state.at("tunnelStatus") == "connected" && state.at("activeMode") == "tun" &&
           !state.at("running").get<bool>();
}
// Failed with the protection released: no connection mode left.
bool isFailedUnprotected(const json::Value& state) {
    return state.at("tunnelStatus") == "failed" && state.at("activeMode").is_null() &&
           !state.at("running").get<bool>();
}

class ApplicationE2E : public TunnelDriverTest {
protected:
    void SetUp() override {
        TunnelDriverTest::SetUp();
        if (IsSkipped()) return;
        setUpTunnel({"TARNEL_NETWORKSETUP_CALLS=" + networkSetupCalls().string()});
        ASSERT_TRUE(helper_->listening());
        hosts_.emplace(*topology_);
        // The proxy-mode runtime sends the trace host to the internet host.
        checks_.runtimeEnvironment = {"TARNEL_STANDIN_CONNECT_TO=trace.tarnel.test:443:" +
                                      std::string(TunnelTopology::kInternetAddress) + ":443"};
        subscriptionServer_ = topology_->client().inside([] {
            HttpsTestServer::Options options;
            options.port = 443;
            return std::make_unique<HttpsTestServer>(options);
        });
        subscriptionServer_->answer("/sub/m/" + kToken + ".json",
                                    TestHttpAnswer::ok(signedSubscription(subscription())));
    }
    void TearDown() override {
        second_.reset();
        first_.reset();
        helper_.reset();
    }

    [[nodiscard]] std::unique_ptr<AppStateDriver> startApplication(const AppStateDriver* previous = nullptr) const {
        AppStateDriver::Options options;
        options.addressPins = {HttpAddressPin{"sub.tarnel.test", 443, "127.0.0.1"}};
        options.moreCAFiles = {subscriptionServer_->caFile()};
        return std::make_unique<AppStateDriver>(*helper_, checks_, previous, options);
    }

    [[nodiscard]] std::filesystem::path networkSetupCalls() const { return files_.path() / "networksetup-calls"; }

    // The first entry from the `from`-th on that starts with `prefix`, once
    // written within `seconds`; fails the test when none came.
    static Entry waitFor(AppStateDriver& app, const std::string& prefix, double seconds, std::size_t from) {
        const auto entry = app.waitForEntry(prefix, seconds, from);
        if (!entry) {
            ADD_FAILURE() << "no line \"" << prefix << "\" within " << seconds << " s:" << printed(app.logEntries());
            throw std::runtime_error("the scenario cannot go on");
        }
        return *entry;
    }

    // Waits up to `seconds` until the control's text is `text`.
    static bool waitForText(AppStateDriver& app, const std::string& control, const std::string& text,
                            double seconds = 10.0) {
        const double end = SystemClock::shared().uptime() + seconds;
        while (app.control(control).value.at("text") != text) {
            if (SystemClock::shared().uptime() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    static bool hasText(const json::Value& control, const std::string& text) {
        const auto& texts = control.at("texts");
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }

    // Runs a leak row between two readings of the application's state that
    // both satisfy `holds`, with no log line written between them: the state
    // held from before the row's first probe to after its last. Gives the
    // cells that differ from `column`, and why the row does not count when
    // it does not; "" when it counts and matches.
    std::string rowWhileHeld(AppStateDriver& app, const std::string& title, LeakColumn column,
                             const std::function<bool(const json::Value&)>& holds) const {
        const AppStateDriver::Reply before = app.stampedState();
        const LeakRow row = runLeakRow(topology_->client());
        const AppStateDriver::Reply after = app.stampedState();
        std::string problems = row.compare(title, column);
        if (!holds(before.value) || !holds(after.value)) {
            problems += title + ": the state it names did not hold: " + json::writeCanonical(before.value) +
                        " before, " + json::writeCanonical(after.value) + " after; ";
        }
        if (!(before.at < row.start && row.end < after.at)) problems += title + ": the readings do not enclose it; ";
        for (const Entry& entry : app.logEntries()) {
            if (entry.at > before.at && entry.at < after.at) problems += title + ": during it: " + entry.text + "; ";
        }
        return problems;
    }

    TemporaryDirectory files_;
    std::optional<LeakHosts> hosts_;
    std::unique_ptr<HttpsTestServer> subscriptionServer_;
    // The first run outlives the second, which uses its directories.
    std::unique_ptr<AppStateDriver> first_;
    std::unique_ptr<AppStateDriver> second_;
};

TEST_F(ApplicationE2E, OneLifeAndOneRestartThroughTheWindow) {
    if (IsSkipped()) return;
    const NetworkNamespace& client = topology_->client();
    first_ = startApplication();
    AppStateDriver& app = *first_;

    // 1. The access link typed and imported; route A chosen. The off row
    // first: every probe's positive control.
    EXPECT_EQ(rowWhileHeld(app, "off", LeakColumn::off, isDisconnected), "");
    std::size_t seen = app.logEntries().size();
    app.setAccessKey(kAccessLink);
    app.press("subscription.import");
    waitFor(app, "Imported 2 route(s). Selected ", 60.0, seen);
    // The compact list first (none here), then the full one.
    Lines paths;
    for (const TestHttpRequest& request : subscriptionServer_->requests()) paths.push_back(request.path);
    EXPECT_EQ(paths, (Lines{"/sub/m/" + kToken + ".v2.json", "/sub/m/" + kToken + ".json"}));
    seen = app.logEntries().size();
    app.press(kRowA);
    waitFor(app, "Selected " + kDescriptionA + ".", 10.0, seen);
    EXPECT_EQ(app.control(kRowA).value.at("selected"), true);
    EXPECT_TRUE(app.control(kRowB).value.at("visible").get<bool>());
    EXPECT_EQ(app.control("routes.count").value.at("text"), "2");
    EXPECT_EQ(app.control("subscription.saved-hint").value.at("text"), "Ссылка сохранена только на этом Mac");

    // 2. Connect: A fails its gate under the kill switch, B connects.
    seen = app.logEntries().size();
    std::optional<LeakWatch> watch(std::in_place, client, helper_->pf());
    const double connectPressed = app.press("tunnel.connect");
    const Entry readyA = waitFor(app, "Tunnel helper ready for " + kTitleA + " in ", 90.0, seen);
    const LeakRow underGate = runLeakRow(client, 2.0);
    const Entry failedA = waitFor(app, kRouteFailed, 60.0, seen);
    EXPECT_EQ(underGate.compare("A under its gate", LeakColumn::underGate), "");
    EXPECT_TRUE(readyA.at < underGate.start && underGate.end < failedA.at)
        << "the row did not run while A's gate did: " << underGate.start << " to " << underGate.end
        << printed(app.logEntries());
    const Entry connected =
        waitFor(app, "Connected through " + kDescriptionB + " after IP, DNS, and HTTPS checks.", 90.0, seen);
    EXPECT_EQ(missingInOrder(app.logEntries(), seen,
                             {"Signed failover plan prepared across permitted transports and nodes.",
                              "Tunnel helper ready for " + kTitleA + " in \u2026",
                              "Tunnel startup made progress; allowing one bounded grace check.",
                              kRouteFailed + "IP route, DNS, HTTPS.", "Trying fallback 2 of 2: " + kTitleB,
                              "Connected through " + kDescriptionB + " after IP, DNS, and HTTPS checks."}),
              "")
        << printed(app.logEntries());
    EXPECT_EQ(watch->violationsFromFirstRules(connected.at, connectPressed), "");
    EXPECT_EQ(watch->violationsBetween(readyA.at, connected.at), "");
    watch.reset();
    EXPECT_TRUE(waitForText(app, "tunnel.headline", "Connected"));
    EXPECT_TRUE(hasText(app.control(kRowA).value, "Unavailable")) << app.control(kRowA).value.dump();
    const json::Value rowB = app.control(kRowB).value;
    EXPECT_TRUE(hasText(rowB, "Available")) << rowB.dump();
    EXPECT_EQ(rowB.at("selected"), true);
    EXPECT_NE(app.settingsText().find("app.tarnel.direct.automaticCrossNodeSelection=true"), std::string::npos)
        << app.settingsText();
    EXPECT_EQ(rowWhileHeld(app, "connected", LeakColumn::active, isConnected), "");

    // 3. Disconnect.
    seen = app.logEntries().size();
    app.press("tunnel.disconnect");
    EXPECT_EQ(waitFor(app, "Stopped TUN sing-box process.", 30.0, seen).text, "Stopped TUN sing-box process.");
    EXPECT_TRUE(waitForText(app, "tunnel.headline", "Ready to connect"));
    EXPECT_EQ(rowWhileHeld(app, "after Disconnect", LeakColumn::off, isDisconnected), "");

    // 4. Test all: A fails both gates, B passes; the test reaches its summary.
    seen = app.logEntries().size();
    watch.emplace(client, helper_->pf());
    const double testPressed = app.press("routes.test-all");
    waitFor(app, "Testing 2 routes with the normal connection gate.", 10.0, seen);
    EXPECT_TRUE(app.control("routes.test-all.cancel").value.at("visible").get<bool>());
    EXPECT_FALSE(app.control("routes.test-all").value.at("visible").get<bool>());
    EXPECT_EQ(app.control("routes.test-all.figure").value.at("text"), "0/2");
    const Entry firstTested = waitFor(app, "Tunnel helper ready for ", 90.0, seen);
    waitFor(app, "Switched to " + kDescriptionB + " after IP, DNS, and HTTPS checks.", 180.0, seen);
    const std::size_t afterSwitch = app.logEntries().size();
    // After B's pass the test settles (the tunnel stopped, the kill switch
    // kept), reports 2/2, and 0.3 s later stops the connection on the main
    // thread, which writes "Stopped TUN sing-box process." once protection is
    // released. The figure is read until it shows 2/2; a reading stamped
    // before that line was made before the release began.
    std::optional<double> allTested;
    const double readUntil = SystemClock::shared().uptime() + 30.0;
    while (!allTested && SystemClock::shared().uptime() < readUntil) {
        const AppStateDriver::Reply figure = app.control("routes.test-all.figure");
        if (figure.value.at("text") == "2/2") allTested = figure.at;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(allTested) << "the figure never showed 2/2";
    waitFor(app, "Route test completed: ", 60.0, seen);
    const Entry released = waitFor(app, "Stopped TUN sing-box process.", 0.0, afterSwitch);
    EXPECT_LT(*allTested, released.at) << "2/2 was read only after the release began";
    EXPECT_EQ(missingInOrder(app.logEntries(), seen,
                             {"Testing 2 routes with the normal connection gate.",
                              "Waiting for network cleanup before retrying " + kTitleA + ".",
                              "Retrying " + kTitleA + " with the extended reachability gate.",
                              "Switched to " + kDescriptionB + " after IP, DNS, and HTTPS checks.",
                              "Route test completed: 1 available, 0 slow, 1 unavailable, 0 not tested."}),
              "")
        << printed(app.logEntries());
    EXPECT_EQ(watch->violationsFromFirstRules(*allTested, testPressed), "");
    EXPECT_EQ(watch->violationsBetween(firstTested.at, *allTested), "");
    watch.reset();
    EXPECT_TRUE(app.control("routes.test-all").value.at("visible").get<bool>());

    // 5. The tunnel server stopped: the plan is exhausted and protection
    // released only after the last route failed.
    topology_->stopTunnelServer();
    seen = app.logEntries().size();
    watch.emplace(client, helper_->pf());
    const double retryPressed = app.press("tunnel.connect");
    const Entry firstTried = waitFor(app, "Tunnel helper ready for ", 90.0, seen);
    waitFor(app, "No permitted route passed the IP, DNS, and HTTPS connection gate.", 120.0, seen);
    const std::vector<Entry> log = app.logEntries();
    // B, the selected route, first; then A, whose failure the release follows.
    EXPECT_EQ(missingInOrder(log, seen,
                             {"Trying fallback 2 of 2: " + kTitleA, kRouteFailed + "IP route, DNS, HTTPS.",
                              "Direct internet was restored after the connection plan was exhausted.",
                              "No permitted route passed the IP, DNS, and HTTPS connection gate."}),
              "")
        << printed(log);
    const Entry fallbackA = waitFor(app, "Trying fallback 2 of 2: " + kTitleA, 0.0, seen);
    const auto failedAt = std::ranges::find_if(log, [&](const Entry& entry) {
        return entry.at > fallbackA.at && entry.text.starts_with(kRouteFailed);
    });
    ASSERT_NE(failedAt, log.end()) << printed(log);
    EXPECT_EQ(watch->violationsFromFirstRules(failedAt->at, retryPressed), "");
    EXPECT_EQ(watch->violationsBetween(firstTried.at, failedAt->at), "");
    watch.reset();
    EXPECT_TRUE(waitForText(app, "tunnel.headline", "VPN interrupted"));
    EXPECT_FALSE(app.control("tunnel.retry-hint").value.at("visible").get<bool>());
    EXPECT_FALSE(app.control("tunnel.disconnect").value.at("enabled").get<bool>());
    // The server back first: its resolver is a probe's positive control.
    topology_->startTunnelServer();
    EXPECT_EQ(rowWhileHeld(app, "after a failed plan", LeakColumn::off, isFailedUnprotected), "");

    // 6. Proxy mode through B, with the system proxy on Wi-Fi.
    app.press("panel.advanced");
    app.choose("connection.mode", "Proxy");
    seen = app.logEntries().size();
    app.press("tunnel.connect");
    const Entry started = waitFor(app, "Started proxy fallback for ", 60.0, seen);
    EXPECT_EQ(started.text, "Started proxy fallback for " + kDescriptionB + ". System proxy enabled on Wi-Fi.");
    EXPECT_FALSE(app.control("connection.mode").value.at("enabled").get<bool>());
    EXPECT_EQ(client.inside(connectThroughLocalProxy), "203.0.113.1");
    EXPECT_EQ(readNetworkSetupCalls(networkSetupCalls()), systemProxyEnableCalls("Wi-Fi"));
    const json::Value proxyState = app.state();
    ASSERT_TRUE(proxyState.at("proxyProcess").is_number_integer()) << proxyState.dump();
    const auto proxyProcess = static_cast<pid_t>(proxyState.at("proxyProcess").get<std::int64_t>());
    seen = app.logEntries().size();
    app.press("tunnel.disconnect");
    waitFor(app, "Stopped proxy sing-box process.", 30.0, seen);
    EXPECT_EQ(missingInOrder(app.logEntries(), seen,
                             {"Disabled system proxy on Wi-Fi.", "Stopped proxy sing-box process."}),
              "")
        << printed(app.logEntries());
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(proxyProcess)));
    EXPECT_EQ(childrenOf(app.pid()), "") << "the driver still has children";
    NetworkSetupCalls restoredCalls = systemProxyEnableCalls("Wi-Fi");
    for (auto& call : systemProxyOffCalls("Wi-Fi")) restoredCalls.push_back(call);
    EXPECT_EQ(readNetworkSetupCalls(networkSetupCalls()), restoredCalls);
    EXPECT_EQ(app.control("connection.mode").value.at("text"), "Proxy");
    app.choose("connection.mode", "TUN");
    EXPECT_EQ(app.control("connection.mode").value.at("text"), "TUN");

    // 7. Connected, the application killed; its next run finds the tunnel,
    // keeps the lease renewed, and Disconnect ends it.
    seen = app.logEntries().size();
    app.press("tunnel.connect");
    waitFor(app, "Connected through " + kDescriptionB + " after IP, DNS, and HTTPS checks.", 90.0, seen);
    const auto runtime = helperRuntime();
    ASSERT_TRUE(runtime);
    app.kill();
    const double killed = SystemClock::shared().uptime();
    const LeakRow afterKill = runLeakRow(client);
    EXPECT_EQ(afterKill.compare("application killed", LeakColumn::active), "");
    EXPECT_LT(killed, afterKill.start);
    EXPECT_EQ(helperRuntime(), runtime) << "the tunnel did not outlast the row";

    // The lease as the killed run left it: only the next run renews it.
    const double leftLease = leaseEnd();
    second_ = startApplication(first_.get());
    AppStateDriver& again = *second_;
    const Entry found = waitFor(again, "Found privileged VPN process ", 10.0, 0);
    EXPECT_LT(afterKill.end, found.at);
    EXPECT_EQ(found.text, "Found privileged VPN process " + std::to_string(*runtime) +
                              " after app launch, but its signed route identity cannot be verified. Use Connect to "
                              "replace it or Disconnect to stop it.");
    EXPECT_TRUE(leaseEndsAfter(leftLease, 10.0));
    EXPECT_TRUE(waitForText(again, "tunnel.headline", "VPN interrupted"));
    EXPECT_EQ(again.control("tunnel.status").value.at("text"), "Failed");
    EXPECT_TRUE(again.control("tunnel.retry-hint").value.at("visible").get<bool>());
    EXPECT_TRUE(again.control("tunnel.disconnect").value.at("enabled").get<bool>());

    seen = again.logEntries().size();
    again.press("tunnel.disconnect");
    EXPECT_EQ(waitFor(again, "Stopped TUN sing-box process.", 30.0, seen).text, "Stopped TUN sing-box process.");
    EXPECT_TRUE(waitForText(again, "tunnel.headline", "Ready to connect"));
    for (const auto& link : client.links()) EXPECT_FALSE(link.name.starts_with("utun")) << link.name;
    EXPECT_FALSE(std::filesystem::exists(helper_->runtime() / PacketFilterKillSwitch::stateFileName));
    EXPECT_EQ(rowWhileHeld(again, "after Disconnect", LeakColumn::off, isDisconnected), "");
    EXPECT_EQ(again.finish(10.0), 0);
    EXPECT_TRUE(again.otherLines().empty()) << ::testing::PrintToString(again.otherLines());
}

}  // namespace
}  // namespace tarnel::testing
