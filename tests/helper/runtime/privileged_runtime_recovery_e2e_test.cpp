// Launch recovery around a live stand-in runtime in a network namespace: the
// runtime was launched from its copy in the runtime directory and recorded as
// a start records it, and a kill switch of an earlier run protects its tunnel
// interface. The kill switch runs on the pfctl stand-in with a fake wall clock
// and boot and the namespace's own interfaces; the watchdog's start is
// recorded instead of starting a timer thread.


#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/base/log.hpp"
#include "common/process/child_process.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/protection/kill_switch_watchdog.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/helper/protection/kill_switch_fixture.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<PfctlCall>;
using Case = PrivilegedRuntimeError::Case;
using Exit = ChildProcess::ExitStatus;
using Tokens = std::vector<std::uint64_t>;
using RecoveryE2E = NamespaceTest;

// A namespace, a runtime directory, the pfctl stand-in holding reference 12
// for a wanted kill-switch record of this boot that protects `utun0`, and a
// runtime launched and recorded in the namespace.
class RecoveryScene {
public:
    RecoveryScene() {
        fixture_.killSwitchServices.wallClock = &wallClock_;
        fixture_.killSwitchServices.bootClock = &bootClock_;
        codeSigning_ = std::make_shared<CountingCodeSigning>(fixture_.environment().codeSigning);
        record_.tunnelInterface = "utun0";
        pf_.seed(rulesOf(record_), 13, {12});
        fixture_.write(PacketFilterKillSwitch::stateFileName, record_.encoded());
    }
    ~RecoveryScene() {
        // Whatever a failed test left running goes with the namespace.
        try {
            space_.inside([&] { runtime().stopTunnel(); });
        } catch (...) {
        }
    }
    RecoveryScene(const RecoveryScene&) = delete;
    RecoveryScene& operator=(const RecoveryScene&) = delete;

    [[nodiscard]] PrivilegedRuntimeEnvironment environment() const {
        PrivilegedRuntimeEnvironment environment = fixture_.environment();
        environment.codeSigning = codeSigning_;
        return environment;
    }
    [[nodiscard]] PrivilegedRuntime runtime() const { return PrivilegedRuntime::forLaunchRecovery(environment()); }

    // Launches `binary` in the namespace and records it. With `tunnel`, on a
    // configuration that brings up utun0, and DNS is then overridden for
    // utun0, as a start leaves it; without, on one without inbounds.
    ChildProcess launch(const fs::path& binary, bool tunnel = true) {
        fixture_.write("tun-config.json", tunnel ? readFixture("tunnel-config/automatic-interface.json") : "{}");
        ChildProcess child = launchRecorded(runtime(), binary, &space_);
        if (!tunnel) return child;
        if (!waitForTunnelInterfaces(space_, {"utun0"}, 10.0)) throw std::runtime_error("no utun0");
        space_.inside([&] { runtime().dnsOverride()->apply("utun0"); });
        return child;
    }

    // Runs recovery in the namespace; answers the lines it logged on the
    // runtime's category.
    std::vector<std::string> recover() {
        const ScopedLogCapture capture;
        space_.inside([&] {
            PrivilegedRuntime::recoverAtLaunch(environment(), [this](const KillSwitchWatchdog::Configuration&) {
                ++watchdogStarts_;
                return true;
            });
        });
        std::vector<std::string> lines;
        for (const auto& entry : capture.entries()) {
            if (entry.category != "runtime") continue;
            EXPECT_EQ(entry.subsystem, "app.tarnel.direct.helper");
            EXPECT_EQ(entry.level, LogLevel::error);
            lines.push_back(entry.text);
        }
        return lines;
    }

