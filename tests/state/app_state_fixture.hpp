#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <vector>

#include "app/catalog/direct_app_error.hpp"
#include "app/state/app_state.hpp"
#include "app/http/curl_http_client.hpp"
#include "app/state/direct_secure_subscription_store.hpp"
#include "common/base/iso8601.hpp"
#include "platform/settings/memory_settings.hpp"
#include "tests/state/scripted_proxy_process.hpp"
#include "tests/state/state_test_support.hpp"
#include "tests/support/fake_keychain.hpp"
#include "tests/support/scripted_helper_client.hpp"

namespace tarnel::testing {

// Resolves no name: the state tests never run a traffic check.
class NoHostResolver final : public HostResolver {
public:
    [[nodiscard]] std::vector<std::string> resolve(const std::string&) const override { return {}; }
};

// An access link and one route's link, as the start-up tests use them.
inline constexpr std::string_view kLink = "https://sub.tarnel.test/sub/f/tok.txt";
inline constexpr std::string_view kVlessLink = "vless://u1@h.example:443?security=reality&pbk=KEY&fp=&sid=ab#RO%20one";
inline constexpr std::string_view kVlessRouteID = "vless-RO one-h.example-443";
// The floor identity of kLink (python3: sha256 of "tarnel-subscription-floor-v1", NUL, "tok").
inline constexpr std::string_view kLinkIdentity = "b0a750b132f1651a1abcdce0a78e5e914e4ffe2df3d5f650da80ae291eb33927";

// An application state over memory settings, a fake keychain, a fake clock
// with a virtual sleeper, a scripted helper, a scripted proxy runtime, a
// recording launch recovery and a recording fetch.
class AppStateFixture : public ::testing::Test {
protected:
    AppStateFixture() {
        testApplication();
        helper->onHelperIdentity = [](double) { return PrivilegedHelperIdentity{35, 4242}; };
    }
    // The state's tasks end on later turns once it is gone.
    ~AppStateFixture() override {
        endState();
        releaseTaskPoolThreadState(*pool);
    }

    // Destroys the state; its tasks end on the turns after, those in a
    // blocking call once it returns: every call of the pool ends first.
    void endState() {
        state.reset();
        pool->waitForDone();
        runPostedEvents();
    }

    // The state built over the fixture's environment; `constructed` turns
    // true once its constructor has returned.
    AppState& start() {
        AppEnvironment environment;
        environment.settings = settings;
        environment.keychain = keychainInUse ? keychainInUse : keychain;
        environment.clock = clock;
        environment.sleeper = sleeper;
        environment.pool = pool;
        environment.helper = helper;
        environment.tailscaleSnapshot = [this](const Uuid& attemptID, double deadlineUptime, std::stop_token stop) {
            return snapshot(attemptID, deadlineUptime, std::move(stop));
        };
        environment.trustRootSPKI = trustRoot;
        environment.arguments = arguments;
        environment.tunnelHealthProbeServices = {{"127.0.0.1", 1, "dns.tarnel.test", 1, "trace.tarnel.test", 1},
                                                 std::make_shared<NoHostResolver>(),
                                                 std::make_shared<CurlHttpClient>(),
                                                 clock.get(),
                                                 {}};
        environment.environmentVariable = [this](std::string_view name) -> std::optional<std::string> {
            const auto found = variables.find(std::string(name));
            if (found == variables.end()) return std::nullopt;
            return found->second;
        };
        environment.tunnelHealthCheck = healthCheck;
        if (failoverPauseJitter) environment.failoverPauseJitter = failoverPauseJitter;
        environment.fetchSubscription = fetch;
        environment.networkConnectionList = [this] { return networkConnectionList(); };
        environment.ensureHelper = [this] { return ensureHelper(); };
        environment.proxyProcess = proxyRuntime;
        environment.clipboardText = [this] { return clipboard; };
        if (connectionPlan) environment.connectionPlan = connectionPlan;
        environment.launchRecovery = launchRecovery ? launchRecoveryTask() : recordingTask("launch recovery");
        environment.accountService = accountService;
        environment.accountHttp = accountHttp;
        environment.openURL = [this](const std::string& url) { openedURLs.push_back(url); };
        state = std::make_unique<AppState>(std::move(environment));
        constructed = true;
        logSeen_ = 0;
        return *state;
    }

    // A start-up task that records its runs, and whether the state was
    // already built when it ran.
    AppTaskBody recordingTask(std::string name) {
        return [this, name](AppState&, std::stop_token) -> QCoro::Task<> {
            taskRuns.push_back(name + (constructed ? "" : " inside the constructor"));
            co_return;
        };
    }

    // The URLs the imports fetched so far.
    [[nodiscard]] std::vector<std::string> fetchedURLs() const {
        std::lock_guard lock(fetches_->mutex);
        std::vector<std::string> urls;
        for (const auto& request : fetches_->requests) urls.push_back(request.url);
        return urls;
    }
    [[nodiscard]] std::vector<SubscriptionFetchRequest> fetchRequests() const {
        std::lock_guard lock(fetches_->mutex);
        return fetches_->requests;
    }
    // Runs the turns due, then the events until no import runs.
    void finishImports() {
        runPostedEvents();
        ASSERT_TRUE(runEventsUntil([this] { return !state->isImporting(); }));
    }

    // Imports (or updates) `input` as the access field's text, and waits
    // for the end.
    void import(const std::string& input, bool quietly = false, bool isUpdate = false) {
        state->setSubscriptionInput(input);
        state->importSubscription(quietly, isUpdate);
        finishImports();
    }

