// The whole tunnel start in a network namespace with en0 up: the prepared
// stand-in runtime makes a real TUN interface, the pfctl stand-in records the
// anchor, the route tool changes the namespace's routes, and the DNS override
// writes the emulated dynamic store.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"
#include "tests/support/build_products.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using Case = PrivilegedRuntimeError::Case;
using StartE2E = NamespaceTest;

double now() { return SystemClock::shared().uptime(); }

// One startup record: "<stage> <outcome>", and its two figures.
struct StageRecord {
    std::string record;
    long long stageMilliseconds = 0;
    long long remainingMilliseconds = 0;
};

std::vector<StageRecord> stageRecords(const ScopedLogCapture& capture) {
    std::vector<StageRecord> records;
    for (const auto& entry : capture.entries()) {
        if (entry.category != "timing") continue;
        const auto field = [&](std::string_view key) {
            const auto start = entry.text.find(" " + std::string(key) + "=") + key.size() + 2;
            return entry.text.substr(start, entry.text.find(' ', start) - start);
        };
        records.push_back(StageRecord{field("stage") + " " + field("outcome"), std::stoll(field("stage_ms")),
                                      std::stoll(field("remaining_ms"))});
    }
    return records;
}

std::vector<std::string> recordNames(const std::vector<StageRecord>& records) {
    std::vector<std::string> names;
    for (const auto& record : records) names.push_back(record.record);
    return names;
}

const StageRecord& find(const std::vector<StageRecord>& records, const std::string& name) {
    for (const auto& record : records) {
        if (record.record == name) return record;
    }
    throw std::runtime_error("no record " + name);
}

// The client namespace with en0 (192.168.1.20/24) up towards a LAN peer, the
// pfctl stand-in and the route tool in place, and a runtime of a validated
// application with the stand-in prepared.
class StartFixture {
public:
    StartFixture() {
        space_.addVeth("192.168.1.20/24", VethPeer{&lan_, "eth0", "192.168.1.1/24"}, "en0");
        SystemTools::map(SystemTools::route, buildProduct("tools/route/tarnel-route"));
        token_ = runtime_.prepareRuntime(
            PrivilegedRuntimePreparationRequest{Uuid::random(), now() + 45.0}, [] { return false; });
    }
    ~StartFixture() {
        // Whatever a failed test left running goes with the namespace's tunnel.
        try {
            space_.inside([&] { runtime_.stopTunnel(); });
        } catch (...) {
        }
    }
    StartFixture(const StartFixture&) = delete;
    StartFixture& operator=(const StartFixture&) = delete;

    PrivilegedRuntime::TunnelStart start(const PrivilegedTunnelStartupRequest& request,
                                         std::function<bool()> cancelled = [] { return false; }) const {
        return space_.inside([&] {
            return runtime_.startTunnel(readFixture("tunnel-config/plain-pinned-interface.json"), std::nullopt, token_,
                                        request, cancelled);
        });
    }
    std::optional<Case> failedStart() const {
        try {
            (void)start(request());
        } catch (const PrivilegedRuntimeError& error) {
            return error.errorCase();
        }
        return std::nullopt;
    }
    static PrivilegedTunnelStartupRequest request(double seconds = 25.0) {
        return PrivilegedTunnelStartupRequest{Uuid::random(), now() + seconds, false};
    }

    [[nodiscard]] const NetworkNamespace& space() const { return space_; }
    [[nodiscard]] RuntimeFixture& files() { return fixture_; }
    [[nodiscard]] const PrivilegedRuntime& runtime() const { return runtime_; }
    [[nodiscard]] const PfctlStandIn& pf() const { return pf_; }
    [[nodiscard]] const std::string& token() const { return token_; }
    [[nodiscard]] fs::path preparedBinary() const { return fixture_.directory() / ("sing-box-" + token_); }
    // What a start that failed after the launch leaves: its runtime stopped,
    // neither record nor configuration, the log kept, and protection on.
    // Gives the kill switch's record.
    std::optional<PacketFilterKillSwitch::State> expectStoppedWithProtectionOn() const {
        EXPECT_EQ(processesRunning(preparedBinary()), std::vector<pid_t>{});
        EXPECT_FALSE(fixture_.exists("tun-state.json"));
        EXPECT_FALSE(fixture_.exists("tun-config.json"));
        EXPECT_TRUE(fixture_.exists("tun.log"));
        const auto protection = killSwitchRecord();
        EXPECT_TRUE(protection && protection->desiredActive);
        return protection;
    }
    [[nodiscard]] std::optional<PacketFilterKillSwitch::State> killSwitchRecord() const {
        const auto bytes = fixture_.read(PacketFilterKillSwitch::stateFileName);
        if (bytes == "<missing>") return std::nullopt;
        return PacketFilterKillSwitch::State::decode(bytes);
    }

private:
    NetworkNamespace lan_;
    NetworkNamespace space_;
    RuntimeFixture fixture_;
    PfctlStandIn pf_{fixture_.directory().parent_path() / "pf"};
    PrivilegedRuntime runtime_ = fixture_.applicationRuntime();
    std::string token_;
};