    [[nodiscard]] const NetworkNamespace& space() const { return space_; }
    [[nodiscard]] NetworkNamespace& space() { return space_; }
    [[nodiscard]] const RuntimeFixture& files() const { return fixture_; }
    [[nodiscard]] const PfctlStandIn& pf() const { return pf_; }
    [[nodiscard]] const PacketFilterKillSwitch::State& record() const { return record_; }
    [[nodiscard]] int codeSigningCalls() const { return codeSigning_->calls(); }
    [[nodiscard]] int watchdogStarts() const { return watchdogStarts_; }
    [[nodiscard]] std::optional<PacketFilterKillSwitch::State> killSwitchRecord() const {
        const std::string bytes = fixture_.read(PacketFilterKillSwitch::stateFileName);
        if (bytes == "<missing>") return std::nullopt;
        return PacketFilterKillSwitch::State::decode(bytes);
    }

private:
    NetworkNamespace space_;
    RuntimeFixture fixture_;
    PfctlStandIn pf_{fixture_.directory().parent_path() / "pf"};
    FakeClock wallClock_{1000.0, kNow};
    FakeBootClock bootClock_{kBoot};
    PacketFilterKillSwitch::State record_ = wantedRecord({12});
    std::shared_ptr<CountingCodeSigning> codeSigning_;
    int watchdogStarts_ = 0;
};

std::string restoreFailure(Case errorCase) {
    return "kill_switch_restore_failed error=" + PrivilegedRuntimeError(errorCase).message();
}

