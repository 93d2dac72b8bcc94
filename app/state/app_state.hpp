#pragma once

#include <QObject>
#include <QCoroTask>

#include <cstdint>
#include <exception>
#include <memory>
#include <map>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/catalog/manifest_content_floor.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/route_model.hpp"
#include "app/state/app_environment.hpp"
#include "app/state/connection_types.hpp"
#include "app/state/direct_stored_access.hpp"
#include "app/state/route_test_compatibility_session.hpp"
#include "app/state/task_layer.hpp"
#include "common/base/uuid.hpp"

namespace tarnel {

using RouteAvailabilityMap = std::map<std::string, RouteAvailability, std::less<>>;

// The application's one state object: the subscription and its routes, the
// connection, the settings it keeps and the diagnostic log. It lives on the
// main thread, where every change of it happens; the window binds to its
// published fields, each of which signals every assignment (an equal value
// too). Long work runs as its tasks (task_layer.hpp), which it starts on
// later turns of the event loop and which end, touching it no more, once it
// is destroyed.
//
// Building it runs the start-up: the saved settings and the keychain record
// are read (legacy settings move into the keychain), the rollback floor is
// checked, the saved selection and the cached subscription are restored, and
// a quiet update of a saved access link and the environment's launch
// recovery (unless under a test host) are started.
class AppState final : public QObject {
    Q_OBJECT

    // What it reaches outside itself, and the host of its tasks; declared
    // first so that they outlive every field.
    AppEnvironment environment_;
    TaskHost tasks_;

    // Fields 1 to 18, published through the accessors below.
    std::string subscriptionInput_;
    std::vector<RouteNode> routes_;
    std::vector<RouteCatalogItem> routeCatalog_;
    RouteAvailabilityMap routeAvailability_;
    std::optional<std::string> selectedRouteID_;
    std::optional<std::string> activeRouteID_;
    TunnelStatus tunnelStatus_ = TunnelStatus::disconnected;
    ConnectionMode connectionMode_ = ConnectionMode::tun;
    bool manageSystemProxy_ = true;
    std::string systemProxyService_ = "Wi-Fi";
    bool systemProxyEnabled_ = false;
    bool isImporting_ = false;
    bool isOpeningAccount_ = false;
    std::optional<std::string> accountPortalURL_;
    std::string accountMessage_;
    std::string connectionNotice_;
    std::optional<RouteTestProgress> routeTestProgress_;
    std::string diagnosticLog_{initialDiagnosticLog};

public:
    // Settings keys (fields 38 to 45). The subscription key is the keychain
    // item's service name too.
    static constexpr std::string_view savedSubscriptionKey = "app.tarnel.direct.subscription";
    static constexpr std::string_view savedSubscriptionSourceKey = "app.tarnel.direct.subscriptionSource";
    static constexpr std::string_view savedSubscriptionCacheKey = "app.tarnel.direct.subscriptionCache";
    static constexpr std::string_view savedRouteIDKey = "app.tarnel.direct.selectedRouteID";
    static constexpr std::string_view savedAutomaticCrossNodeSelectionKey =
        "app.tarnel.direct.automaticCrossNodeSelection";
    static constexpr std::string_view savedActiveRouteIDKey = "app.tarnel.direct.activeRouteID";
    static constexpr std::string_view savedManifestRevisionKey = "app.tarnel.direct.transportManifestRevision";
    static constexpr std::string_view savedRouteAvailabilityKey = "app.tarnel.direct.routeAvailability";

    static constexpr std::string_view initialDiagnosticLog =
        "Ready. Paste your Tarnel access link or subscription body.";
    static constexpr std::string_view selectedRouteOnlyDiagnosticArgument = "--selected-route-only-diagnostic";
    static constexpr std::string_view testHostVariable = "XCTestConfigurationFilePath";

    explicit AppState(AppEnvironment environment, QObject* parent = nullptr);
    ~AppState() override;
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    [[nodiscard]] const AppEnvironment& environment() const noexcept { return environment_; }

