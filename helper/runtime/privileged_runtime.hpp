#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/unique_fd.hpp"
#include "common/base/uuid.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/child_process.hpp"
#include "common/process/startup_control.hpp"
#include "common/process/startup_timing.hpp"
#include "helper/protection/kill_switch_watchdog.hpp"
#include "helper/protection/packet_filter_kill_switch.hpp"
#include "helper/protection/system_dns_override.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/tailscale_compatibility_validation.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/process_info.hpp"
#include "platform/sysconfig/system_configuration.hpp"

namespace tarnel {

// ---------------------------------------------------------------------------
// Environment
//
// What every PrivilegedRuntime of one helper process shares: where its files
// live, whom it asks about code signatures, which clock it reads, and the
// process-wide cache of prepared runtime copies. The production values are
// the macOS ones; tests point them at their own directory, anchor and clock.
// ---------------------------------------------------------------------------

class PreparedRuntimeCache;

struct PrivilegedRuntimeEnvironment {
    static constexpr std::string_view defaultRuntimeDirectory = "/Library/Application Support/Tarnel Direct";

    // The helper's root-owned private directory: the tunnel's configuration,
    // state and log, and the prepared runtime copies.
    std::filesystem::path runtimeDirectory{defaultRuntimeDirectory};
    // The code-signing service every check of the runtime goes through.
    std::shared_ptr<const codesign::CodeSigning> codeSigning;
    // The clock of every deadline, wait and timing record.
    std::shared_ptr<const Clock> clock = systemClock();
    // The prepared runtime copies; in the helper, the one cache of the process
    // (PreparedRuntimeCache::shared()), so that a copy prepared over one
    // connection is found by the next. Tests give each case a cache of its own.
    std::shared_ptr<PreparedRuntimeCache> preparedRuntimes = sharedPreparedRuntimes();

    // The system configuration that the DNS override changes and restores.
    // The helper sets it; a runtime without one fails every DNS restore.
    std::shared_ptr<sysconfig::SystemConfiguration> systemConfiguration;

    // What the kill switch reads and runs: its clocks, the interface list,
    // the endpoint resolver and the packet-filter tool.
    PacketFilterKillSwitch::Services killSwitchServices;

    // Where Tailscale is installed: "/" on a Mac; tests map it to a fixture.
    ClientCodeValidator::TailscaleInstallation tailscaleInstallation;

    // Runs on the start's thread right after the runtime was launched, before
    // anything of it is looked at or recorded. Empty in the helper; the test
    // helper program can end itself here, to leave a runtime that no record
    // names, as a helper killed at that moment does.
    std::function<void(std::int32_t processIdentifier)> afterRuntimeLaunch;

    // The process's system clock, not owned.
    [[nodiscard]] static std::shared_ptr<const Clock> systemClock();
    // PreparedRuntimeCache::shared(), not owned.
    [[nodiscard]] static std::shared_ptr<PreparedRuntimeCache> sharedPreparedRuntimes();
};

// The helper's runtime object: one per admitted connection, bound to the
// validated application that connected, and one for launch recovery, which
// has no application and so can never prepare or reuse a runtime.
class PrivilegedRuntime {
public:
    // -----------------------------------------------------------------------
    // Construction
    // -----------------------------------------------------------------------

    // A runtime for a connection of the validated application, whose user is
    // `clientUserIdentifier` (the connection's effective user id).
    [[nodiscard]] static PrivilegedRuntime forApplication(PrivilegedRuntimeEnvironment environment,
                                                          const ClientCodeValidator::ValidatedApplication& application,
                                                          std::uint32_t clientUserIdentifier);
    // The runtime of launch recovery: application "/" without static code,
    // code identity or user.
    [[nodiscard]] static PrivilegedRuntime forLaunchRecovery(PrivilegedRuntimeEnvironment environment);