    // The messages the log gained since the last call, without time stamps.
    std::vector<std::string> newLogLines() {
        const std::string& log = state->diagnosticLog();
        std::vector<std::string> lines;
        for (std::size_t start = log.find('\n', logSeen_); start != std::string::npos;) {
            const std::size_t end = log.find('\n', start + 1);
            std::string line = log.substr(start + 1, end == std::string::npos ? end : end - start - 1);
            if (line.starts_with('[')) line.erase(0, line.find("] ") + 2);
            lines.push_back(std::move(line));
            start = end;
        }
        logSeen_ = log.size();
        return lines;
    }

    void setLegacy(std::string_view subscription, std::string_view source, std::string_view cache) {
        settings->set(AppState::savedSubscriptionKey, std::string(subscription));
        settings->set(AppState::savedSubscriptionSourceKey, std::string(source));
        settings->set(AppState::savedSubscriptionCacheKey, std::string(cache));
    }
    void storeRecord(std::string_view json) {
        keychain->store(std::string(DirectSecureSubscriptionStore::kService),
                        std::string(DirectSecureSubscriptionStore::kAccount), std::string(json));
    }
    [[nodiscard]] std::optional<std::string> storedRecord() const {
        const auto item = keychain->item(std::string(DirectSecureSubscriptionStore::kService),
                                         std::string(DirectSecureSubscriptionStore::kAccount));
        if (!item) return std::nullopt;
        return item->data;
    }
    [[nodiscard]] bool hasSetting(std::string_view key) const { return settings->contains(key); }

    // The helper's calls since `from` calls were made, as "operation(time-out)";
    // a boolean request as its selector's first word with its attempt first:
    // "cancelTunnelStart(<attempt>, 0.75)".
    [[nodiscard]] std::vector<std::string> helperCalls(std::size_t from = 0) const {
        std::vector<std::string> described;
        const auto calls = helper->calls();
        for (std::size_t index = from; index < calls.size(); ++index) {
            const auto& call = calls[index];
            std::ostringstream text;
            if (call.request.empty()) {
                text << call.operation << "(";
            } else {
                text << call.request.substr(0, call.request.find("With")) << "(" << call.attempt << ", ";
            }
            text << call.timeout << ")";
            described.push_back(text.str());
        }
        return described;
    }

    std::shared_ptr<MemorySettings> settings = std::make_shared<MemorySettings>();
    std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
    // When set, the state's keychain in place of the fake one.
    std::shared_ptr<Keychain> keychainInUse;
    std::shared_ptr<FakeClock> clock =
        std::make_shared<FakeClock>(1000.0, static_cast<double>(*iso8601::parse("2024-03-05T06:07:08Z")));
    std::shared_ptr<VirtualSleeper> sleeper = std::make_shared<VirtualSleeper>(clock);
    std::shared_ptr<QThreadPool> pool = makeTaskPool();
    std::shared_ptr<ScriptedHelperClient> helper = std::make_shared<ScriptedHelperClient>();
    std::function<std::optional<std::string>(const Uuid&, double, std::stop_token)> snapshot =
        [](const Uuid&, double, std::stop_token) { return std::optional<std::string>(); };
    std::optional<std::string> trustRoot;
    // The traffic checks (none: the state's own probe) and the failover
    // pause's random part (none: the system's).
    std::function<TunnelHealthProbe::Result(double, std::stop_token)> healthCheck;
    std::function<int()> failoverPauseJitter;
    std::vector<std::string> arguments{"Tarnel Direct"};
    std::map<std::string, std::string> variables;

    // The imports' fetch: records each request, then answers it with
    // `fetchAnswer` (on the pool); a test may put another fetch in place.
    std::function<SubscriptionFetchResult(const SubscriptionFetchRequest&)> fetchAnswer =
        [](const SubscriptionFetchRequest&) -> SubscriptionFetchResult { throw DirectAppError::httpStatus(404); };
    AppEnvironment::SubscriptionFetch fetch = [this](const SubscriptionFetchRequest& request, std::stop_token) {
        {
            std::lock_guard lock(fetches_->mutex);
            fetches_->requests.push_back(request);
        }
        return fetchAnswer(request);
    };

    // The scutil list of network connections; no VPN connected.
    std::function<std::string()> networkConnectionList = [] { return std::string(); };
    // A live helper answers (version 35, process 4242), asked as the
    // installer's probe asks it.
    std::function<PrivilegedHelperIdentity()> ensureHelper = [this] { return helper->helperIdentity(2.0); };
    std::shared_ptr<ScriptedProxyProcess> proxyRuntime = std::make_shared<ScriptedProxyProcess>(clock);
    std::optional<std::string> clipboard;
    // In place of the state's own runner, when set.
    std::function<QCoro::Task<>(AppState&, ConnectionPlanRequest, std::stop_token)> connectionPlan;
    // The environment gets the real launch recovery in place of a recording task.
    bool launchRecovery = false;
    // The account service (no HTTP layer: every portal call is unavailable)
    // and the URLs the state had opened with the system's handler.
    AccountServiceEndpoints accountService{"account.tarnel.test", "help@tarnel.test"};
    std::shared_ptr<const HttpClient> accountHttp;
    std::vector<std::string> openedURLs;

    std::vector<std::string> taskRuns;
    bool constructed = false;
    std::unique_ptr<AppState> state;

private:
    struct Fetches {
        std::mutex mutex;
        std::vector<SubscriptionFetchRequest> requests;
    };
    std::shared_ptr<Fetches> fetches_ = std::make_shared<Fetches>();
    std::size_t logSeen_ = 0;
};

}  // namespace tarnel::testing