    // ----- Published fields (1 to 18) -----

    [[nodiscard]] const std::string& subscriptionInput() const noexcept { return subscriptionInput_; }
    void setSubscriptionInput(std::string value);
    [[nodiscard]] const std::vector<RouteNode>& routes() const noexcept { return routes_; }
    void setRoutes(std::vector<RouteNode> value);
    [[nodiscard]] const std::vector<RouteCatalogItem>& routeCatalog() const noexcept { return routeCatalog_; }
    void setRouteCatalog(std::vector<RouteCatalogItem> value);
    [[nodiscard]] const RouteAvailabilityMap& routeAvailability() const noexcept { return routeAvailability_; }
    void setRouteAvailability(RouteAvailabilityMap value);
    [[nodiscard]] const std::optional<std::string>& selectedRouteID() const noexcept { return selectedRouteID_; }
    void setSelectedRouteID(std::optional<std::string> value);
    [[nodiscard]] const std::optional<std::string>& activeRouteID() const noexcept { return activeRouteID_; }
    [[nodiscard]] TunnelStatus tunnelStatus() const noexcept { return tunnelStatus_; }
    void setTunnelStatus(TunnelStatus value);
    [[nodiscard]] ConnectionMode connectionMode() const noexcept { return connectionMode_; }
    void setConnectionMode(ConnectionMode value);
    [[nodiscard]] bool manageSystemProxy() const noexcept { return manageSystemProxy_; }
    void setManageSystemProxy(bool value);
    [[nodiscard]] const std::string& systemProxyService() const noexcept { return systemProxyService_; }
    void setSystemProxyService(std::string value);
    [[nodiscard]] bool systemProxyEnabled() const noexcept { return systemProxyEnabled_; }
    void setSystemProxyEnabled(bool value);
    [[nodiscard]] bool isImporting() const noexcept { return isImporting_; }
    void setIsImporting(bool value);
    [[nodiscard]] bool isOpeningAccount() const noexcept { return isOpeningAccount_; }
    void setIsOpeningAccount(bool value);
    // The account portal's address (absolute URL text) while its sheet is shown.
    [[nodiscard]] const std::optional<std::string>& accountPortalURL() const noexcept { return accountPortalURL_; }
    void setAccountPortalURL(std::optional<std::string> value);
    [[nodiscard]] const std::string& accountMessage() const noexcept { return accountMessage_; }
    void setAccountMessage(std::string value);
    [[nodiscard]] const std::string& connectionNotice() const noexcept { return connectionNotice_; }
    void setConnectionNotice(std::string value);
    [[nodiscard]] const std::optional<RouteTestProgress>& routeTestProgress() const noexcept {
        return routeTestProgress_;
    }
    void setRouteTestProgress(std::optional<RouteTestProgress> value);
    // Grows by appends only.
    [[nodiscard]] const std::string& diagnosticLog() const noexcept { return diagnosticLog_; }

signals:
    void subscriptionInputChanged();
    void routesChanged();
    void routeCatalogChanged();
    void routeAvailabilityChanged();
    void selectedRouteIDChanged();
    void activeRouteIDChanged();
    void tunnelStatusChanged();
    void connectionModeChanged();
    void manageSystemProxyChanged();
    void systemProxyServiceChanged();
    void systemProxyEnabledChanged();
    void isImportingChanged();
    void isOpeningAccountChanged();
    void accountPortalURLChanged();
    void accountMessageChanged();
    void connectionNoticeChanged();
    void routeTestProgressChanged();
    void diagnosticLogChanged();

public:
    // ----- Fields 19 to 46 (main thread only) -----

