#include "helper/protection/kill_switch_watchdog.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "common/base/log.hpp"
#include "platform/sysconfig/system_configuration.hpp"
#include "tests/helper/protection/kill_switch_fixture.hpp"

namespace tarnel {
namespace {

using namespace testing;
using Calls = std::vector<PfctlCall>;
using Tokens = std::vector<std::uint64_t>;
using RuntimeCase = PrivilegedRuntimeError::Case;

// Waits up to `seconds` (generous: the machine is shared) for `condition`.
template <typename Condition>
bool eventually(Condition condition, double seconds = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Watchdog : public KillSwitchFixture {
protected:
    // Ticks over the fixture's kill switch; the stopper counts its calls and
    // throws `stopFailure_` when one is set.
    [[nodiscard]] KillSwitchWatchdog::Configuration configuration(double period = 0.05) {
        return {[this] { return killSwitch(); },
                [this] {
                    ++stops_;
                    if (stopFailure_) std::rethrow_exception(stopFailure_);
                },
                period};
    }

    std::atomic<int> stops_ = 0;
    std::exception_ptr stopFailure_;
};

TEST_F(Watchdog, ALeaseThatEndedASecondAgoIsClearedByTheNextTick) {
    pf_.seed("rules\n", 13, {12});
    writeRecord(wantedRecord({12}, -1.0));
    KillSwitchWatchdog::tick(configuration());
    EXPECT_FALSE(hasRecord());
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(12)}));

    // The timer does the same on its own.
    pf_.seed("rules\n", 13, {12});
    writeRecord(wantedRecord({12}, -1.0));
    const KillSwitchWatchdog watchdog(configuration());
    EXPECT_TRUE(eventually([this] { return !hasRecord(); }));
    EXPECT_TRUE(pf_.tokens().empty());
    // A live lease is left alone, tick after tick.
    writeRecord(wantedRecord({13}));
    const auto calls = pf_.calls().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(hasRecord());
    EXPECT_EQ(pf_.calls().size(), calls);
    EXPECT_EQ(stops_.load(), 0);
}

TEST_F(Watchdog, AnUndecodableRecordIsLoggedOnceAndRemoved) {
    ScopedLogCapture capture;
    pf_.seed("rules\n", 13, {12});
    writeRecord("{\"schema\":3");
    for (int tick = 0; tick < 3; ++tick) KillSwitchWatchdog::tick(configuration());
    EXPECT_EQ(capture.entries(),
              (std::vector<LogEntry>{{"app.tarnel.direct.helper", "kill-switch", LogLevel::error,
                                      "kill_switch_watchdog_failed error=The protected kill-switch state is invalid."}}));
    EXPECT_FALSE(hasRecord());
    // Forced clearing: the anchor flushed, nothing released.
    EXPECT_EQ(pf_.calls(), Calls{flushCall()});
    EXPECT_EQ(pf_.tokens(), Tokens{12});
}

TEST_F(Watchdog, LosingTailscalesInterfaceStopsTheTunnelAndRemovesProtection) {
    ScopedLogCapture capture;
    pf_.seed("rules\n", 13, {12});

    // While Tailscale's interface exists, and for a plain record, nothing happens.
    interfaces_.add("utun3");
    writeRecord(wantedTailscaleRecord({12}));
    KillSwitchWatchdog::tick(configuration());
    interfaces_.remove("utun3");
    writeRecord(wantedRecord({12}));
    KillSwitchWatchdog::tick(configuration());
    EXPECT_EQ(stops_.load(), 0);
    EXPECT_TRUE(pf_.calls().empty());

    applyDNS();
    writeRecord(wantedTailscaleRecord({12}));
    KillSwitchWatchdog::tick(configuration());
    EXPECT_EQ(capture.sink().lines(), std::vector<std::string>{"tailscale_interface_lost disconnecting_tarnel=true"});
    EXPECT_EQ(stops_.load(), 1);
    EXPECT_FALSE(hasRecord());
    EXPECT_FALSE(dnsApplied());
    EXPECT_EQ(pf_.calls(), (Calls{flushCall(), releaseCall(12)}));

    // The next tick finds nothing left to do.
    KillSwitchWatchdog::tick(configuration());
    EXPECT_EQ(stops_.load(), 1);
    EXPECT_EQ(capture.sink().lines().size(), 1u);
}

