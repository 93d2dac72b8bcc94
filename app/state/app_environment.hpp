#pragma once

#include <QThreadPool>
#include <QCoroTask>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalog/manifest_content_floor.hpp"
#include "app/catalog/manifest_loader.hpp"
#include "app/catalog/route_model.hpp"
#include "app/catalog/subscription_fetcher.hpp"
#include "app/http/http_client.hpp"
#include "app/state/task_layer.hpp"
#include "app/tunnel/deployment_configuration.hpp"
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
struct ConnectionPlanRequest;

// A task of the application state: a coroutine on the main thread over the
// state and the task's stop token.
using AppTaskBody = std::function<QCoro::Task<>(AppState&, std::stop_token)>;

// The launch recovery (AppState::recoverPrivilegedStateAtLaunch) as a
// start-up task: what an environment runs unless it puts its own in place.
[[nodiscard]] AppTaskBody launchRecoveryTask();

// What a subscription import asks the network for: the fetch of the
// subscription at `url` (see SubscriptionFetcher::fetchSubscriptionText).
struct SubscriptionFetchRequest {
    std::string url;
    // The plain body is never fetched for a link that has signed route lists.
    bool signedOnly = false;
    // The subscription's mirror origins.
    std::vector<std::string> origins;
    // The anti-rollback state the verifier checks.
    std::optional<std::int64_t> savedRevision;
    std::optional<ManifestContentFloor> savedFloor;

    friend bool operator==(const SubscriptionFetchRequest&, const SubscriptionFetchRequest&) = default;
};

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

    // ----- The connection plan's services -----

    // Runs the traffic checks through the tunnel, each bounded by `timeout`
    // seconds, ended early by `stop` (TunnelHealthProbe::run). Blocking (it
    // runs on the pool); never throws. Empty: the state's own
    // `tunnelHealthProbe` runs them; tests put a scripted one in its place.
    std::function<TunnelHealthProbe::Result(double timeout, std::stop_token stop)> tunnelHealthCheck;
    // Draws the random part, in milliseconds, of the pause before a candidate
    // on another node: uniform over the integers 0 to 400.
    std::function<int()> failoverPauseJitter = uniformFailoverPauseJitter;

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
    // The text on the clipboard; none when it holds none. Empty: no text.
    std::function<std::optional<std::string>()> clipboardText;
    // Runs a VPN Connect's plan as its connection task; empty: the state's
    // own runner (AppState::runConnectionPlan). Tests record the hand-off.
    std::function<QCoro::Task<>(AppState& state, ConnectionPlanRequest request, std::stop_token stop)>
        connectionPlan;

    // Connect's services of the application around its helper client: the
    // client itself, the system's list of network connections, and the
    // installer that registers the helper when none answers.
    void useApplicationConnectServices(std::shared_ptr<const PrivilegedHelperClient> client);

    // The task of the launch recovery, which start-up leaves running: it
    // starts on a later turn, once the state is built; an empty one does
    // nothing.
    AppTaskBody launchRecovery = launchRecoveryTask();

    // ----- Subscription import -----

    // Fetches a subscription: the accepted signed route lists, or the plain
    // body (subscriptionFetcher()). Blocking: it runs on the pool, and the
    // stop (requested only once the state is gone) ends it with
    // CancellationError. Throws the fetcher's errors.
    using SubscriptionFetch =
        std::function<SubscriptionFetchResult(const SubscriptionFetchRequest& request, std::stop_token stop)>;
    SubscriptionFetch fetchSubscription;

    // ----- The account portal and the support mail -----

    // The account service's host and the support address
    // (DeploymentConfiguration::accountService); unconfigured: names that
    // never resolve.
    AccountServiceEndpoints accountService{std::string(AccountServiceEndpoints::kUnconfiguredHost),
                                           std::string(AccountServiceEndpoints::kUnconfiguredSupportEmailAddress)};
    // The HTTP layer of the account portal's calls (a CurlHttpClient); none:
    // every call is unavailable, without a request.
    std::shared_ptr<const HttpClient> accountHttp;
    // Opens a URL with the system's default handler
    // (QDesktopServices::openUrl in the program); empty: nothing opens.
    std::function<void(const std::string& url)> openURL;

    // The application's fetch: a SubscriptionFetcher over `http`, verifying
    // at the wall time of `clock` against `trustRootSPKI` (the state's root
    // key), waiting between retries through `sleeper`.
    [[nodiscard]] static SubscriptionFetch subscriptionFetcher(std::shared_ptr<const HttpClient> http,
                                                               std::shared_ptr<const Clock> clock,
                                                               std::optional<std::string> trustRootSPKI,
                                                               ManifestSleeper sleeper = sleepUnlessStopped);

    // 0 to 400, uniform, from the system's random source.
    [[nodiscard]] static int uniformFailoverPauseJitter();
    // The process's system clock, not owned.
    [[nodiscard]] static std::shared_ptr<const Clock> systemClock();
    // The value of a variable of this process's environment.
    [[nodiscard]] static std::optional<std::string> processEnvironmentVariable(std::string_view name);
};

}  // namespace tarnel