    // The proxy-mode sing-box child, none running at first.
    std::shared_ptr<ProxyProcessControl> proxyProcess =
        environment_.proxyProcess ? environment_.proxyProcess
                                  : std::make_shared<SingBoxProcess>(environment_.proxyProcessSettings);
    // Connect uses only the selected route, with a 30-second traffic gate
    // (the launch argument "--selected-route-only-diagnostic").
    bool selectedRouteOnlyDiagnostic = false;
    // The traffic checks of the plan runner and the monitors (4 s each).
    TunnelHealthProbe tunnelHealthProbe{environment_.tunnelHealthProbeServices,
                                        TunnelHealthProbe::kApplicationTimeout};
    // The mode of the running connection.
    std::optional<ConnectionMode> activeMode;
    // The running connection attempt; a task whose attempt is no longer
    // this one stops silently.
    std::optional<Uuid> connectionAttemptID;
    TaskSlot connectionTask;
    TaskSlot tunnelHealthMonitor;
    TaskSlot protectionLeaseMonitor;
    TaskSlot routeTestTask;
    std::optional<Uuid> routeTestSessionID;
    // The compatibility snapshot shared by the steps of one route test.
    RouteTestCompatibilitySession routeTestCompatibility;
    // The newest route-test session; older ones write no results.
    std::optional<Uuid> latestRouteTestSessionID;
    // Raised by every availability write of a route.
    std::map<std::string, std::uint64_t, std::less<>> routeAvailabilityGeneration;
    // "free", "rescue" or "paid" are the classes the failover plan knows.
    std::optional<std::string> subscriptionServiceClass;
    // The permitted origins of the current signed route list.
    std::optional<std::vector<std::string>> subscriptionOrigins;
    // The subscription whose rollback floor is held, its highest accepted
    // revision and the content hashes of that revision.
    std::optional<std::string> manifestFloorIdentity;
    std::optional<std::int64_t> manifestFloorRevision;
    std::optional<ManifestContentFloor> manifestContentFloor;
    std::optional<TransportManifestFormat> subscriptionManifestFormat;
    // The selected route was chosen automatically on another node by a
    // failover; a manual choice and a subscription change clear it.
    bool automaticCrossNodeSelection = false;

    // ----- The diagnostic log -----

    // Appends "\n[<ISO 8601 UTC time>] <message>".
    void appendLog(std::string_view message);

    // ----- Tasks -----

    // Cancels the task in `slot` (not awaited) and puts a new task there
    // that runs `body` on a later turn while this state exists.
    void replaceTask(TaskSlot& slot, AppTaskBody body);
    // The same for a task no slot holds.
    void startTask(AppTaskBody body);
    // For task bodies: `work()` on the pool, awaited on the main thread.
    template <typename Work>
    [[nodiscard]] auto onPool(Work&& work) const {
        return tasks_.onPool(std::forward<Work>(work));
    }
    // For task bodies: a sleep that a stop of `stop` ends early
    // (CancellationError).
    [[nodiscard]] SleepCall sleep(double seconds, std::stop_token stop) const {
        return tasks_.sleep(seconds, std::move(stop));
    }

    // ----- The cached subscription and its floor -----

    // Restores the cached body at start-up, without saving anything and
    // without moving the floor; logs how many routes it gave, or why it was
    // rejected (the route list then stays empty).
    void restoreCachedSubscription(std::string_view text, const std::optional<std::string>& sourceURL);
    // The content floor to enforce for the subscription at `sourceURL`: the
    // held one when the held floor is that subscription's; none otherwise.
    // Throws SignedTransportManifestError(invalidManifest) when the held
    // revision and the held floor's disagree.
    [[nodiscard]] std::optional<ManifestContentFloor> enforcedContentFloor(
        const std::optional<std::string>& sourceURL) const;
    // Keeps the availability of the routes that stay the same in every field.
    void pruneRouteAvailability(std::span<const RouteNode> newRoutes);

    // ----- Derived state (computed on every read) -----

