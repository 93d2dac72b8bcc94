// Launch recovery without a tunnel interface anywhere: a record that cannot
// be read, no record at all, and an environment that cannot build a runtime.
// The kill switch runs on the pfctl stand-in with a fake wall clock and boot,
// and the watchdog's start is recorded instead of starting a timer thread.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/base/log.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/protection/kill_switch_watchdog.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/helper/protection/kill_switch_fixture.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

using Calls = std::vector<PfctlCall>;
using Names = std::set<std::string>;
using Tokens = std::vector<std::uint64_t>;

LogEntry recoveryLine(const std::string& description) {
    return LogEntry{"app.tarnel.direct.helper", "runtime", LogLevel::error,
                    "kill_switch_restore_failed error=" + description};
}

// A runtime directory with a wanted kill-switch record of this boot holding
// reference 12 (which the pfctl stand-in holds), DNS overridden for utun5,
// and a record of the watchdog starts.
class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        TARNEL_SKIP_UNLESS_ROOT();
        fixture.killSwitchServices.wallClock = &wallClock;
        fixture.killSwitchServices.bootClock = &bootClock;
        fixture.killSwitchServices.interfaces = &interfaces;
        pf.seed(rulesOf(wantedRecord({12})), 13, {12});
        fixture.write(PacketFilterKillSwitch::stateFileName, wantedRecord({12}).encoded());
        fixture.runtime().dnsOverride()->apply("utun5");
        ASSERT_TRUE(fixture.dnsResolver());
    }

    void recover(const PrivilegedRuntimeEnvironment& environment) {
        PrivilegedRuntime::recoverAtLaunch(environment, [this](KillSwitchWatchdog::Configuration configuration) {
            started.push_back(std::move(configuration));
            return true;
        });
    }
    void recover() { recover(fixture.environment()); }

    // The watchdog was started once, with the helper's period, over this
    // fixture's runtime directory.
    void expectWatchdogStartedOnce() const {
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].periodSeconds, KillSwitchWatchdog::defaultPeriodSeconds);
        EXPECT_EQ(started[0].makeKillSwitch().runtimeDirectory(), fixture.directory());
        ASSERT_TRUE(started[0].stopTunnel);
    }

    RuntimeFixture fixture;
    PfctlStandIn pf{fixture.directory().parent_path() / "pf"};
    FakeClock wallClock{1000.0, kNow};
    FakeBootClock bootClock{kBoot};
    FakeNetworkInterfaceLookup interfaces;
    std::vector<KillSwitchWatchdog::Configuration> started;
};

// The record names a process, but cannot be read: it is logged once, nobody
// is signalled, the tunnel files go directly, and the kill switch is cleared
// without reading its record.
TEST_F(RecoveryTest, ACorruptRecordIsLoggedOnceSignalsNobodyAndClearsProtection) {
    const auto prepared = fixture.prepareStandIn();
    TemporaryDirectory elsewhere;
    files::writeAtomically(elsewhere.path() / "config.json", "{}");
    ChildProcess child = launchRecorded(fixture.runtime(), prepared.binaryURL, nullptr, elsewhere.path() / "config.json");
    const auto identity = ProcessInfo::identity(child.pid());
    fixture.write("tun-state.json", "{");
    fixture.write("tun-config.json", "{}");

    const ScopedLogCapture capture;
    recover();

    EXPECT_EQ(capture.entries(),
              std::vector<LogEntry>{recoveryLine("The protected tunnel state is invalid; no process was stopped.")});
    EXPECT_FALSE(child.waitForExit(0.3));
    EXPECT_EQ(ProcessInfo::identity(child.pid()), identity);
    // Cleared, not deactivated: the record was not read, so reference 12 stays.
    EXPECT_EQ(pf.calls(), Calls{flushCall()});
    EXPECT_EQ(pf.tokens(), Tokens{12});
    EXPECT_EQ(pf.anchorRules(), "");
    EXPECT_FALSE(fixture.dnsResolver());
    // The tunnel files go; the copy stays under the process that runs it.
    EXPECT_EQ(fixture.entries(), Names{prepared.binaryURL.filename().string()});
    expectWatchdogStartedOnce();
}

// Nothing recorded, protection left on by an earlier run: no line, one
// deactivation that gives back the reference, DNS restored, and the runtime
// copies that nothing needs are removed.
TEST_F(RecoveryTest, WithoutARecordProtectionIsDeactivatedQuietly) {
    fixture.write("tun-config.json", "{}");
    fixture.write("sing-box", "old runtime");
    fixture.write("sing-box-3F2504E0-4F89-11D3-9A0C-0305E82C3301", "old runtime");

    const ScopedLogCapture capture;
    recover();

    EXPECT_EQ(capture.entries(), std::vector<LogEntry>{});
    EXPECT_EQ(pf.calls(), (Calls{flushCall(), releaseCall(12)}));
    EXPECT_EQ(pf.tokens(), Tokens{});
    EXPECT_FALSE(fixture.dnsResolver());
    EXPECT_EQ(fixture.entries(), Names{});
    expectWatchdogStartedOnce();
}

// No preparation runs before the helper listens: a staging copy is one that a
// helper killed while it staged left behind, and goes. Other hidden entries
// stay.
TEST_F(RecoveryTest, RemovesTheStagingCopiesOfAnEarlierRun) {
    const std::string staged = ".sing-box-stage-" + Uuid::random().text();
    fixture.write(staged, "half a runtime");
    fixture.write(".sing-box-stage-", "");
    fixture.write(".kept", "");

    recover();

    EXPECT_EQ(fixture.entries(), Names{".kept"});
    expectWatchdogStartedOnce();
}

// A runtime that cannot be built (no system configuration for its DNS
// override) is one logged failure; nothing is touched, and the watchdog still
// starts.
TEST_F(RecoveryTest, AnEnvironmentWithoutItsServicesIsLoggedAndTheWatchdogStillStarts) {
    fixture.write("tun-state.json", "{");
    PrivilegedRuntimeEnvironment environment = fixture.environment();
    environment.systemConfiguration = nullptr;

    const ScopedLogCapture capture;
    recover(environment);

    EXPECT_EQ(capture.entries(), std::vector<LogEntry>{recoveryLine(
                                     "The protected DNS configuration could not be applied or restored.")});
    EXPECT_EQ(pf.calls(), Calls{});
    EXPECT_TRUE(fixture.dnsResolver());
    EXPECT_EQ(fixture.read("tun-state.json"), "{");
    EXPECT_EQ(fixture.read(PacketFilterKillSwitch::stateFileName), wantedRecord({12}).encoded());
    // Its ticks will fail the same way, and say so in the log every period.
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(failureOf([&] { (void)started[0].makeKillSwitch(); }),
              "The protected DNS configuration could not be applied or restored.");
}

}  // namespace
}  // namespace tarnel::testing