    // Throws std::invalid_argument when the environment lacks its code-signing
    // service, clock or cache.
    PrivilegedRuntime(PrivilegedRuntimeEnvironment environment, std::filesystem::path applicationURL,
                      std::shared_ptr<const codesign::StaticCode> applicationStaticCode,
                      std::optional<std::string> applicationCodeIdentity,
                      std::optional<std::uint32_t> clientUserIdentifier);

    [[nodiscard]] const std::filesystem::path& applicationURL() const noexcept { return applicationURL_; }
    [[nodiscard]] const std::shared_ptr<const codesign::StaticCode>& applicationStaticCode() const noexcept {
        return applicationStaticCode_;
    }
    [[nodiscard]] const std::optional<std::string>& applicationCodeIdentity() const noexcept {
        return applicationCodeIdentity_;
    }
    [[nodiscard]] std::optional<std::uint32_t> clientUserIdentifier() const noexcept { return clientUserIdentifier_; }
    [[nodiscard]] const PrivilegedRuntimeEnvironment& environment() const noexcept { return environment_; }
    [[nodiscard]] const std::filesystem::path& runtimeDirectory() const noexcept {
        return environment_.runtimeDirectory;
    }

    // The DNS override over the environment's system configuration. Throws
    // SystemDNSOverrideError configurationFailed when the environment has none.
    [[nodiscard]] std::shared_ptr<SystemDNSOverride> dnsOverride() const;
    // The kill switch over the runtime directory. It keeps nothing in memory,
    // so a fresh one per use sees exactly what every other instance sees.
    [[nodiscard]] PacketFilterKillSwitch killSwitch() const;

    // The watchdog of the helper over this environment: each tick makes a
    // fresh kill switch, and a lost Tailscale interface stops the recorded
    // tunnel through stopTunnel of a launch-recovery runtime.
    [[nodiscard]] static KillSwitchWatchdog::Configuration watchdogConfiguration(
        const PrivilegedRuntimeEnvironment& environment);

    // -----------------------------------------------------------------------
    // Runtime preparation (privileged_runtime_preparation.cpp)
    // -----------------------------------------------------------------------

    // One prepared copy of the runtime in the runtime directory.
    struct PreparedRuntime {
        Uuid token;                           // also the suffix of the file name
        std::filesystem::path binaryURL;      // <runtimeDirectory>/sing-box-<TOKEN>
        std::string applicationIdentity;      // code identity of the application that prepared it
        std::string runtimeIdentity;          // code identity of the copy, measured after the rename
        PrivilegedPreparedRuntimeFileIdentity fileIdentity;  // lstat of the copy after the rename
        std::shared_ptr<const codesign::Requirement> designatedRequirement;
    };

    // The process-wide cache of the last prepared copy (prepared_runtime_cache.hpp).
    using PreparedRuntimeCache = tarnel::PreparedRuntimeCache;

    static constexpr std::string_view preparedRuntimePrefix = "sing-box-";
    static constexpr std::string_view stagingRuntimePrefix = ".sing-box-stage-";

    // Turns the runtime sealed in the application into a private, root-owned,
    // verified copy in the runtime directory, or finds the one already made
    // for this application build, and answers its token (canonical upper-case
    // UUID text). One preparation runs at a time in the process; a waiter
    // gives up on its own cancellation or deadline. Throws
    // PrivilegedRuntimeError, or the SystemError of creating the runtime
    // directory.
    [[nodiscard]] std::string prepareRuntime(const PrivilegedRuntimePreparationRequest& request,
                                             std::function<bool()> cancellationRequested) const;

    // The cached prepared runtime when it is still valid for this connection's
    // application: the token (when given) names it in canonical text, the file
    // is the same entry with unchanged metadata, and the application build is
    // the one that prepared it. Throws invalidCodeSignature without an
    // application identity, and the errors of the file identity read.
    [[nodiscard]] std::optional<PreparedRuntime> cachedPreparedRuntime(std::optional<std::string_view> token) const;