    [[nodiscard]] const RouteNode* selectedRoute() const;
    [[nodiscard]] const RouteNode* activeRoute() const;
    [[nodiscard]] const RouteNode* displayedRoute() const;
    [[nodiscard]] std::vector<RouteListItem> routeListItems() const;
    [[nodiscard]] RouteAvailability availability(const RouteListItem& item) const;
    [[nodiscard]] std::optional<std::string> routeTestCurrentRouteName() const;
    [[nodiscard]] bool isConnectionEngaged() const;
    [[nodiscard]] bool canConnect() const;
    [[nodiscard]] bool canImport() const;
    [[nodiscard]] bool canRefresh() const;
    [[nodiscard]] bool canTestAllRoutes() const;
    [[nodiscard]] bool hasAccessLink() const;
    [[nodiscard]] std::string refreshHint() const;
    [[nodiscard]] std::string savedAccessHint() const;
    // The text as an http or https URL (scheme in any letter case): the text
    // itself when it parses strictly; none otherwise. Nothing is trimmed.
    [[nodiscard]] static std::optional<std::string> accessLinkURL(std::string_view text);

    // ----- Connection helpers -----

    // Records a route's availability and raises its generation counter.
    void setRouteAvailability(RouteAvailability availability, const std::string& routeID);
    // Sets the active route and keeps the saved setting in step (none removes it).
    void setActiveRouteID(std::optional<std::string> routeID);
    // The first Romanian Hysteria2 route, else the first Romanian route,
    // else the first route; none for no routes.
    [[nodiscard]] static std::optional<std::string> preferredDefaultRouteID(std::span<const RouteNode> routes);
    // Whether the helper's kill switch is active, asked on the pool with a
    // 2-second time-out; the caller's stop does not end the question. Throws
    // the client's errors.
    [[nodiscard]] QCoro::Task<bool> isTunnelProtectionActive();
    // The Tailscale compatibility payload of the attempt, taken on the pool
    // with the deadline 12 s ahead; `stop` reaches the snapshot.
    [[nodiscard]] QCoro::Task<std::optional<std::string>> runCompatibilityPreflight(Uuid attemptID,
                                                                                    std::stop_token stop);
    // The uptime elapsed since `startUptime` (0 when in the future), "%.3fs".
    [[nodiscard]] std::string elapsedText(double startUptime) const;
    // "pass/" or "fail/", then the seconds (0 when negative) as "%.3fs".
    [[nodiscard]] static std::string checkResultText(bool passed, double seconds);

    // Ends the route test's session: its snapshot is dropped, its task
    // handle and progress cleared; the newest session's identifier stays.
    void finishRouteTestSession();

    // ----- The connection plan (app_state_connection_plan.cpp) -----
    //
    // A VPN attempt is current while `connectionAttemptID` is its identifier
    // and its task's stop was not requested; the plan checks that before and
    // after every await, and a run that is no longer current stops without a
    // line and without touching the state. Blocking helper calls run on the
    // pool and are never interrupted: a stopped run awaits them to the end.

    // The inputs of one run besides its candidates and its attempt.
    struct ConnectionPlanOptions {
        // The active route when Connect began: active again when a stopped
        // attempt finds a tunnel process still running.
        std::optional<std::string> restorableRouteID;
        // Seconds each candidate has from the start of its configuration to
        // its helper start's deadline.
        double timeBudget = 12.0;
        // The route test this run is a step of, whose shared compatibility
        // snapshot it uses.
        std::optional<Uuid> routeTestSessionID;
        // A protected replacement: success reads "Switched to", and an
        // exhausted plan only verifies protection.
        bool switchingFromActiveRoute = false;
        // One 30-second traffic window and no grace check.
        bool diagnosticSelectedRouteOnly = false;
        // Success selects the connected route and saves the selection.
        bool persistsSuccessfulRoute = true;
        // An exhausted plan only verifies protection, never releases it.
        bool keepsProtectionOnExhaustion = false;
    };
    enum class TrafficGateResult { passed, failed, stopped };

