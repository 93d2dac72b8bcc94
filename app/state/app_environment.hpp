#pragma once

#include <QThreadPool>
#include <QCoroTask>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/route_model.hpp"
#include "app/state/task_layer.hpp"
#include "app/tunnel/privileged_helper_client.hpp"
#include "app/tunnel/privileged_helper_operations.hpp"
#include "app/tunnel/sing_box_process.hpp"
#include "app/tunnel/tunnel_health_probe.hpp"
#include "common/base/clock.hpp"
#include "common/base/uuid.hpp"
#include "platform/keychain/keychain.hpp"
#include "platform/settings/settings.hpp"

namespace tarnel {

class AppState;

// A task of the application state: a coroutine on the main thread over the
// state and the task's stop token.
using AppTaskBody = std::function<QCoro::Task<>(AppState&, std::stop_token)>;

// The launch recovery (AppState::recoverPrivilegedStateAtLaunch) as a
// start-up task: what an environment runs unless it puts its own in place.
[[nodiscard]] AppTaskBody launchRecoveryTask();

// Everything the application state reaches outside itself. The application
// fills it with the user's settings and keychain, the system clock, a timer
// sleeper, a task pool, the helper client and the application's own
// arguments; tests put their own in place.
struct AppEnvironment {
    // The user's settings (user defaults).
    std::shared_ptr<Settings> settings;
    // The user's keychain, which holds the stored access record.
    std::shared_ptr<Keychain> keychain;
    // Uptime for every deadline and elapsed time; wall time for the log's
    // time stamps and manifest verification.
    std::shared_ptr<const Clock> clock = systemClock();
    // Ends the tasks' sleeps.
    std::shared_ptr<TaskSleeper> sleeper;
    // Runs the tasks' blocking calls (makeTaskPool()).
    std::shared_ptr<QThreadPool> pool;
    // The privileged helper.
    std::shared_ptr<const PrivilegedHelperOperations> helper;
    // The Tailscale compatibility payload of an attempt, taken before the
    // deadline (uptime) and timed as the attempt's stage: none when
    // Tailscale is not a connected VPN. Blocking (it runs on the pool);
    // throws CancellationError once `stop` is requested, or the snapshot's
    // own errors.
    std::function<std::optional<std::string>(const Uuid& attemptID, double deadlineUptime, std::stop_token stop)>
        tailscaleSnapshot;
    // The root key of signed route lists (DER SubjectPublicKeyInfo); none
    // for a build that has none.
    std::optional<std::string> trustRootSPKI;
    // The process's arguments, the program's name first.
    std::vector<std::string> arguments;
    // The value of a variable of the process's environment; none when unset.
    std::function<std::optional<std::string>(std::string_view name)> environmentVariable;
    // What the proxy-mode runtime runs from (ProxyProcessSettings::production()).
    ProxyProcessSettings proxyProcessSettings;
    // The traffic checks' endpoints and services; the probe needs every one.
    TunnelHealthProbe::Services tunnelHealthProbeServices;

    // ----- Connect, Disconnect and the monitors -----

    // The system's list of network connections
    // (CompetingVPNDetector::networkConnectionList): blocking, bounded by its
    // own 5 s; throws CompetingVPNDetectorError. Required.
    std::function<std::string()> networkConnectionList;
    // The identity of a live helper, installed first when none answers
    // (PrivilegedHelperInstaller::ensureHelper): blocking, bounded by the
    // installer's own waits; throws PrivilegedHelperInstallError. Required.
    std::function<PrivilegedHelperIdentity()> ensureHelper;
    // Writes the proxy-mode configuration of a route and gives its path
    // (TunnelRuntimeFiles::writeProxyConfiguration when empty).
    std::function<std::filesystem::path(const RouteNode& route)> writeProxyConfiguration;
    // The proxy-mode runtime; none: a SingBoxProcess over proxyProcessSettings.
    std::shared_ptr<ProxyProcessControl> proxyProcess;
    // Runs the traffic checks of `probe`, each with `timeout` (none: the
    // probe's own), until `stop`: blocking, never throws. Empty: the probe
    // runs them itself (TunnelHealthProbe::run).
    std::function<TunnelHealthProbe::Result(const TunnelHealthProbe& probe, std::optional<double> timeout,
                                            std::stop_token stop)>
        trafficChecks;
    // The text on the clipboard; none when it holds none. Empty: no text.
    std::function<std::optional<std::string>()> clipboardText;

    // The two tasks that start-up leaves running: the quiet update of a
    // saved access link, and the launch recovery. Each starts on a later
    // turn, once the state is built; an empty one does nothing.
    AppTaskBody quietUpdate;
    AppTaskBody launchRecovery = launchRecoveryTask();

    // Connect's services of the application around its helper client: the
    // client itself, the system's list of network connections, and the
    // installer that registers the helper when none answers.
    void useApplicationConnectServices(std::shared_ptr<const PrivilegedHelperClient> client);

    // The process's system clock, not owned.
    [[nodiscard]] static std::shared_ptr<const Clock> systemClock();
    // The value of a variable of this process's environment.
    [[nodiscard]] static std::optional<std::string> processEnvironmentVariable(std::string_view name);
};

}  // namespace tarnel