    // Creates the runtime directory (0700) or checks that it is a root-owned
    // private directory, and sets it to 0700. Throws unsafeRuntimeDirectory,
    // runtimeStorageUnavailable, or the SystemError of creating it.
    void ensureRuntimeDirectory() const;

    // The copy of a runtime goes through a buffer of this size, and looks at
    // the preparation's cancellation and deadline after each interval.
    static constexpr std::size_t runtimeCopyBufferSize = std::size_t{1} << 20;
    static constexpr std::uint64_t runtimeCopyCheckpointInterval = std::uint64_t{8} << 20;

    // Copies the validated runtime to "<runtimeDirectory>/sing-box-<token>"
    // through a hidden staging file, checking the copy against the
    // application's seal and the runtime's requirement before and after the
    // rename. The copy is taken from the descriptor that was validated, at
    // most its validated size, with a checkpoint every 8 MiB. The staging
    // file never remains. Throws PrivilegedRuntimeError.
    [[nodiscard]] PreparedRuntime stageRuntime(const ClientCodeValidator::ValidatedRuntime& runtime, const Uuid& token,
                                               const PrivilegedRuntimePreparationControl& control) const;

    // The lstat identity of a prepared runtime file; nothing when it does not
    // exist. Throws unsafeStagedRuntime unless it is a non-empty regular file
    // of user and group 0, mode 0700, with one link; runtimeStorageUnavailable
    // when it cannot be looked at.
    [[nodiscard]] static std::optional<PrivilegedPreparedRuntimeFileIdentity> preparedRuntimeFileIdentity(
        const std::filesystem::path& url);
    // As above, but a missing file is unsafeStagedRuntime too.
    [[nodiscard]] static PrivilegedPreparedRuntimeFileIdentity requirePreparedRuntimeFile(
        const std::filesystem::path& url);

    // -----------------------------------------------------------------------
    // Tunnel state, status and stop (privileged_runtime_tunnel_state.cpp)
    //
    // The one tunnel process the helper runs is recorded in "tun-state.json"
    // in the runtime directory. Status and stop trust that record only while
    // the recorded process identifier still names a process with the recorded
    // executable path and boot-relative start time; a process identifier that
    // another program received since is never signalled.
    // -----------------------------------------------------------------------

    static constexpr std::string_view tunnelStateFileName = "tun-state.json";
    static constexpr std::string_view tunnelConfigurationFileName = "tun-config.json";
    static constexpr std::string_view tunnelLogFileName = "tun.log";

    // How long a stop waits for the tunnel process after SIGTERM, and after
    // SIGKILL, on the monotonic clock.
    static constexpr double tunnelTerminationTimeout = 2.0;
    static constexpr double tunnelKillTimeout = 0.5;

    // The content of "tun-state.json": one compact JSON object whose keys are
    // the field names; the optional fields are left out when absent.
    struct TunnelState {
        std::int32_t pid = 0;
        std::string executablePath;
        // The process's start time since boot (ProcessIdentity), which never
        // moves when the wall clock is stepped.
        std::uint64_t startedAtSeconds = 0;
        std::uint64_t startedAtMicroseconds = 0;
        // The canonical attempt identifier of the start that launched it.
        std::optional<std::string> startupAttemptIdentifier;
        // The tunnel interface ("utunN") once the start has seen it.
        std::optional<std::string> tunnelInterface;

        [[nodiscard]] ProcessIdentity processIdentity() const;
        [[nodiscard]] std::string encoded() const;
        // Keys in any order; unknown keys are ignored, and a missing or null
        // optional key is absent. Throws json::JsonError for text that is not
        // one JSON object, a missing required key, or a value of another type
        // ("pid": "12" and "pid": 12.5 included) or beyond its range.
        [[nodiscard]] static TunnelState decode(std::string_view text);

        friend bool operator==(const TunnelState&, const TunnelState&) = default;
    };