    // Walks the failover plan for the attempt until a candidate passes the
    // traffic gate (connected), the plan is exhausted (failed, protection
    // released or kept) or the attempt stops; every outcome goes into the
    // state and the log. `stop` is the connection task's. Never throws.
    [[nodiscard]] QCoro::Task<> runConnectionPlan(std::vector<RouteNode> candidates, Uuid attemptID,
                                                  ConnectionPlanOptions options, std::stop_token stop);
    // Judges a candidate whose tunnel the helper reported started at
    // `candidateStart` + the elapsed time, with the route deadline it gave:
    // the IP route, DNS and HTTPS checks must all pass in one run, bounded by
    // the deadline and one grace check after it. A failure marks the
    // candidate unavailable and logs the failed checks; stopped: the attempt
    // is no longer current.
    [[nodiscard]] QCoro::Task<TrafficGateResult> runTrafficGate(RouteNode candidate, Uuid attemptID,
                                                                double routeDeadline, double candidateStart,
                                                                bool diagnosticSelectedRouteOnly,
                                                                std::stop_token stop);
    // Logs one run of the checks: "Tunnel health <phase> for <title>:
    // IP=…, DNS=…, HTTPS=…, total=<elapsed since checkStart>."
    void logTunnelHealth(const TunnelHealthProbe::Result& checks, std::string_view phase, const RouteNode& route,
                         double checkStart);
    // The traffic checks with `timeout` per check, on the pool.
    [[nodiscard]] PoolCall<TunnelHealthProbe::Result> runTunnelHealthChecks(double timeout,
                                                                            std::stop_token stop) const;

    // Reconciles an attempt that stopped with an error with what the helper
    // runs: connected on `restorableRouteID` while a tunnel process runs,
    // else failed while protection is active, else disconnected. Nothing
    // when the attempt is not (or no longer) the current one.
    [[nodiscard]] QCoro::Task<> finishConnectionAttempt(Uuid attemptID, std::optional<std::string> restorableRouteID);
    // Has the helper stop the attempt's tunnel (only when the tunnel it
    // runs is that attempt's); whether it did. A failed request is logged
    // ("VPN cleanup failed: …") and gives false.
    [[nodiscard]] QCoro::Task<bool> cleanUpVPN(Uuid attemptID);
    // The failed state with `message` logged, protection kept (the lease
    // renewed) or dropped; nothing at all when the attempt is not current.
    void failConnection(const Uuid& attemptID, bool keepProtection, std::string_view message);
    // Turns protection off after an exhausted plan (the helper's disconnect,
    // then the tunnel configuration file removed); whether direct internet
    // is back, and a line saying so.
    [[nodiscard]] QCoro::Task<bool> releaseProtectionAfterFailedPlan();

    // ----- Subscription import, update and forget (app_state_import.cpp) -----

    // Imports the access field's text, trimmed: an access link is fetched
    // (its signed route lists, or its plain body where allowed), a pasted
    // body is read as it is. The routes, once verified and held against the
    // rollback floor, replace the current ones, and the keychain record is
    // saved first; any failure leaves everything as it was and logs one
    // line. One import at a time: while one runs this does nothing. It runs
    // as a task, and returns at once. `quietly` logs only a failure (start-up's
    // update of a saved link); `isUpdate` words the lines as an update and
    // requires a signed list where one is held.
    void importSubscription(bool quietly, bool isUpdate);
    // Removes the stored access record, then the subscription, its routes,
    // floor and selection, and their settings. An engaged connection is
    // disconnected first; nothing is removed while it stays engaged or when
    // the keychain fails; an import running meanwhile commits nothing.
    void forgetSavedSubscription();
    // Writes the configuration of the selected route (Proxy or TUN, as the
    // connection mode says) to the application's folder, on the pool, and
    // logs where, or why it failed.
    void writeRedactedConfig();

    // ----- Connect, Disconnect, launch recovery and the monitors -----
    //
    // Connect and Disconnect run on the main thread and never suspend: their
    // helper calls, the installer and the proxy runtime's start and stop
    // block it for at most their own bounds. The monitors and the launch
    // recovery are tasks; their blocking calls run on the pool, and after
    // every await they end quietly when stopped or when the state they watch
    // no longer holds.

