// The Tailscale compatibility snapshot over the scutil and Tailscale
// stand-ins: the tools it runs, in order, the payload it builds, how each
// failing run ends it, and its cancellation and deadline, also timed as the
// application's startup stage.

#include "app/tunnel/tailscale_compatibility.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/tunnel/startup_timing.hpp"
#include "common/base/clock.hpp"
#include "common/base/json.hpp"
#include "common/base/log.hpp"
#include "common/base/uuid.hpp"
#include "common/contract/tailscale_compatibility_request.hpp"
#include "tests/tunnel/vpn_tool_standins.hpp"

namespace tarnel::testing {
namespace {

using Case = TailscaleCompatibilityError::Case;

constexpr const char* kAllCalls = "debug prefs\nstatus --json\ndebug derp-map\n";

double later() { return SystemClock::shared().uptime() + 60.0; }

TEST(TailscaleCompatibility, TheSnapshotOfAConnectedTailscale) {
    VPNToolStandIns tools;
    const auto payload = TailscaleCompatibility::snapshot(later());
    ASSERT_TRUE(payload);
    EXPECT_EQ(*payload, R"({"derp_region_ids":[1,3],"relay_region_id":3,"schema":2})");
    EXPECT_EQ(VPNToolStandIns::calls(tools.scutilCalls()), "--nc list\n");
    EXPECT_EQ(VPNToolStandIns::calls(tools.tailscaleCalls()), kAllCalls);
    // What the helper reads back from it.
    EXPECT_EQ(PrivilegedHelperContract::validateTailscaleCompatibilityRequest(payload),
              (PrivilegedHelperContract::TailscaleCompatibilityRequest{{1, 3}, 3}));
}

TEST(TailscaleCompatibility, NoSnapshotWithoutExactlyOneConnectedTailscale) {
    const std::string line(kTailscaleServiceLine);
    std::string disconnected = line;
    disconnected.replace(disconnected.find("(Connected)"), 11, "(Disconnected)");
    for (const std::string& list : {std::string(), disconnected, line + line}) {
        VPNToolStandIns tools;
        tools.writeServiceList(list);
        EXPECT_EQ(TailscaleCompatibility::snapshot(later()), std::nullopt) << list;
        EXPECT_EQ(VPNToolStandIns::calls(tools.tailscaleCalls()), "") << "the tool ran";
    }
}

TEST(TailscaleCompatibility, EachFailingRunEndsTheSnapshotWithItsError) {
    struct Failure {
        const char* name;
        std::function<void(VPNToolStandIns&)> change;
        std::string message;
    };
    const std::string unavailable = "Tailscale is connected but its local command is unavailable.";
    const std::string noState = "Tailscale is connected but did not provide compatibility state.";
    const std::vector<Failure> failures = {
        {"tool not executable",
         [](VPNToolStandIns& tools) {
             files::writeAtomically(tools.directory() / "tailscale", "#!/bin/sh\n", 0644);
             VPNToolStandIns::mapTailscale(tools.directory() / "tailscale");
         },
         unavailable},
        {"tool missing", [](VPNToolStandIns& tools) { VPNToolStandIns::mapTailscale(tools.directory() / "none"); },
         unavailable},
        {"status exits 1", [](VPNToolStandIns&) { VPNToolStandIns::setTailscaleFaults("status:exit=1"); }, noState},
        {"status prints nothing", [](VPNToolStandIns&) { VPNToolStandIns::setTailscaleFaults("status:silent"); },
         noState},
        {"prefs over 2 MiB", [](VPNToolStandIns&) { VPNToolStandIns::setTailscaleFaults("prefs:oversize=2097153"); },
         noState},
        {"scutil fails", [](VPNToolStandIns&) { VPNToolStandIns::setScutil("TARNEL_SCUTIL_EXIT_STATUS", "1"); },
         noState},
        {"an exit node",
         [](VPNToolStandIns& tools) { tools.writeDocuments(R"({"ExitNodeIP": "100.64.0.9"})", kStatus, kDERPMap); },
         "Disconnect the Tailscale exit node before starting Tarnel Direct."},
        {"preferences that are not JSON",
         [](VPNToolStandIns& tools) { tools.writeDocuments("nope", kStatus, kDERPMap); },
         "Tailscale returned an invalid preferences response."},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        VPNToolStandIns tools;
        f.change(tools);
        EXPECT_EQ(failureOf([] { (void)TailscaleCompatibility::snapshot(later()); }), f.message);
    }
}

TEST(TailscaleCompatibility, ACheckpointEndsTheSnapshotBeforeAndDuringItsRuns) {
    const std::string cancelled = "The tunnel startup was cancelled.";
    {
        VPNToolStandIns tools;
        std::stop_source stop;
        stop.request_stop();
        EXPECT_EQ(failureOf([&] { (void)TailscaleCompatibility::snapshot(later(), stop.get_token()); }), cancelled);
        FakeClock clock(50.0);
        EXPECT_EQ(failureOf([&] { (void)TailscaleCompatibility::snapshot(50.0, {}, clock); }),
                  "The tunnel startup exceeded its deadline.");
        EXPECT_EQ(failureOf([&] { (void)TailscaleCompatibility::snapshot(50.0, stop.get_token(), clock); }), cancelled);
        EXPECT_EQ(VPNToolStandIns::calls(tools.scutilCalls()), "") << "scutil ran";
    }
    {
        // A stop while the tool sleeps ends it and the snapshot at once.
        VPNToolStandIns tools;
        VPNToolStandIns::setTailscaleFaults("prefs:sleep=30");
        std::stop_source stop;
        double stoppedAt = 0;
        std::jthread stopper([&] {
            const double giveUp = SystemClock::shared().uptime() + 30.0;
            while (!tools.tailscaleProcess() && SystemClock::shared().uptime() < giveUp) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            stoppedAt = SystemClock::shared().uptime();
            stop.request_stop();
        });
        EXPECT_EQ(failureOf([&] { (void)TailscaleCompatibility::snapshot(later(), stop.get_token()); }), cancelled);
        const double ended = SystemClock::shared().uptime();
        stopper.join();
        // The runner looks at the stop every 25 ms and gives a stopped tool
        // 0.25 s before it kills it; this one ends at its SIGTERM. The bound
        // leaves room for a loaded machine.
        EXPECT_LT(ended - stoppedAt, 1.5);
        EXPECT_FALSE(isLiveProcess(*tools.tailscaleProcess()));
        EXPECT_EQ(VPNToolStandIns::calls(tools.tailscaleCalls()), "debug prefs\n");
    }
}

TEST(TailscaleCompatibility, TheTimedSnapshotLogsItsStageAndRethrowsItsError) {
    VPNToolStandIns tools;
    VPNToolStandIns::setTailscaleFaults("exit=1");
    const FakeClock clock(100.0);
    const ScopedLogCapture capture;
    try {
        (void)PrivilegedTunnelStartupTiming::timedTailscaleSnapshot(
            *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301"), 110.0, {}, clock);
        ADD_FAILURE() << "the snapshot succeeded";
    } catch (const TailscaleCompatibilityError& error) {
        EXPECT_EQ(error, TailscaleCompatibilityError(Case::commandFailed));
    }
    const std::string prefix = "startup_stage component=application stage=application_tailscale_snapshot outcome=";
    const std::string numbers = " attempt=3F2504E0 stage_ms=0 remaining_ms=10000";
    EXPECT_EQ(capture.entries(),
              (std::vector<LogEntry>{
                  {"app.tarnel.direct.startup", "timing", LogLevel::standard, prefix + "started" + numbers},
                  {"app.tarnel.direct.startup", "timing", LogLevel::error,
                   prefix + "failed" + numbers + " error_type=TarnelDirect.TailscaleCompatibilityError"},
              }));

    // Completed, with the payload.
    ScopedLogCapture completed;
    VPNToolStandIns::setTailscaleFaults("");
    EXPECT_EQ(PrivilegedTunnelStartupTiming::timedTailscaleSnapshot(
                  *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301"), 110.0, {}, clock),
              R"({"derp_region_ids":[1,3],"relay_region_id":3,"schema":2})");
    EXPECT_EQ(completed.sink().lines().back(), prefix + "completed" + numbers);
}

}  // namespace
}  // namespace tarnel::testing