    [[nodiscard]] std::filesystem::path tunnelStatePath() const { return runtimeDirectory() / tunnelStateFileName; }
    [[nodiscard]] std::filesystem::path tunnelConfigurationPath() const {
        return runtimeDirectory() / tunnelConfigurationFileName;
    }
    [[nodiscard]] std::filesystem::path tunnelLogPath() const { return runtimeDirectory() / tunnelLogFileName; }

    // The recorded process identifier while the recorded process still runs.
    // Without a record, or when the recorded process is gone (or its
    // identifier now names another process), removes both tunnel files and
    // answers nothing. Never signals a process and never touches DNS or the
    // kill switch. Throws corruptTunnelState, leaving the files, when the
    // record cannot be read or decoded.
    [[nodiscard]] std::optional<std::int32_t> tunnelStatus() const;

    // Stops the recorded tunnel and undoes what belongs to it: SIGTERM to the
    // recorded process (through a pidfd opened before its identity is
    // checked), up to 2.0 s for it to exit, SIGKILL, up to 0.5 s more; then
    // every runtime of the directory that no record names
    // (stopUnrecordedRuntimes); the DNS restore; the wait for the tunnel
    // interface to go (when a record existed or an unrecorded runtime was
    // stopped); removal of both tunnel files; and removal of obsolete runtime
    // copies other than `keeping` (the binary a start is about to launch).
    // Never changes the kill switch. Throws corruptTunnelState before doing
    // anything, tunnelProcessDidNotStop, the DNS restore's error, or
    // tunnelInterfaceDidNotDisappear; the tunnel files stay then.
    void stopTunnel(const std::optional<std::filesystem::path>& keeping = std::nullopt) const;

    // Whether "tun-state.json" stands in the runtime directory (anything that
    // cannot be looked at counts as there: it is read and refused).
    [[nodiscard]] bool hasTunnelState() const;
    // The record, read only as a private regular file of root's, which is how
    // the helper writes it. Throws corruptTunnelState for anything else and
    // for a record that does not decode.
    [[nodiscard]] TunnelState recordedTunnelState() const;

    // Removes "tun-state.json", then "tun-config.json"; failures, a missing
    // file included, are ignored.
    void removeTunnelFiles() const;

    // Removes the runtime copies of the runtime directory that
    // PrivilegedHelperContract::isObsoleteRuntimeFileName names, except the
    // paths in `keeping`, the recorded tunnel's executable, what the
    // prepared-runtime cache protects, and any copy that a live process runs.
    // Hidden entries are never looked at. A record that cannot be read or
    // decoded removes nothing. Never fails.
    void removeObsoleteRuntimes(const std::set<std::string>& keeping) const;

    // The processes that run a runtime copy of the runtime directory
    // ("sing-box" or "sing-box-<UUID>" in it, by the path the kernel reports).
    [[nodiscard]] std::vector<ProcessInfo::RunningExecutable> runningRuntimeCopies() const;

    // Stops every process that runs a runtime copy of the runtime directory
    // but is not the tunnel: not `recorded` (when given and still running as
    // recorded), and not a runtime this helper process launched itself, which
    // the start that launched it records or stops. Such a runtime is what a
    // helper killed between launching a runtime and recording it leaves
    // behind. Each is first proven to be a runtime: its running code is
    // valid and signed by the team (the runtime requirement), which gives the
    // copy's code identity; a process that fails that is left alone. Then, as
    // the stop does, through a pidfd opened before its identity was read:
    // SIGTERM, up to 2.0 s, SIGKILL, up to 0.5 s. Answers how many were
    // stopped; throws tunnelProcessDidNotStop when one survives.
    std::size_t stopUnrecordedRuntimes(const std::optional<TunnelState>& recorded) const;