    // What a Connect is given beside its route.
    struct ConnectOptions {
        // The plan holds the route alone.
        bool selectedRouteOnly = false;
        // The runner's single 30-second traffic gate without grace.
        bool extendedGate = false;
        // The route that connects becomes the selected one.
        bool interactive = true;
        // The attempt's identifier; none: a new one.
        std::optional<Uuid> attemptID;
        // A route-test step: at the plan's end protection is only verified.
        bool routeTest = false;
        // Seconds each candidate has to start.
        double timeBudget = 12.0;
        std::optional<Uuid> routeTestSession;
    };
    // The window's Connect: the launch flag limits the plan and extends the
    // gate; 12 s per candidate.
    [[nodiscard]] ConnectOptions windowConnectOptions() const;

    // Brings up the connection of `connectionMode` through `route` (none:
    // the selected route). Proxy mode: the local proxy, and the system proxy
    // when it is managed; true once connected. VPN mode: after the
    // competing-VPN check and the helper's checks, the connection plan's
    // task; true once that task is started.
    bool connect(const std::optional<RouteNode>& route, const ConnectOptions& options);
    bool connect(const std::optional<RouteNode>& route = std::nullopt) {
        return connect(route, windowConnectOptions());
    }
    // False (with the notice and a log line) when the maker's other VPN is
    // connected or the list of connections cannot be read.
    bool checkCompetingVPN();
    // Shows a helper runtime that this state cannot vouch for as failed,
    // keeping the lease renewed while protection is active.
    void adoptPrivilegedRuntime(const PrivilegedTunnelRuntimeSnapshot& snapshot);
    // The route tapped in the list becomes the selected one (not during a
    // route test).
    void selectRoute(const RouteNode& route);
    // Imports the clipboard's text, trimmed; after a running import ends
    // when one runs.
    void pasteSubscriptionFromClipboard();

    // Ends a route test, then stops the connection.
    void disconnect();
    // Stops whatever runs (the attempt, the monitors, the proxy or the
    // helper's tunnel) and returns to direct internet; on a failure the
    // state is failed and the lease stays renewed while protection is active.
    void stopConnection();

    // The helper's runtime and protection, asked on the pool (0.75 s each)
    // up to `attempts` times, k * 0.25 s after the k-th failure. Throws the
    // last failure; zero attempts throw timedOut without asking.
    [[nodiscard]] QCoro::Task<PrivilegedTunnelRuntimeSnapshot> probePrivilegedRuntime(int attempts,
                                                                                      std::stop_token stop);
    // At launch: a helper runtime or protection left from an earlier run is
    // shown as failed (unless a Connect has begun meanwhile).
    [[nodiscard]] QCoro::Task<> recoverPrivilegedStateAtLaunch(std::stop_token stop);

    // Every 10 s while connected in VPN mode: the helper's runtime, the
    // maker's other VPN and the traffic checks; failed after a stopped
    // runtime, the other VPN, or two failed rounds in a row.
    [[nodiscard]] QCoro::Task<> monitorTunnelHealth(std::stop_token stop);
    // At once and then every 20 s while VPN protection is needed: renews the
    // kill switch's lease; failed after three failures in a row.
    [[nodiscard]] QCoro::Task<> maintainProtectionLease(std::stop_token stop);
    // Every 10 s while connected in proxy mode: the runtime and one request
    // through it; failed when it stopped or after two failed rounds in a row.
    [[nodiscard]] QCoro::Task<> monitorProxyHealth(std::stop_token stop);

    // ----- Route testing (app_state_route_test.cpp) -----
    //
    // "Test all" connects through every route in turn, in VPN mode, each as
    // a plan of that route alone, and records whether it carried traffic
    // through the normal gate (available), only through the extended one
    // (slow) or not at all (unavailable). Between routes the attempt's tunnel
    // is stopped and protection checked, so that tunnels never stack. Every
    // way out of a test writes exactly one closing line.

    // What a route test's summary counts.
    struct RouteTestSummaryCounts {
        int available = 0;
        int slow = 0;
        int unavailable = 0;
        int notTested = 0;

