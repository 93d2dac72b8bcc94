// The tunnel start up to the kill switch's activation, on a clock of the
// test's own: the Tailscale decode and validation with their error policy and
// the route deadline, the prepared-runtime lookup; and the DNS route stage
// over route tools of the test's own.

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "helper/runtime/tailscale_protected_configuration.hpp"
#include "platform/boot_clock.hpp"
#include "platform/network_interfaces.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using Case = PrivilegedRuntimeError::Case;

constexpr double kWall = 1'800'000'000.0;
constexpr std::int64_t kBoot = 1'799'990'000;
const std::string kTailscaleRequest = R"({"schema":2,"derp_region_ids":[1,9],"relay_region_id":9})";

std::vector<std::string> timingLines(const ScopedLogCapture& capture) {
    std::vector<std::string> lines;
    for (const auto& entry : capture.entries()) {
        if (entry.category == "timing") lines.push_back(entry.text);
    }
    return lines;
}

std::string field(const std::string& line, std::string_view key) {
    const auto start = line.find(" " + std::string(key) + "=") + key.size() + 2;
    return line.substr(start, line.find(' ', start) - start);
}

// The interfaces of the test; with `slow` set, every existence check takes
// 10 s of the fake clock.
class SlowInterfaceLookup final : public NetworkInterfaceLookup {
public:
    explicit SlowInterfaceLookup(FakeClock& clock) : clock_(clock) {}
    [[nodiscard]] std::optional<std::vector<NetworkInterfaces::InterfaceAddress>> addresses() const override {
        return list.addresses();
    }
    [[nodiscard]] bool exists(const std::string& name) const override {
        if (slow) clock_.advance(10.0);
        return list.exists(name);
    }
    FakeNetworkInterfaceLookup list;
    bool slow = false;

private:
    FakeClock& clock_;
};

// A runtime of a validated application on a fake clock at uptime 1000.25,
// with en0 and Tailscale's utun3 present, the pfctl stand-in, and a live
// protection made for Tailscale regions 1 and 9 beside utun3 on en0, whose
// Tailscale facts a start may reuse without asking Tailscale again.
class StartIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        interfaces_.list.add("en0", "192.168.1.20");
        interfaces_.list.add("utun3");
        fixture_.killSwitchServices.wallClock = &clock_;
        fixture_.killSwitchServices.bootClock = &boot_;
        fixture_.killSwitchServices.interfaces = &interfaces_;
        const PrivilegedRuntime prepared = fixture_.applicationRuntime();
        auto environment = fixture_.environment();
        environment.clock = std::shared_ptr<const Clock>(std::shared_ptr<const Clock>(), &clock_);
        runtime_.emplace(environment, prepared.applicationURL(), prepared.applicationStaticCode(),
                         prepared.applicationCodeIdentity(), 501);
        token_ = prepared.prepareRuntime(
            PrivilegedRuntimePreparationRequest{Uuid::random(), SystemClock::shared().uptime() + 45.0},
            [] { return false; });

        PacketFilterKillSwitch::State live;
        live.desiredActive = true;
        live.bootTimeSeconds = kBoot;
        live.leaseExpiresAt = kWall + 60.0;
        live.endpointAddresses = {"198.51.100.7"};
        live.endpointPort = 443;
        live.tailscaleUnderlayEndpoints = {{"203.0.113.7", 443, TailscaleUnderlayTransport::tcp}};
        live.tailscaleRegionIDs = {1, 9};
        live.tailscaleRelayRegionID = 9;
        live.tailscalePhysicalInterface = "en0";
        live.tailscaleTunnelInterface = "utun3";
        live.physicalAddresses = {"192.168.1.20"};
        live.enableTokens = {7};
        liveRecord_ = live.encoded();
        fixture_.write(PacketFilterKillSwitch::stateFileName, liveRecord_);
    }

    // The start's error, with the request deadline at uptime 1010.0.
    std::optional<Case> failedStart(const std::optional<std::string>& tailscale, std::string_view token,
                                    std::function<bool()> cancelled = [] { return false; }) {
        const PrivilegedTunnelStartupRequest request{Uuid::random(), 1010.0, tailscale.has_value()};
        try {
            (void)runtime_->startTunnel(readFixture("tunnel-config/plain-pinned-interface.json"), tailscale, token,
                                        request, std::move(cancelled));
        } catch (const PrivilegedRuntimeError& error) {
            return error.errorCase();
        }
        return std::nullopt;
    }

    FakeClock clock_{1000.25, kWall};
    FakeBootClock boot_{kBoot};
    SlowInterfaceLookup interfaces_{clock_};
    RuntimeFixture fixture_;
    PfctlStandIn pf_{fixture_.directory().parent_path() / "pf"};
    std::optional<PrivilegedRuntime> runtime_;
    std::string token_;
    std::string liveRecord_;
};