const std::vector<std::string>& startStages() {
    static const std::vector<std::string> stages{
        "helper_configuration_validation", "helper_tailscale_decode",          "helper_configuration_protection",
        "helper_runtime_reuse",            "helper_protection_activation",     "helper_previous_runtime_cleanup",
        "helper_configuration_write",      "helper_process_launch",            "helper_post_launch_checkpoint",
        "helper_process_identity",         "helper_state_persistence",         "helper_live_runtime_validation",
        "helper_interface_appearance",     "helper_protection_promotion",      "helper_dns_route",
        "helper_dns_activation",           "helper_final_process_validation"};
    return stages;
}

TEST_F(StartE2E, StartsAProtectedTunnelWithoutTailscale) {
    StartFixture fixture;
    const ScopedLogCapture capture;
    const auto request = StartFixture::request();
    const auto started = fixture.start(request);

    std::vector<std::string> expected;
    for (const auto& stage : startStages()) {
        expected.push_back(stage + " started");
        expected.push_back(stage + " completed");
    }
    const auto records = stageRecords(capture);
    EXPECT_EQ(recordNames(records), expected);
    EXPECT_EQ(started.routeDeadlineUptime, request.deadlineUptime);
    // Once the runtime proved itself the start allows 5 s beyond its deadline.
    EXPECT_GT(find(records, "helper_interface_appearance started").remainingMilliseconds,
              (request.deadlineUptime - now()) * 1000.0 + 4000.0);

    const auto state = PrivilegedRuntime::TunnelState::decode(fixture.files().read("tun-state.json"));
    EXPECT_EQ(state.pid, started.processIdentifier);
    EXPECT_EQ(state.startupAttemptIdentifier, request.attemptID.text());
    ASSERT_EQ(state.tunnelInterface, "utun0");
    EXPECT_EQ(fixture.runtime().tunnelStatus(), started.processIdentifier);

    EXPECT_NE(fixture.pf().anchorRules().find("pass out quick on utun0 all keep state\n"), std::string::npos)
        << fixture.pf().anchorRules();
    const auto protection = fixture.killSwitchRecord();
    ASSERT_TRUE(protection);
    EXPECT_TRUE(protection->desiredActive);
    EXPECT_EQ(protection->tunnelInterface, "utun0");
    EXPECT_EQ(protection->endpointAddresses, std::vector<std::string>{"198.51.100.7"});
    ASSERT_FALSE(protection->physicalAddresses.empty());
    EXPECT_EQ(protection->physicalAddresses.front(), "192.168.1.20");

    EXPECT_NE(fixture.space().ip({"route", "get", "172.19.0.2"}).find("dev utun0"), std::string::npos);
    EXPECT_EQ(fixture.files().dnsResolver(),
              sysconfig::PropertyList(PrivilegedHelperContract::protectedDNSResolverConfiguration("utun0")));

    // The start's own files and the runtime it launched; nothing else is kept.
    EXPECT_EQ(fixture.files().entries(),
              (std::set<std::string>{fixture.preparedBinary().filename().string(), "dns-state.json",
                                     "kill-switch-state.json", "tun-config.json", "tun-state.json", "tun.log"}));

    // The watchdog's stopper is the runtime's own stop: it ends the tunnel and
    // restores DNS, and leaves the kill switch to the watchdog.
    const auto watchdog = PrivilegedRuntime::watchdogConfiguration(fixture.runtime().environment());
    fixture.space().inside([&] { watchdog.stopTunnel(); });
    EXPECT_EQ(processesRunning(fixture.preparedBinary()), std::vector<pid_t>{});
    EXPECT_EQ(fixture.files().dnsResolver(), std::nullopt);
    EXPECT_FALSE(fixture.files().exists("tun-state.json"));
    EXPECT_TRUE(watchdog.makeKillSwitch().isProtectionActive());
}

// The interface wait: a late interface is waited for; two interfaces, or a
// runtime that ends before making one, fail the start, which stops the
// runtime and removes its files but keeps the kill switch on.
TEST_F(StartE2E, WaitsForExactlyOneTunnelInterface) {
    {
        StartFixture fixture;
        const ScopedStandInFault fault("interface-delay=1500");
        const ScopedLogCapture capture;
        (void)fixture.start(StartFixture::request());
        // The interface appeared 1.5 s after the runtime began; the start saw
        // it no earlier.
        const auto records = stageRecords(capture);
        long long sinceLaunch = 0;
        for (const char* stage : {"helper_post_launch_checkpoint", "helper_process_identity",
                                  "helper_state_persistence", "helper_live_runtime_validation",
                                  "helper_interface_appearance"}) {
            sinceLaunch += find(records, std::string(stage) + " completed").stageMilliseconds;
        }
        EXPECT_GE(sinceLaunch, 1495);
    }
    // How long the interface wait took, on the start's own records: at once
    // for two interfaces, and before its 5 s window ended for a runtime that
    // exited.
    struct Case_ {
        const char* fault;
        Case error;
        long long atMostMilliseconds;
    };
    for (const auto& [fault, error, atMostMilliseconds] : {
             Case_{"second-interface", Case::ambiguousTunnelInterface, 2000},
             Case_{"no-interface,exit=0@2500", Case::tunnelInterfaceUnavailable, 4500},
         }) {
        SCOPED_TRACE(fault);
        StartFixture fixture;
        const ScopedStandInFault scoped(fault);
        const ScopedLogCapture capture;
        EXPECT_EQ(fixture.failedStart(), error);
        EXPECT_LT(find(stageRecords(capture), "helper_interface_appearance failed").stageMilliseconds,
                  atMostMilliseconds);
        const auto protection = fixture.expectStoppedWithProtectionOn();
        EXPECT_TRUE(protection && !protection->tunnelInterface);
    }
}