    // Removes every ".sing-box-stage-*" entry of the runtime directory: the
    // staging copies of preparations that a helper killed while staging left
    // behind. Only launch recovery calls it, when no preparation can run.
    // Failures are ignored.
    void removeAbandonedStagingFiles() const;

    // -----------------------------------------------------------------------
    // Runtime launch (privileged_runtime_launch.cpp)
    //
    // The middle of a tunnel start: the previous tunnel cleared away, the
    // configuration written, the prepared runtime launched with "tun.log" as
    // its output, its identity proven by path and start time, recorded, and
    // its running code checked against the prepared copy's identity.
    // -----------------------------------------------------------------------

    // How long the running code may take to prove its identity.
    static constexpr double liveRuntimeValidationWindow = 0.5;
    static constexpr double liveRuntimeValidationPollInterval = 0.025;

    // A launched runtime while its start goes on. The start keeps it until it
    // ends: on success it detaches the process (a waiter reaps it whenever it
    // exits) and closes the log handle; on a failure it runs
    // cleanUpFailedStart. Destroying it with the process still attached stops
    // the process.
    struct LaunchedRuntime {
        ChildProcess process;
        UniqueFd log;  // "tun.log", open for writing
        TunnelState state;
    };

    // The stages "helper_previous_runtime_cleanup" to
    // "helper_live_runtime_validation" of a start, each timed and logged, in
    // order: cleanUpPreviousRuntime, writeConfigurationAndOpenLog, the launch
    // of the prepared binary, a checkpoint, launchedProcessIdentity,
    // persistTunnelState and validateLiveRuntime. A launch failure closes the
    // log, removes "tun-config.json" and throws processStartFailed; a later
    // failure runs cleanUpFailedStart without the DNS restore and throws the
    // stage's error (in the live check, an error other than a
    // PrivilegedRuntimeError becomes processStartFailed), or the cleanup's
    // error when the cleanup fails. The caller sets the control's
    // progressObserved afterwards.
    [[nodiscard]] LaunchedRuntime launchPreparedRuntime(std::string_view configuration,
                                                        const PreparedRuntime& prepared,
                                                        const PrivilegedTunnelStartupControl& control) const;

    // Stage "helper_previous_runtime_cleanup": stopTunnel keeping `keeping`,
    // then the wait for every tunnel interface to go, whether or not a tunnel
    // was recorded, then a checkpoint.
    void cleanUpPreviousRuntime(const std::filesystem::path& keeping,
                                const PrivilegedTunnelStartupControl& control) const;

    // Stage "helper_configuration_write": writes the configuration bytes to
    // "tun-config.json" as they are (atomically, mode 0600), replaces
    // "tun.log" by an empty file of mode 0600 and returns it open for
    // writing. Throws runtimeStorageUnavailable when "tun.log" cannot be
    // opened as a regular file, and the SystemError of the other steps.
    [[nodiscard]] UniqueFd writeConfigurationAndOpenLog(std::string_view configuration) const;

    // How the prepared runtime is launched: its binary with "run", "-c" and
    // the path of "tun-config.json", in the runtime directory, with standard
    // output and error on `log`; standard input and the environment are the
    // helper's, and no other descriptor is inherited.
    [[nodiscard]] ChildProcess::Options runtimeLaunchOptions(const PreparedRuntime& prepared, int log) const;

    // Stage "helper_process_identity": the identity of the launched process,
    // whose executable path must equal `expectedExecutableURL` as text.
    // Throws processExitedDuringStartup when the process has exited, has no
    // identity, or runs another path (a link to the binary included).
    [[nodiscard]] ProcessIdentity launchedProcessIdentity(const ChildProcess& process,
                                                          const std::filesystem::path& expectedExecutableURL) const;

    // Stage "helper_state_persistence": a checkpoint, then the record written
    // atomically with mode 0600.
    void persistTunnelState(const TunnelState& state, const PrivilegedTunnelStartupControl& control) const;