        friend bool operator==(const RouteTestSummaryCounts&, const RouteTestSummaryCounts&) = default;
    };

    // The window's "Test all": a new session over the current routes, run
    // as the task in `routeTestTask`; a line and nothing else when no test
    // can start now.
    void testAllRoutes();
    // The window's stop: the running test ends with "Route test stopped.".
    void stopRouteTest();
    // One step of the test: a Connect of `route` alone for the session,
    // awaited through the state for at most `timeBudget` seconds, then the
    // settle. Available or unavailable as the traffic gate recorded it;
    // none when the test was stopped or ended (the ending wrote its line).
    [[nodiscard]] QCoro::Task<std::optional<RouteAvailability>> testRoute(RouteNode route, Uuid sessionID,
                                                                         bool extendedGate, double timeBudget,
                                                                         std::stop_token stop);
    // Polls every 100 ms while the attempt is the session's current one and
    // still connecting: false (the test ended with the bounded-timeout line)
    // once `timeout` seconds have passed, true once it is no longer so.
    [[nodiscard]] QCoro::Task<bool> waitForAttempt(double timeout, Uuid attemptID, Uuid sessionID,
                                                   std::stop_token stop);
    // Stops the attempt's tunnel and checks protection, leaving the state
    // disconnected, or connecting with the lease renewed while protection
    // stays active; whether that safe state was reached.
    [[nodiscard]] QCoro::Task<bool> settleBetweenRouteTests(Uuid attemptID, Uuid sessionID, std::stop_token stop);
    // Ends the session's test with `message` (nothing for another session):
    // the connection stopped when engaged, the session finished.
    void endRouteTest(const Uuid& sessionID, std::string_view message);
    // Puts back the availability a route had before its step, without
    // raising its generation (none removes it); only for the newest session.
    void restoreRouteAvailability(const std::optional<RouteAvailability>& remembered, const std::string& routeID,
                                  const Uuid& sessionID);
    [[nodiscard]] static RouteTestSummaryCounts routeTestSummaryCounts(std::span<const RouteNode> routes,
                                                                       const RouteAvailabilityMap& availability);

private:
    // The test task: the compatibility session, then every route.
    [[nodiscard]] QCoro::Task<> runRouteTest(std::vector<RouteNode> routes, Uuid sessionID, std::stop_token stop);
    [[nodiscard]] QCoro::Task<> testEveryRoute(std::vector<RouteNode> routes, Uuid sessionID, std::stop_token stop);
    [[nodiscard]] bool isCurrentRouteTest(const Uuid& sessionID, const std::stop_token& stop) const;

public:
    // ----- The account portal and the support mail (app_state_portal.cpp) -----

    // Opens the account portal, for the interface language `language` ("ru"
    // is Russian, anything else English): a portal address claimed for the
    // access link in the access field when it holds one (the text as it is
    // now, trimmed), the default address otherwise, made canonical and put
    // in `accountPortalURL`, which shows the sheet. `isOpeningAccount` holds
    // until the end and `accountMessage` tells how it went. Returns at once;
    // the calls run on the pool.
    void openAccountPortal(std::string_view language);
    // For every URL the application is asked to open: a handoff link starts
    // its redeem (redeemAccountHandoff) as a task of its own; anything else
    // is ignored without a trace.
    void handleAccountHandoff(std::string_view url);
    // The redeem of a handoff link: the call on the pool, then, once no
    // import runs, the handed-over access link goes into the access field
    // and is imported; "Доступ передан приложению." only once that import
    // has started. A failure keeps the field and says why.
    [[nodiscard]] QCoro::Task<> redeemAccountHandoff(std::string url, std::stop_token stop);
    // Opens "mailto:" + the support address with the system's handler;
    // nothing when that is no URL.
    void openSupportEmail();

private:
    // The task of openAccountPortal, over the field's trimmed text.
    [[nodiscard]] QCoro::Task<> finishOpeningAccountPortal(std::string text, bool russian, std::stop_token stop);
    // Suspends the task, without blocking, until no import runs.
    [[nodiscard]] QCoro::Task<> untilNoImportRuns();

private:
    // What an import carries from its start to its commit (app_state_import.cpp).
    struct ImportedSubscription;

