// Launch recovery: what the helper does with the tunnel, the kill switch and
// the runtime copies that an earlier run left, before it serves anyone.

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/base/log.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/runtime_host.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;

const Log& recoveryLog() {
    static const Log log{"app.tarnel.direct.helper", "runtime"};
    return log;
}

// After a failed reconciliation: a tunnel that may still carry traffic keeps
// its protection; otherwise the tunnel is stopped (or, when even the stop
// cannot read its record, its files are removed without signalling anyone)
// and the kill switch is cleared.
void fallBack(const PrivilegedRuntime& runtime, const PacketFilterKillSwitch& killSwitch,
              const std::exception_ptr& failure) noexcept {
    if (tunnelMayStillRun(failure)) {
        ignoringFailure([&] { killSwitch.restoreAfterLaunch(); });
        return;
    }
    std::exception_ptr stopFailure;
    try {
        runtime.stopTunnel();
    } catch (...) {
        stopFailure = std::current_exception();
    }
    if (stopFailure && tunnelMayStillRun(stopFailure)) {
        ignoringFailure([&] { killSwitch.restoreAfterLaunch(); });
        return;
    }
    if (stopFailure) ignoringFailure([&] { runtime.removeTunnelFiles(); });
    ignoringFailure([&] { killSwitch.clearState(); });
}

}  // namespace

bool PrivilegedRuntime::verifyRecordedTunnel() const {
    if (!hasTunnelState()) return false;
    const TunnelState state = recordedTunnelState();

    // Only a copy the helper itself prepared, in its own directory, can be its
    // tunnel; anything else is stopped without looking at its signature.
    const std::filesystem::path executable = ClientCodeValidator::standardized(state.executablePath);
    if (executable.parent_path() != ClientCodeValidator::standardized(runtimeDirectory())) return false;
    if (!PrivilegedHelperContract::isObsoleteRuntimeFileName(executable.filename().string())) return false;
    if (RuntimeHost::processIdentity(state.pid) != state.processIdentity()) return false;

    // The live check finds the process by its identifier: the code it checked
    // was the recorded process's only while that still runs as recorded. A
    // runtime that ended during the checks is a tunnel that is not running,
    // whatever the checks found, not one that failed them.
    const auto stillRecorded = [&] { return RuntimeHost::processIdentity(state.pid) == state.processIdentity(); };
    std::string live;
    ClientCodeValidator::RuntimeStaticValidation onDisk;
    try {
        (void)requirePreparedRuntimeFile(executable);
        onDisk = ClientCodeValidator::validateRuntimeStatic(executable, launchRecoveryStagePrefix, codeSigning());
        live = ClientCodeValidator::validateLiveRuntime(state.pid, *onDisk.designatedRequirement, codeSigning());
    } catch (...) {
        if (!stillRecorded()) return false;
        throw;
    }
    if (!stillRecorded()) return false;
    if (live != onDisk.codeIdentity) throw PrivilegedRuntimeError(Case::invalidCodeSignature);
    return true;
}

void PrivilegedRuntime::recoverAtLaunch(const PrivilegedRuntimeEnvironment& environment,
                                        const WatchdogStarter& startWatchdog) noexcept {
    const auto logFailure = [](const std::exception_ptr& failure) noexcept {
        ignoringFailure([&] { recoveryLog().error("kill_switch_restore_failed error=" + errorMessage(failure)); });
    };

    // Both live only while recovery runs. The kill switch is one more
    // instance of its own; it shares the record and the system state with
    // every other one. Building them fails only for an environment without
    // its services, and then there is nothing to reconcile with.
    std::optional<PrivilegedRuntime> runtime;
    std::optional<PacketFilterKillSwitch> killSwitch;
    try {
        runtime.emplace(forLaunchRecovery(environment));
        killSwitch.emplace(runtime->killSwitch());
    } catch (...) {
        logFailure(std::current_exception());
    }

    if (runtime && killSwitch) {
        std::exception_ptr failure;
        try {
            if (runtime->verifyRecordedTunnel()) {
                killSwitch->restoreAfterLaunch();
                // Beside the adopted tunnel, no runtime of the directory may run.
                (void)runtime->stopUnrecordedRuntimes(runtime->recordedTunnelState());
            } else {
                runtime->stopTunnel();
                killSwitch->deactivate();
            }
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            logFailure(failure);
            fallBack(*runtime, *killSwitch, failure);
        }
        // No preparation runs yet: a staging copy is one a killed helper left.
        ignoringFailure([&] { runtime->removeAbandonedStagingFiles(); });
        ignoringFailure([&] { runtime->removeObsoleteRuntimes({}); });
    }
    killSwitch.reset();
    runtime.reset();

    // KillSwitchWatchdog::start never fails; a starter of a test may.
    ignoringFailure([&] { (void)startWatchdog(watchdogConfiguration(environment)); });
}

}  // namespace tarnel