// The helper's own runtime copy, still running as recorded, is adopted with
// its protection applied again, unless its file on disk is no longer the code
// that runs or its protection cannot be applied again: then it is logged, the
// runtime stopped and protection cleared.
TEST_F(RecoveryE2E, AdoptsTheHelpersOwnVerifiedRuntimeOnly) {
    const struct {
        std::string name;
        // Replaces the runtime's file, after the launch, by another program
        // signed by the same team as "sing-box".
        bool replaceFile;
        std::string pfctlFaults;
        std::optional<std::string> line;  // nothing: adopted
    } cases[] = {
        {"the verified runtime", false, "", std::nullopt},
        {"a replaced file", true, "", restoreFailure(Case::invalidCodeSignature)},
        {"protection that cannot be applied", false, R"([{"arguments":["-E"],"exit_code":1}])",
         restoreFailure(Case::packetFilterCommandFailed)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecoveryScene scene;
        const auto prepared = scene.files().prepareStandIn();
        ChildProcess child = scene.launch(prepared.binaryURL);
        const std::string recordedTunnel = scene.files().read("tun-state.json");
        // A copy that nothing needs any more goes in every case.
        scene.files().write("sing-box", "old runtime");
        if (c.replaceFile) {
            const fs::path replacement = scene.files().directory() / ".replacement";
            SigningAuthority::development().signCopy(testProgram(), replacement, "sing-box");
            fs::permissions(replacement, fs::perms::owner_all);
            fs::rename(replacement, prepared.binaryURL);
        }
        if (!c.pfctlFaults.empty()) PfctlStandIn::faults(c.pfctlFaults);

        EXPECT_EQ(scene.recover(), c.line ? std::vector<std::string>{*c.line} : std::vector<std::string>{});
        EXPECT_EQ(scene.watchdogStarts(), 1);
        EXPECT_FALSE(scene.files().exists("sing-box"));
        const std::string rules = rulesOf(scene.record());
        if (!c.line) {
            EXPECT_FALSE(child.waitForExit(0.3));
            EXPECT_EQ(scene.files().read("tun-state.json"), recordedTunnel);
            EXPECT_TRUE(scene.files().exists(prepared.binaryURL.filename().string()));
            EXPECT_TRUE(waitForTunnelInterfaces(scene.space(), {"utun0"}, 0.0));
            // Applied again with a fresh reference, the tunnel's rule kept.
            EXPECT_EQ(scene.pf().calls(), (Calls{dryRunCall(rules), loadCall(rules), enableCall(),
                                                 killCall("192.168.1.20"), releaseCall(12)}));
            PacketFilterKillSwitch::State reapplied = scene.record();
            reapplied.enableTokens = {13};
            EXPECT_EQ(scene.killSwitchRecord(), reapplied);
            EXPECT_TRUE(scene.files().dnsResolver());
        } else {
            ASSERT_TRUE(child.waitForExit(0.0));
            EXPECT_EQ(child.exitStatus(), (Exit{Exit::Kind::exited, 0}));
            EXPECT_TRUE(waitForTunnelInterfaces(scene.space(), {}, 0.0));
            EXPECT_FALSE(scene.files().exists("tun-state.json"));
            EXPECT_FALSE(scene.files().exists("tun-config.json"));
            // Cleared: the anchor flushed and the record deleted.
            EXPECT_EQ(scene.pf().calls().back(), flushCall());
            EXPECT_EQ(scene.pf().anchorRules(), "");
            EXPECT_EQ(scene.killSwitchRecord(), std::nullopt);
            EXPECT_FALSE(scene.files().dnsResolver());
        }
        PfctlStandIn::clearFaults();
    }
}

// Beside the tunnel it adopts, recovery stops a runtime of the directory that
// no record names and removes its copy; the adopted tunnel, which no process
// of this one launched either, runs on with its protection.
TEST_F(RecoveryE2E, AnUnrecordedRuntimeBesideTheAdoptedTunnelIsStopped) {
    RecoveryScene scene;
    const auto recorded = scene.files().prepareStandIn();
    scene.files().write("tun-config.json", readFixture("tunnel-config/automatic-interface.json"));
    OrphanedProcess tunnel(recorded.binaryURL, {"run", "-c", scene.runtime().tunnelConfigurationPath().string()},
                           &scene.space());
    const auto identity = ProcessInfo::identity(tunnel.pid());
    ASSERT_TRUE(identity);
    const PrivilegedRuntime::TunnelState state{tunnel.pid(), identity->executablePath, identity->startSeconds,
                                               identity->startMicroseconds, Uuid::random().text(), std::nullopt};
    scene.files().write("tun-state.json", state.encoded());
    ASSERT_TRUE(waitForTunnelInterfaces(scene.space(), {"utun0"}, 10.0));
    scene.space().inside([&] { scene.runtime().dnsOverride()->apply("utun0"); });
    const auto stray = scene.files().prepareStandIn();
    TemporaryDirectory elsewhere;
    files::writeAtomically(elsewhere.path() / "config.json", "{}");
    OrphanedProcess unrecorded(stray.binaryURL, {"run", "-c", (elsewhere.path() / "config.json").string()});

    EXPECT_EQ(scene.recover(), std::vector<std::string>{});
    EXPECT_TRUE(unrecorded.waitForExit(0.0));
    EXPECT_FALSE(tunnel.waitForExit(0.3));
    EXPECT_EQ(scene.files().read("tun-state.json"), state.encoded());
    EXPECT_TRUE(waitForTunnelInterfaces(scene.space(), {"utun0"}, 0.0));
    EXPECT_TRUE(scene.files().exists(recorded.binaryURL.filename().string()));
    EXPECT_FALSE(scene.files().exists(stray.binaryURL.filename().string()));
    EXPECT_TRUE(scene.files().dnsResolver());
}

// A record whose runtime is not one of the helper's copies is not the
// helper's tunnel: no signature is looked at, the process (which matches the
// record) is stopped, and protection is deactivated, without a line.
TEST_F(RecoveryE2E, ARuntimeOutsideTheHelpersCopiesIsStoppedWithoutCodeSigning) {
    const struct {
        std::string name;
        std::function<fs::path(const RuntimeFixture&, const TemporaryDirectory&)> place;
    } cases[] = {
        {"another directory",
         [](const RuntimeFixture&, const TemporaryDirectory& elsewhere) {
             return realPath(elsewhere.path()) / ("sing-box-" + Uuid::random().text());
         }},
        {"another name in the runtime directory",
         [](const RuntimeFixture& fixture, const TemporaryDirectory&) {
             return fixture.directory() / ("sing-box-" + Uuid::random().text() + ".old");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecoveryScene scene;
        TemporaryDirectory elsewhere;
        const fs::path binary = c.place(scene.files(), elsewhere);
        copyFile(developmentSignedStandInRuntime(), binary, fs::perms::owner_all);
        ChildProcess child = scene.launch(binary);

        EXPECT_EQ(scene.recover(), std::vector<std::string>{});
        EXPECT_EQ(scene.codeSigningCalls(), 0);
        EXPECT_EQ(scene.watchdogStarts(), 1);
        ASSERT_TRUE(child.waitForExit(0.0));
        EXPECT_EQ(child.exitStatus(), (Exit{Exit::Kind::exited, 0}));
        EXPECT_TRUE(waitForTunnelInterfaces(scene.space(), {}, 0.0));
        EXPECT_FALSE(scene.files().exists("tun-state.json"));
        // One deactivation: the anchor flushed and reference 12 given back.
        EXPECT_EQ(scene.pf().calls(), (Calls{flushCall(), releaseCall(12)}));
        EXPECT_EQ(scene.pf().tokens(), Tokens{});
        EXPECT_EQ(scene.killSwitchRecord(), std::nullopt);
        EXPECT_FALSE(scene.files().dnsResolver());
    }
}

// A tunnel whose stop cannot be completed (here a tunnel interface that
// stays after the recorded process has gone) may still carry traffic: the
// failure is logged and protection is applied again rather than removed.
TEST_F(RecoveryE2E, ATunnelThatDoesNotGoKeepsItsProtection) {
    RecoveryScene scene;
    scene.space().addTunnel("utun5", "172.19.0.1/30");
    TemporaryDirectory elsewhere;
    const fs::path binary = realPath(elsewhere.path()) / "sing-box";
    copyFile(developmentSignedStandInRuntime(), binary, fs::perms::owner_all);
    ChildProcess child = scene.launch(binary, false);

    EXPECT_EQ(scene.recover(), std::vector<std::string>{restoreFailure(Case::tunnelInterfaceDidNotDisappear)});
    EXPECT_EQ(scene.watchdogStarts(), 1);
    EXPECT_TRUE(child.waitForExit(0.0));
    // The stop failed, so its record stays for the next attempt.
    EXPECT_TRUE(scene.files().exists("tun-state.json"));
    // utun0, which the record lets out, is gone: its rule goes.
    PacketFilterKillSwitch::State reapplied = scene.record();
    reapplied.tunnelInterface.reset();
    const std::string rules = rulesOf(reapplied);
    EXPECT_EQ(scene.pf().calls(),
              (Calls{dryRunCall(rules), loadCall(rules), enableCall(), killCall("192.168.1.20"), releaseCall(12)}));
    reapplied.enableTokens = {13};
    EXPECT_EQ(scene.killSwitchRecord(), reapplied);
    // The process is gone; the cleanup need not wait for utun5 once more.
    fs::remove(scene.files().directory() / "tun-state.json");
}

// The code-signing service, ending the process it is asked to look at first:
// a runtime that exits while recovery checks its running code.
class ExitingGuestCodeSigning final : public ForwardingCodeSigning {
public:
    using ForwardingCodeSigning::ForwardingCodeSigning;

    codesign::Result<std::shared_ptr<const codesign::Code>> copyGuest(std::int32_t pid,
                                                                      std::uint32_t flags) const override {
        if (const UniqueFd process = pidfd::open(pid)) {
            ::kill(pid, SIGKILL);
            pidfd::waitForExit(process.get(), 10.0, SystemClock::shared());
        }
        return ForwardingCodeSigning::copyGuest(pid, flags);
    }
};

// A recorded runtime that ends during the checks of its code is a tunnel
// that no longer runs, not one that failed them.
TEST_F(RecoveryE2E, ARuntimeThatEndsDuringItsChecksIsNotRunning) {
    NetworkNamespace space;
    RuntimeFixture fixture;
    const auto prepared = fixture.prepareStandIn();
    fixture.write("tun-config.json", "{}");
    auto environment = fixture.environment();
    environment.codeSigning = std::make_shared<ExitingGuestCodeSigning>(environment.codeSigning);
    const PrivilegedRuntime runtime = PrivilegedRuntime::forLaunchRecovery(environment);
    ChildProcess child = launchRecorded(runtime, prepared.binaryURL, &space);

    EXPECT_FALSE(runtime.verifyRecordedTunnel());
    EXPECT_TRUE(child.waitForExit(0.0));
}

}  // namespace
}  // namespace tarnel::testing