    // The import after its entry: the fetch or the body, the floor decision
    // and the commit, or the failure handler.
    QCoro::Task<> runImportPipeline(std::string text, bool quietly, bool isUpdate, std::uint64_t epoch,
                                    std::stop_token stop);
    // Saves the record, then puts the import's routes, floor and selection
    // in place. Throws, changing nothing, when the keychain fails or when
    // the subscription was forgotten since the import began.
    void commitImportedSubscription(const ImportedSubscription& imported, bool quietly, bool isUpdate);
    // Ends a failed import: its one log line.
    void finishImportWithError(bool quietly, const std::exception& error);
    QCoro::Task<> writeRouteConfiguration(RouteNode route, ConnectionMode mode);

    // Raised by every forget that clears the subscription: an import that
    // began under another value commits nothing.
    std::uint64_t importEpoch_ = 0;

private:
    template <typename Field, typename Value>
    void publish(Field& field, Value&& value, void (AppState::*changed)()) {
        assertOnMainThread();
        field = std::forward<Value>(value);
        emit(this->*changed)();
    }
    void assertOnMainThread() const;
    // Appends text to the log as it is.
    void appendToLog(std::string_view text);

    void runStartup();
    // Start-up steps 3 and 4: the record in use after moving the legacy
    // settings into the keychain, and the notice of a move that failed.
    [[nodiscard]] std::optional<std::string> migrateStoredAccess(DirectStoredAccess& record, bool underTestHost);
    void removeLegacySubscriptionKeys();

    // The connection plan's own steps (app_state_connection_plan.cpp).
    [[nodiscard]] bool isCurrentAttempt(const Uuid& attemptID, const std::stop_token& stop) const;
    // Ends a run that stopped with an error: the attempt finished as the
    // helper's state says, then `line`; nothing when it is not current.
    [[nodiscard]] QCoro::Task<> stopConnectionAttempt(Uuid attemptID, std::optional<std::string> restorableRouteID,
                                                      std::string line);
    // The state of a candidate that passed the traffic gate.
    void completeConnection(const RouteNode& first, const RouteNode& connected, const ConnectionPlanOptions& options);
    void restartTunnelHealthMonitor();
    void restartProtectionLeaseMonitor();

    // Connect's two modes past the common steps, and its failure tail.
    bool connectProxy(const RouteNode& route);
    bool connectVPN(const RouteNode& route, const ConnectOptions& options, const std::optional<std::string>& previousRoute,
                    TunnelStatus previousStatus);
    bool failConnect(const std::exception& error, bool stateUnverified);
    // Stores the connection plan's task in connectionTask.
    void startConnectionPlan(std::vector<RouteNode> plan, const Uuid& attemptID,
                             const std::optional<std::string>& previousRoute, bool protectedReplacement,
                             const ConnectOptions& options);
    // The failure exit of a health monitor.
    void failConnectionHealth(ConnectionMode mode, std::string_view line);
    // A health monitor watches a connection of `mode` while it is connected
    // and the monitor is not stopped.
    [[nodiscard]] bool watchesConnection(ConnectionMode mode, const std::stop_token& stop) const;
    // Sleeps until a health monitor's next round; whether it is still due.
    [[nodiscard]] QCoro::Task<bool> nextHealthRound(ConnectionMode mode, std::stop_token stop);
    // A paste's import once no import runs.
    [[nodiscard]] QCoro::Task<> importPastedText(std::string text);

};

// What a VPN Connect hands its connection task: the plan, the attempt and
// the runner's inputs.
struct ConnectionPlanRequest {
    std::vector<RouteNode> candidates;
    Uuid attemptID;
    AppState::ConnectionPlanOptions options;
};

}  // namespace tarnel