    // Stage "helper_live_runtime_validation": for 0.5 s on the monotonic
    // clock, every 0.025 s, checks the cancellation and the deadline
    // (tunnelStartupCancelled, tunnelStartupDeadlineExceeded), that the
    // process still runs (processExitedDuringStartup) and whether its running
    // code satisfies the prepared runtime's requirement with exactly the
    // prepared identity. When the window ends, throws the last code-signing
    // error (invalidCodeSignature when the identity differed), after one more
    // look at the cancellation, the deadline and the process, so that a
    // process that has exited by then is reported as exited.
    void validateLiveRuntime(const ChildProcess& process, const PreparedRuntime& prepared,
                             const PrivilegedTunnelStartupControl& control) const;

    // Stops what a failed start launched: the process (SIGTERM, 0.5 s,
    // SIGKILL, 0.5 s; tunnelProcessDidNotStop when it survives, and nothing
    // more is done), the DNS override when `restoreDNS`, the log handle, the
    // wait for the tunnel interface to go (tunnelInterfaceDidNotDisappear),
    // then both tunnel files, ignoring their removal errors. "tun.log" and
    // the kill switch stay as they are.
    void cleanUpFailedStart(ChildProcess& process, UniqueFd& log, bool restoreDNS) const;

    // -----------------------------------------------------------------------
    // Tunnel start (privileged_runtime_start.cpp)
    //
    // Turns a validated configuration into a running, protected tunnel as a
    // fixed sequence of timed stages. The kill switch is switched on before
    // the launch and is never switched off here, not even when the start
    // fails: the disconnect or the lease releases it.
    // -----------------------------------------------------------------------

    // How long the start waits for the runtime's tunnel interface.
    static constexpr double tunnelInterfaceAppearanceWindow = 5.0;
    static constexpr double tunnelInterfaceAppearancePollInterval = 0.05;

    struct TunnelStart {
        std::int32_t processIdentifier = 0;
        // The request's deadline, or 5 s after the Tailscale checks ended
        // when Tailscale data was sent; never with the progress allowance.
        double routeDeadlineUptime = 0.0;
    };

    // Validates the configuration, decodes and checks the Tailscale data when
    // sent, rewrites the configuration for Tailscale, finds the prepared
    // runtime, switches the kill switch on, launches the runtime and proves
    // it (launchPreparedRuntime), then waits for its interface, promotes
    // protection to it, installs the DNS route and override and checks the
    // process once more. Throws the stage's error as the start's error
    // policy says (a malformed Tailscale request and a failed Tailscale check
    // become tailscaleCompatibilityValidationFailed or
    // tailscaleCompatibilityUnavailable); after the launch, a failure stops
    // the process and removes the tunnel files first, and after the interface
    // wait began also restores DNS.
    [[nodiscard]] TunnelStart startTunnel(std::string_view configuration,
                                          const std::optional<std::string>& tailscaleCompatibility,
                                          std::string_view preparedRuntimeToken,
                                          const PrivilegedTunnelStartupRequest& request,
                                          std::function<bool()> cancellationRequested) const;

    // Stage "helper_interface_appearance": for 5 s on the monotonic clock,
    // every 0.05 s, until exactly one tunnel interface exists; it is then
    // recorded in `state` and "tun-state.json" is written again (0600).
    // Throws tunnelInterfaceUnavailable when the process exits or the window
    // passes, ambiguousTunnelInterface at once for two or more, and the
    // control's errors.
    [[nodiscard]] std::string waitForTunnelInterface(const ChildProcess& process, TunnelState& state,
                                                     const PrivilegedTunnelStartupControl& control) const;

    // Stage "helper_dns_route": asks the route tool for the route to
    // 172.19.0.2 and adds a host route through the interface unless it is
    // already there, then asks again. Throws protectedDNSRouteFailed, and the
    // control's errors while a route command runs.
    void installProtectedDNSRoute(const std::string& interfaceName,
                                  const PrivilegedTunnelStartupControl& control) const;