// Beside Tailscale the route deadline is 5 s after the Tailscale checks
// ended, not the request's; a token that names no prepared runtime then ends
// the start before the kill switch is touched.
TEST_F(StartIntegration, TheTailscaleRouteDeadlineAndAnUnknownTokenBeforeProtection) {
    const ScopedLogCapture capture;
    EXPECT_EQ(failedStart(kTailscaleRequest, "3F2504E0-4F89-11D3-9A0C-0305E82C3301"), Case::runtimeNotPrepared);
    EXPECT_EQ(PrivilegedRuntimeError(Case::runtimeNotPrepared).message(),
              "The signed tunnel runtime is not prepared for this application build.");

    const auto lines = timingLines(capture);
    std::vector<std::string> records;
    for (const auto& line : lines) records.push_back(field(line, "stage") + " " + field(line, "outcome"));
    EXPECT_EQ(records, (std::vector<std::string>{
                           "helper_configuration_validation started", "helper_configuration_validation completed",
                           "helper_tailscale_decode started", "helper_tailscale_decode completed",
                           "helper_tailscale_validation started", "helper_tailscale_validation completed",
                           "helper_configuration_protection started", "helper_configuration_protection completed",
                           "helper_runtime_reuse started", "helper_runtime_reuse failed"}));
    // Measured against 1010.0 before, and against 1000.25 + 5 after.
    EXPECT_EQ(field(lines.at(4), "remaining_ms"), "9750");
    EXPECT_EQ(field(lines.at(6), "remaining_ms"), "5000");

    EXPECT_EQ(fixture_.read(PacketFilterKillSwitch::stateFileName), liveRecord_);
    EXPECT_EQ(pf_.calls(), std::vector<PfctlCall>{});
}

// A start that fails after the kill switch went on (here writing the
// configuration) leaves protection on and nothing running.
TEST_F(StartIntegration, AFailureAfterActivationLeavesProtectionOnAndNothingRunning) {
    fs::create_directories(fixture_.directory() / "tun-config.json" / "in-the-way");
    const PrivilegedTunnelStartupRequest request{Uuid::random(), 1010.0, false};
    EXPECT_THROW((void)runtime_->startTunnel(readFixture("tunnel-config/plain-pinned-interface.json"), std::nullopt,
                                             token_, request, [] { return false; }),
                 SystemError);

    const auto record = PacketFilterKillSwitch::State::decode(fixture_.read(PacketFilterKillSwitch::stateFileName));
    EXPECT_TRUE(record.desiredActive);
    EXPECT_FALSE(record.isTailscaleMode());
    EXPECT_EQ(record.endpointAddresses, std::vector<std::string>{"198.51.100.7"});
    const auto calls = pf_.calls();
    ASSERT_FALSE(calls.empty());
    for (const auto& call : calls) {
        EXPECT_NE(call.arguments, (std::vector<std::string>{"-a", std::string(packetFilterAnchor), "-F", "all"}));
    }
    EXPECT_EQ(processesRunning(fixture_.directory() / ("sing-box-" + token_)), std::vector<pid_t>{});
    EXPECT_FALSE(fixture_.exists("tun-state.json"));
}

// Beside Tailscale the configuration written is the protected rewrite, and
// the kill switch goes on with Tailscale's facts (its rules let Tailscale's
// relay and tunnel interface out). Here the start then fails writing the log.
TEST_F(StartIntegration, TheTailscaleRewriteAndFactsReachTheConfigurationAndTheKillSwitch) {
    fs::create_directories(fixture_.directory() / "tun.log" / "in-the-way");
    const std::string configuration = readFixture("tunnel-config/plain-pinned-interface.json");
    const PrivilegedTunnelStartupRequest request{Uuid::random(), 1010.0, true};
    EXPECT_THROW((void)runtime_->startTunnel(configuration, kTailscaleRequest, token_, request, [] { return false; }),
                 PrivilegedRuntimeError);

    EXPECT_EQ(fixture_.read("tun-config.json"),
              PrivilegedTunnelConfigurationValidator::protectedConfiguration(
                  configuration, "utun3", {{"203.0.113.7", 443, TailscaleUnderlayTransport::tcp}}));
    const auto record = PacketFilterKillSwitch::State::decode(fixture_.read(PacketFilterKillSwitch::stateFileName));
    EXPECT_TRUE(record.desiredActive);
    EXPECT_EQ(record.tailscaleRegionIDs, (std::vector<std::int64_t>{1, 9}));
    EXPECT_EQ(record.tailscaleTunnelInterface, "utun3");
    EXPECT_NE(pf_.anchorRules().find("203.0.113.7"), std::string::npos) << pf_.anchorRules();
    EXPECT_NE(pf_.anchorRules().find("utun3"), std::string::npos) << pf_.anchorRules();
}