TEST_F(Watchdog, ATunnelStopThatFailsKeepsOrClearsProtectionByWhatTheFailureLeaves) {
    const std::string lost = "tailscale_interface_lost disconnecting_tarnel=true";
    const auto checkFailed = [](RuntimeCase errorCase) {
        return "tailscale_interface_check_failed error=" + PrivilegedRuntimeError(errorCase).message();
    };

    // The tunnel may still run: protection is to stay. Reconciliation cannot
    // vouch for Tailscale with its interface gone, so the record and the
    // rules stay exactly as they were.
    {
        ScopedLogCapture capture;
        pf_.seed("rules\n", 13, {12});
        writeRecord(wantedTailscaleRecord({12}));
        stopFailure_ = std::make_exception_ptr(PrivilegedRuntimeError(RuntimeCase::tunnelProcessDidNotStop));
        KillSwitchWatchdog::tick(configuration());
        EXPECT_EQ(capture.sink().lines(),
                  (std::vector<std::string>{lost, checkFailed(RuntimeCase::tunnelProcessDidNotStop)}));
        EXPECT_EQ(recordBytes(), wantedTailscaleRecord({12}).encoded());
        EXPECT_TRUE(pf_.calls().empty());
        EXPECT_EQ(pf_.anchorRules(), "rules\n");
    }

    // Any other failure: forced clearing.
    {
        ScopedLogCapture capture;
        stopFailure_ = std::make_exception_ptr(PrivilegedRuntimeError(RuntimeCase::corruptTunnelState));
        KillSwitchWatchdog::tick(configuration());
        EXPECT_EQ(capture.sink().lines(),
                  (std::vector<std::string>{lost, checkFailed(RuntimeCase::corruptTunnelState)}));
        EXPECT_FALSE(hasRecord());
        EXPECT_EQ(pf_.calls(), Calls{flushCall()});
        EXPECT_EQ(stops_.load(), 2);
    }
}

TEST_F(Watchdog, TheFirstTickComesOnePeriodAfterTheStart) {
    pf_.seed("rules\n", 13, {12});
    writeRecord(wantedRecord({12}, -1.0));
    {
        const KillSwitchWatchdog watchdog(configuration(KillSwitchWatchdog::defaultPeriodSeconds));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_TRUE(hasRecord());
    }
    // Stopping it took effect: nothing ran.
    EXPECT_TRUE(pf_.calls().empty());
}

TEST(KillSwitchWatchdogProcess, StartingTwiceRunsOneTimer) {
    // The process's watchdog outlives this test: what it uses is its own.
    const auto ticks = std::make_shared<std::atomic<int>>(0);
    const auto secondTicks = std::make_shared<std::atomic<int>>(0);
    const auto absent = std::filesystem::temp_directory_path() / ("tarnel-absent-" + std::to_string(::getpid()));
    const auto dns = std::make_shared<SystemDNSOverride>(absent, std::make_shared<sysconfig::MemorySystemConfiguration>());
    const auto configuration = [&](std::shared_ptr<std::atomic<int>> counter) {
        return KillSwitchWatchdog::Configuration{[counter, absent, dns] {
                                                     ++*counter;
                                                     return PacketFilterKillSwitch(absent, dns);
                                                 },
                                                 [] {}, 0.05};
    };
    EXPECT_TRUE(KillSwitchWatchdog::start(configuration(ticks)));
    EXPECT_FALSE(KillSwitchWatchdog::start(configuration(secondTicks)));
    EXPECT_TRUE(eventually([&] { return ticks->load() >= 3; }));
    EXPECT_EQ(secondTicks->load(), 0);
    EXPECT_FALSE(std::filesystem::exists(absent));
}

}  // namespace
}  // namespace tarnel