    // Stage "helper_final_process_validation": the recorded process still
    // runs the recorded executable with the recorded start time. Throws
    // processExitedDuringStartup.
    void validateFinalProcess(const ChildProcess& process, const TunnelState& state) const;

    // Runs `body` as one timed stage of a tunnel start: logs its started
    // record, then its completed record, or its failed record with the error,
    // which is rethrown; the remaining time is measured against the control's
    // effective deadline at entry. Returns the body's result.
    template <typename Body>
    decltype(auto) timedStage(PrivilegedTunnelStartupStage stage, const PrivilegedTunnelStartupControl& control,
                              Body&& body) const {
        return timedHelperStage(stage, control.request.attemptID, control, clock(), std::forward<Body>(body));
    }

    // -----------------------------------------------------------------------
    // System proxy (privileged_runtime_proxy.cpp)
    //
    // In proxy mode the application runs the runtime itself as a local proxy
    // and asks the helper to point one network service's web, secure-web and
    // SOCKS proxies at it, and later to turn them off again. The helper does
    // so with the network-service tool and records the service whose proxies
    // it turned on in "proxy-state.json", so that a disable in a later helper
    // process still knows which service to turn off. Only the three proxy
    // states are turned off again: the host, port and bypass list that the
    // service had before stay replaced.
    // -----------------------------------------------------------------------

    static constexpr std::string_view proxyStateFileName = "proxy-state.json";
    // Where the application's local proxy listens.
    static constexpr std::string_view systemProxyHost = "127.0.0.1";
    static constexpr std::string_view systemProxyPort = "2080";
    // How long one run of the network-service tool may take, on the
    // environment's clock, before it is stopped (SIGTERM, then SIGKILL) and
    // counted as failed: a hung tool must not hold the operation lock.
    static constexpr double networkSetupTimeout = 20.0;

    // The content of "proxy-state.json": one compact JSON object,
    // {"serviceName":"Wi-Fi"}.
    struct ProxyState {
        // The network service name exactly as the application sent it.
        std::string serviceName;

        [[nodiscard]] std::string encoded() const;
        // Unknown keys are ignored. Throws json::JsonError for text that is
        // not one JSON object, or without a string "serviceName".
        [[nodiscard]] static ProxyState decode(std::string_view text);

        friend bool operator==(const ProxyState&, const ProxyState&) = default;
    };

    [[nodiscard]] std::filesystem::path proxyStatePath() const { return runtimeDirectory() / proxyStateFileName; }

    // Points the service's three proxies at the local proxy: the service name
    // check (PrivilegedHelperContractError invalidProxyService, nothing run),
    // the runtime directory, then, when the record names another service,
    // that service's three states turned off (a failure is logged and does
    // not stop the enable); then host and port of the web, secure-web and
    // SOCKS proxies and the bypass list, the record, and the three states
    // "on". Any failure after the check turns the service's three states off
    // again and throws the failure: networkSetupFailed, the tool's launch
    // error, the runtime directory's errors, or the SystemError of the write.
    // The record is written before any state is turned on, and a failed
    // enable removes a record of this service only when its states were
    // turned off again, so proxies are never left on without a record.
    void enableSystemProxy(std::string_view serviceName) const;

    // Turns the recorded service's three proxy states off and removes the
    // record; nothing at all without a record. Throws corruptProxyState,
    // running nothing, when the record is not a private file of root's in a
    // root-private runtime directory, is not a record, or names a service
    // that fails the name check; networkSetupFailed or the tool's launch
    // error, keeping the record for a later disable to retry.
    void disableSystemProxy() const;

    // Turns the web, secure-web and SOCKS proxy states of the service off, in
    // that order. All three run even when one fails; the first failure is
    // thrown afterwards.
    void disableProxyStates(std::string_view serviceName) const;