// What a failure of the Tailscale stages becomes.
TEST_F(StartIntegration, TailscaleFailuresAreTranslated) {
    const ScopedLogCapture capture;
    EXPECT_EQ(failedStart("{", "unused"), Case::tailscaleCompatibilityValidationFailed);
    const auto lines = timingLines(capture);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(field(lines.back(), "stage"), "helper_tailscale_decode");
    EXPECT_EQ(field(lines.back(), "outcome"), "failed");
    // The decoder's own error is in the record; the start reports its own.
    EXPECT_EQ(field(lines.back(), "error_type"), "TarnelDirect.JSONError");
    EXPECT_EQ(PrivilegedRuntimeError(Case::tailscaleCompatibilityValidationFailed).message(),
              "The installed Tailscale code or compatibility state could not be validated.");

    // A cancellation that arrives with the checkpoint after the validation stays one.
    int queries = 0;
    EXPECT_EQ(failedStart(kTailscaleRequest, "unused", [&] { return ++queries >= 3; }), Case::tunnelStartupCancelled);
    // A live protection made for other regions: Tailscale is left untouched.
    EXPECT_EQ(failedStart(R"({"schema":2,"derp_region_ids":[1,8],"relay_region_id":8})", "unused"),
              Case::tailscaleCompatibilityUnavailable);
    // The deadline passing during the validation: Tailscale could not be checked in time.
    interfaces_.slow = true;
    EXPECT_EQ(failedStart(kTailscaleRequest, "unused"), Case::tailscaleCompatibilityUnavailable);
    // Nothing of this touched the kill switch.
    EXPECT_EQ(pf_.calls(), std::vector<PfctlCall>{});
}

// A route tool of the test's own: each call appends its arguments to a log;
// `body` is the rest of the script.
fs::path routeTool(const fs::path& directory, const std::string& body) {
    const fs::path tool = directory / "route";
    files::writeAtomically(tool,
                           "#!/bin/sh\necho \"$*\" >> '" + (directory / "route-calls").string() + "'\n" + body, 0755);
    return tool;
}

std::vector<std::string> routeCalls(const fs::path& directory) {
    std::vector<std::string> calls;
    std::istringstream lines(files::readIfExists(directory / "route-calls").value_or(""));
    for (std::string line; std::getline(lines, line);) calls.push_back(line);
    return calls;
}

TEST(StartDNSRoute, AcceptsTheRouteOnTheInterfaceAndAddsItOtherwise) {
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.runtime();
    const fs::path directory = fixture.directory().parent_path();
    struct Row {
        std::string answer;  // the script after the log line
        std::vector<std::string> calls;
        std::optional<Case> error;
    };
    const std::string get = "-n get 172.19.0.2";
    const std::string add = "-n add -host 172.19.0.2 -interface utun4";
    const std::vector<Row> rows{
        // Already there: no add.
        {"printf '   route to: 172.19.0.2\\n  interface: utun4\\n'\n", {get}, std::nullopt},
        // Through another interface, and still after the add.
        {"printf '  interface: en0\\n'\n", {get, add, get}, Case::protectedDNSRouteFailed},
        // The add fails.
        {"case \"$2\" in add) exit 1;; esac\nprintf '  interface: en0\\n'\n", {get, add}, Case::protectedDNSRouteFailed},
        // Found only after the add.
        {"if [ -e '" + (directory / "added").string() + "' ]; then printf '  interface: utun4\\n'; fi\n"
         "[ \"$2\" = add ] && touch '" + (directory / "added").string() + "'\nexit 0\n",
         {get, add, get}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        files::removeIfExists(directory / "route-calls");
        files::removeIfExists(directory / "added");
        const SystemTools::ScopedMapping mapping(SystemTools::route, routeTool(directory, row.answer));
        std::optional<Case> error;
        try {
            runtime.installProtectedDNSRoute("utun4", RuntimeFixture::control());
        } catch (const PrivilegedRuntimeError& failure) {
            error = failure.errorCase();
        }
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(routeCalls(directory), row.calls);
    }
    EXPECT_EQ(PrivilegedRuntimeError(Case::protectedDNSRouteFailed).message(),
              "The protected DNS route could not be installed on the tunnel interface.");
}

// A route command that hangs past the deadline (here with the allowance of a
// start that has made progress) ends the stage at the deadline, and the
// tool's process with it.
TEST(StartDNSRoute, AHungRouteToolEndsAtTheEffectiveDeadline) {
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.runtime();
    const fs::path directory = fixture.directory().parent_path();
    const fs::path pidFile = directory / "route-pid";
    const SystemTools::ScopedMapping mapping(
        SystemTools::route, routeTool(directory, "echo $$ > '" + pidFile.string() + "'\nexec sleep 10\n"));
    PrivilegedTunnelStartupControl control(
        PrivilegedTunnelStartupRequest{Uuid::random(), SystemClock::shared().uptime() - 4.0, false},
        [] { return false; });
    control.progressObserved = true;

    const double began = SystemClock::shared().uptime();
    std::optional<Case> error;
    try {
        runtime.installProtectedDNSRoute("utun4", control);
    } catch (const PrivilegedRuntimeError& failure) {
        error = failure.errorCase();
    }
    const double took = SystemClock::shared().uptime() - began;
    EXPECT_EQ(error, Case::tunnelStartupDeadlineExceeded);
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 3.0);
    const auto pid = files::readIfExists(pidFile);
    ASSERT_TRUE(pid);
    EXPECT_NE(::kill(std::stoi(*pid), 0), 0) << "the route tool still runs";
}

}  // namespace
}  // namespace tarnel::testing