// A wall clock that jumps past the kill switch's lease once the start has
// recorded its runtime: the lease lapses between activation and promotion.
class LeaseBreakingClock final : public Clock {
public:
    [[nodiscard]] double uptime() const override { return SystemClock::shared().uptime(); }
    [[nodiscard]] double wallSeconds() const override {
        return SystemClock::shared().wallSeconds() + (jumped ? 1000.0 : 0.0);
    }
    void sleepFor(double seconds) const override { SystemClock::shared().sleepFor(seconds); }
    std::atomic<bool> jumped = false;
};

// Protection that lapsed, or was taken down, between its activation and the
// promotion ends the start there: no route and no DNS override is installed,
// and the start's clean-up stops the runtime.
TEST_F(StartE2E, ProtectionGoneAtPromotionEndsTheStartBeforeAnyRouteOrDNSChange) {
    for (const bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "record removed" : "lease lapsed");
        StartFixture fixture;
        LeaseBreakingClock clock;
        fixture.files().killSwitchServices.wallClock = &clock;
        // A route tool that only notes that it was called.
        const fs::path calls = fixture.files().directory().parent_path() / "route-calls";
        const fs::path tool = fixture.files().directory().parent_path() / "route";
        files::writeAtomically(tool, "#!/bin/sh\necho \"$*\" >> '" + calls.string() + "'\nexit 1\n", 0755);
        SystemTools::map(SystemTools::route, tool);

        const ScopedStandInFault fault("interface-delay=1000");
        std::atomic<bool> done = false;
        std::thread breaker([&] {
            while (!done && !fixture.files().exists("tun-state.json")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (removed) {
                files::removeIfExists(fixture.files().directory() / PacketFilterKillSwitch::stateFileName);
            } else {
                clock.jumped = true;
            }
        });
        const ScopedLogCapture capture;
        std::optional<Case> failure;
        try {
            // The same application's runtime, with a kill switch that reads the jumping clock.
            const PrivilegedRuntime& prepared = fixture.runtime();
            const PrivilegedRuntime runtime(fixture.files().environment(), prepared.applicationURL(),
                                            prepared.applicationStaticCode(), prepared.applicationCodeIdentity(), 501);
            fixture.space().inside([&] {
                (void)runtime.startTunnel(readFixture("tunnel-config/plain-pinned-interface.json"), std::nullopt,
                                          fixture.token(), StartFixture::request(), [] { return false; });
            });
        } catch (const PrivilegedRuntimeError& error) {
            failure = error.errorCase();
        }
        done = true;
        breaker.join();

        EXPECT_EQ(failure, Case::killSwitchLeaseExpired);
        const auto names = recordNames(stageRecords(capture));
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), "helper_protection_promotion failed");
        EXPECT_FALSE(fs::exists(calls));
        EXPECT_EQ(fixture.files().dnsResolver(), std::nullopt);
        EXPECT_FALSE(fixture.files().exists("dns-state.json"));
        EXPECT_FALSE(fixture.files().exists("tun-state.json"));
        EXPECT_FALSE(fixture.files().exists("tun-config.json"));
        EXPECT_TRUE(fixture.files().exists("tun.log"));
        EXPECT_TRUE(waitForTunnelInterfaces(fixture.space(), {}, 0.0));
        EXPECT_EQ(processesRunning(fixture.preparedBinary()), std::vector<pid_t>{});
        EXPECT_EQ(fixture.killSwitchRecord(), std::nullopt);
    }
}

// A start that fails once the DNS override is in place (here cancelled at
// the checkpoint right after it) restores DNS in its clean-up, and keeps
// the kill switch on.
TEST_F(StartE2E, AFailureAfterTheDNSOverrideRestoresDNS) {
    StartFixture fixture;
    const fs::path record = fixture.files().directory() / "dns-state.json";
    std::optional<Case> failure;
    try {
        (void)fixture.start(StartFixture::request(), [&] { return fs::exists(record); });
    } catch (const PrivilegedRuntimeError& error) {
        failure = error.errorCase();
    }
    EXPECT_EQ(failure, Case::tunnelStartupCancelled);
    EXPECT_EQ(fixture.files().dnsResolver(), std::nullopt);
    EXPECT_FALSE(fs::exists(record));
    (void)fixture.expectStoppedWithProtectionOn();
}

}  // namespace
}  // namespace tarnel::testing