    // Runs the network-service tool once with the arguments (no shell), its
    // standard input, output and error on the null device, for at most
    // networkSetupTimeout on the environment's clock. Throws
    // networkSetupFailed for a non-zero exit status, a signal, or a run that
    // took too long (the tool's process group is then terminated and killed);
    // the launch's SystemError, with the system's text, when it cannot start.
    void runNetworkSetup(const std::vector<std::string>& arguments) const;

    // -----------------------------------------------------------------------
    // Launch recovery (privileged_runtime_recovery.cpp)
    //
    // What the helper does once at launch, before it accepts any client: a
    // tunnel, a kill switch and a DNS override of an earlier run may still be
    // in place. The recorded tunnel is adopted, and its protection re-applied,
    // only when it is the helper's own verified runtime and still runs;
    // otherwise it is stopped and protection is removed, except that a tunnel
    // that cannot be made to stop keeps its protection.
    // -----------------------------------------------------------------------

    // The stage prefix of the code-signing checks of a recorded runtime.
    static constexpr std::string_view launchRecoveryStagePrefix = "runtime_staged_restore";

    // Starts the kill-switch watchdog with a configuration and answers
    // whether it started. The helper uses KillSwitchWatchdog::start, the
    // process's one watchdog; tests pass a function that records the call.
    using WatchdogStarter = std::function<bool(KillSwitchWatchdog::Configuration)>;

    // Reconciles what an earlier run left behind, over a launch-recovery
    // runtime of `environment` and one more kill switch of its own: adopts a
    // verified running tunnel (restoreAfterLaunch), or stops the recorded
    // tunnel and deactivates protection. A failure is logged once, on the
    // subsystem "app.tarnel.direct.helper", category "runtime", as
    // "kill_switch_restore_failed error=<description>", and followed by a
    // fallback whose own failures are ignored: protection re-applied when the
    // tunnel may still run, else the tunnel stopped (its files removed
    // directly when even that fails) and the kill switch cleared. A runtime
    // of the directory that no record names is stopped beside an adopted
    // tunnel (stopUnrecordedRuntimes), and by the stop otherwise. Then
    // removes abandoned staging files and
    // obsolete runtime copies and starts the watchdog with
    // watchdogConfiguration(environment) through `startWatchdog`. Never fails.
    static void recoverAtLaunch(const PrivilegedRuntimeEnvironment& environment,
                                const WatchdogStarter& startWatchdog = &KillSwitchWatchdog::start) noexcept;

    // True when "tun-state.json" names a runtime copy in the runtime
    // directory ("sing-box" or "sing-box-<UUID>") whose recorded process
    // still runs it, whose file is a prepared runtime file (root's, 0700, one
    // link), and whose file on disk and running code carry the same valid
    // signature. False, without any code-signing check, when there is no
    // record, the record names another file, or its process is gone. Throws
    // corruptTunnelState for a record that cannot be read or decoded,
    // unsafeStagedRuntime or runtimeStorageUnavailable for the file, and
    // invalidCodeSignature when a check fails or the two identities differ.
    [[nodiscard]] bool verifyRecordedTunnel() const;

private:
    // SystemDNSOverride::restore over the environment's system configuration.
    void restoreDNSOverride() const;

    [[nodiscard]] const Clock& clock() const noexcept { return *environment_.clock; }
    [[nodiscard]] const codesign::CodeSigning& codeSigning() const noexcept { return *environment_.codeSigning; }
    [[nodiscard]] PreparedRuntimeCache& preparedRuntimes() const noexcept { return *environment_.preparedRuntimes; }

    PrivilegedRuntimeEnvironment environment_;
    std::filesystem::path applicationURL_;
    std::shared_ptr<const codesign::StaticCode> applicationStaticCode_;
    std::optional<std::string> applicationCodeIdentity_;
    std::optional<std::uint32_t> clientUserIdentifier_;
};

}  // namespace tarnel
