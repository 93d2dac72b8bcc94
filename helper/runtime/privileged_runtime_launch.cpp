// The middle of a tunnel start: the previous tunnel cleared away, the
// configuration written, the prepared runtime launched, its identity proven
// and recorded, its running code checked; and the cleanup of a start that
// failed after the launch.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "common/process/runtime_error.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "platform/runtime_host.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;
using Stage = PrivilegedTunnelStartupStage;

[[noreturn]] void fail(Case errorCase) { throw PrivilegedRuntimeError(errorCase); }

void removeIgnoringErrors(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

}  // namespace

PrivilegedRuntime::LaunchedRuntime PrivilegedRuntime::launchPreparedRuntime(
    std::string_view configuration, const PreparedRuntime& prepared,
    const PrivilegedTunnelStartupControl& control) const {
    timedStage(Stage::helperPreviousRuntimeCleanup, control,
               [&] { cleanUpPreviousRuntime(prepared.binaryURL, control); });

    UniqueFd log;
    timedConfigurationWrite(control.request.attemptID, control, clock(),
                            [&] { log = writeConfigurationAndOpenLog(configuration); });

    std::optional<ChildProcess> process;
    try {
        process.emplace(timedStage(Stage::helperProcessLaunch, control, [&] {
            return ChildProcess::spawn(runtimeLaunchOptions(prepared, log.get()));
        }));
    } catch (...) {
        // The launch error went into the stage's failed record.
        log.reset();
        removeIgnoringErrors(tunnelConfigurationPath());
        fail(Case::processStartFailed);
    }
    if (environment_.afterRuntimeLaunch) environment_.afterRuntimeLaunch(process->pid());

    TunnelState state;
    try {
        timedStage(Stage::helperPostLaunchCheckpoint, control, [&] { control.checkpoint(clock().uptime()); });
        const ProcessIdentity identity = timedStage(
            Stage::helperProcessIdentity, control, [&] { return launchedProcessIdentity(*process, prepared.binaryURL); });
        state = TunnelState{process->pid(),
                            identity.executablePath,
                            identity.startSeconds,
                            identity.startMicroseconds,
                            control.request.attemptID.text(),
                            std::nullopt};
        timedStage(Stage::helperStatePersistence, control, [&] { persistTunnelState(state, control); });
        try {
            timedStage(Stage::helperLiveRuntimeValidation, control,
                       [&] { validateLiveRuntime(*process, prepared, control); });
        } catch (const PrivilegedRuntimeError&) {
            throw;
        } catch (...) {
            fail(Case::processStartFailed);
        }
    } catch (...) {
        // When the cleanup fails, its error is the one that counts.
        cleanUpFailedStart(*process, log, false);
        throw;
    }
    return LaunchedRuntime{std::move(*process), std::move(log), std::move(state)};
}

void PrivilegedRuntime::cleanUpPreviousRuntime(const std::filesystem::path& keeping,
                                               const PrivilegedTunnelStartupControl& control) const {
    stopTunnel(keeping);
    // Also when nothing was recorded: an interface left by a runtime that the
    // record no longer names must be gone before a new one appears.
    RuntimeHost::waitForTunnelInterfacesToDisappear(clock());
    control.checkpoint(clock().uptime());
}

UniqueFd PrivilegedRuntime::writeConfigurationAndOpenLog(std::string_view configuration) const {
    // The bytes as the application sent them, never parsed and written again.
    files::writeAtomically(tunnelConfigurationPath(), configuration, 0600);

    const std::filesystem::path logPath = tunnelLogPath();
    // A fresh empty file in place of whatever stood there (a link included);
    // whether that worked is judged by the open below.
    try {
        files::writeAtomically(logPath, "", 0600);
    } catch (const SystemError&) {
    }
    // O_NONBLOCK keeps a FIFO in the log's place from hanging the open.
    UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!log || ::fstat(log.get(), &status) != 0 || !S_ISREG(status.st_mode)) fail(Case::runtimeStorageUnavailable);
    const int flags = ::fcntl(log.get(), F_GETFL);
    if (flags < 0 || ::fcntl(log.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fail(Case::runtimeStorageUnavailable);
    if (::fchmod(log.get(), 0600) != 0) throw SystemError("chmod " + logPath.string(), errno);
    if (::ftruncate(log.get(), 0) != 0) throw SystemError("truncate " + logPath.string(), errno);
    return log;
}

ChildProcess::Options PrivilegedRuntime::runtimeLaunchOptions(const PreparedRuntime& prepared, int log) const {
    ChildProcess::Options options;
    options.executable = prepared.binaryURL;
    options.arguments = {"run", "-c", tunnelConfigurationPath().string()};
    options.workingDirectory = runtimeDirectory();
    options.output = ChildProcess::Redirect::to(log);
    options.error = ChildProcess::Redirect::to(log);
    return options;
}

ProcessIdentity PrivilegedRuntime::launchedProcessIdentity(const ChildProcess& process,
                                                           const std::filesystem::path& expectedExecutableURL) const {
    if (!process.isRunning()) fail(Case::processExitedDuringStartup);
    auto identity = RuntimeHost::processIdentity(process.pid());
    // Compared as text: a path that reaches the binary through a link is not
    // the prepared binary's path.
    if (!identity || identity->executablePath != expectedExecutableURL.native()) {
        fail(Case::processExitedDuringStartup);
    }
    return std::move(*identity);
}

void PrivilegedRuntime::persistTunnelState(const TunnelState& state,
                                           const PrivilegedTunnelStartupControl& control) const {
    control.checkpoint(clock().uptime());
    files::writeAtomically(tunnelStatePath(), state.encoded(), 0600);
}

void PrivilegedRuntime::validateLiveRuntime(const ChildProcess& process, const PreparedRuntime& prepared,
                                            const PrivilegedTunnelStartupControl& control) const {
    if (!prepared.designatedRequirement) fail(Case::invalidCodeSignature);
    const double windowEnd = clock().uptime() + liveRuntimeValidationWindow;
    std::exception_ptr lastError;
    for (;;) {
        control.checkpoint(clock().uptime());
        if (!process.isRunning()) fail(Case::processExitedDuringStartup);
        // The window bounds the checks; it is no deadline of the start. When
        // it ends, a process that still runs is reported with what the last
        // check found; one that has exited, as exited (above).
        if (lastError && clock().uptime() >= windowEnd) std::rethrow_exception(lastError);
        try {
            if (ClientCodeValidator::validateLiveRuntime(process.pid(), *prepared.designatedRequirement,
                                                         codeSigning()) == prepared.runtimeIdentity) {
                return;
            }
            lastError = std::make_exception_ptr(PrivilegedRuntimeError(Case::invalidCodeSignature));
        } catch (const std::exception&) {
            lastError = std::current_exception();
        }
        clock().sleepFor(liveRuntimeValidationPollInterval);
    }
}

void PrivilegedRuntime::cleanUpFailedStart(ChildProcess& process, UniqueFd& log, bool restoreDNS) const {
    if (!RuntimeHost::stopLaunchedProcess(process, clock())) fail(Case::tunnelProcessDidNotStop);
    if (restoreDNS) restoreDNSOverride();
    log.reset();
    RuntimeHost::waitForTunnelInterfacesToDisappear(clock());
    removeIgnoringErrors(tunnelStatePath());
    removeIgnoringErrors(tunnelConfigurationPath());
}

}  // namespace tarnel
