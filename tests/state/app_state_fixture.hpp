#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <vector>

#include "app/state/app_state.hpp"
#include "app/http/curl_http_client.hpp"
#include "app/state/direct_secure_subscription_store.hpp"
#include "common/base/iso8601.hpp"
#include "common/process/system_tools.hpp"
#include "platform/settings/memory_settings.hpp"
#include "tests/state/scripted_proxy_process.hpp"
#include "tests/state/state_test_support.hpp"
#include "tests/support/fake_keychain.hpp"
#include "tests/support/scripted_helper_client.hpp"
#include "tests/support/test_support.hpp"

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

// Sets an environment variable for its life, restoring it afterwards.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* saved = std::getenv(name)) saved_ = saved;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironmentVariable() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// An application state over memory settings, a fake keychain, a fake clock
// with a virtual sleeper, a scripted helper, a scripted proxy runtime,
// scripted traffic checks and recording start-up tasks. The application's
// runtime files go to a folder of the test.
class AppStateFixture : public ::testing::Test {
protected:
    AppStateFixture() {
        testApplication();
        helper->onHelperIdentity = [](double) { return PrivilegedHelperIdentity{35, 4242}; };
    }
    // The state's tasks end on later turns once it is gone.
    ~AppStateFixture() override {
        state.reset();
        runPostedEvents();
    }

    // The state built over the fixture's environment; `constructed` turns
    // true once its constructor has returned.
    AppState& start() {
        AppEnvironment environment;
        environment.settings = settings;
        environment.keychain = keychain;
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
        environment.networkConnectionList = [this] { return networkConnectionList(); };
        environment.ensureHelper = [this] { return ensureHelper(); };
        environment.proxyProcess = proxy;
        environment.trafficChecks = [this](const TunnelHealthProbe&, std::optional<double> timeout,
                                           std::stop_token) { return trafficChecks(timeout); };
        environment.clipboardText = [this] { return clipboard; };
        environment.quietUpdate = recordingTask("quiet update");
        environment.launchRecovery = launchRecovery ? launchRecoveryTask() : recordingTask("launch recovery");
        state = std::make_unique<AppState>(std::move(environment));
        constructed = true;
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

    // The lines appended to the log since `from` lines were there (the
    // initial line counts as one), each without its time stamp.
    [[nodiscard]] std::vector<std::string> logLines(std::size_t from = 1) const {
        std::vector<std::string> lines;
        const std::string& log = state->diagnosticLog();
        std::size_t index = 0;
        for (std::size_t begin = 0; begin <= log.size(); ++index) {
            const std::size_t end = std::min(log.find('\n', begin), log.size());
            std::string line = log.substr(begin, end - begin);
            if (index >= from) {
                const std::size_t stamp = line.starts_with('[') ? line.find("] ") : std::string::npos;
                lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
            }
            begin = end + 1;
        }
        return lines;
    }

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
    std::shared_ptr<FakeClock> clock =
        std::make_shared<FakeClock>(1000.0, static_cast<double>(*iso8601::parse("2024-03-05T06:07:08Z")));
    std::shared_ptr<VirtualSleeper> sleeper = std::make_shared<VirtualSleeper>(clock);
    std::shared_ptr<QThreadPool> pool = makeTaskPool();
    std::shared_ptr<ScriptedHelperClient> helper = std::make_shared<ScriptedHelperClient>();
    std::function<std::optional<std::string>(const Uuid&, double, std::stop_token)> snapshot =
        [](const Uuid&, double, std::stop_token) { return std::optional<std::string>(); };
    std::optional<std::string> trustRoot;
    std::vector<std::string> arguments{"Tarnel Direct"};
    std::map<std::string, std::string> variables;

    // The scutil list of network connections; no VPN connected.
    std::function<std::string()> networkConnectionList = [] { return std::string(); };
    // A live helper of version 35 answers, asked like the installer asks it.
    std::function<PrivilegedHelperIdentity()> ensureHelper = [this] { return helper->helperIdentity(2.0); };
    std::shared_ptr<ScriptedProxyProcess> proxy = std::make_shared<ScriptedProxyProcess>(clock);
    // Every traffic check passes.
    std::function<TunnelHealthProbe::Result(std::optional<double> timeout)> trafficChecks = [](std::optional<double>) {
        return TunnelHealthProbe::Result{{{true, 0.1}, {true, 0.1}, {true, 0.1}}};
    };
    std::optional<std::string> clipboard;
    // The environment gets the real launch recovery in place of a recording task.
    bool launchRecovery = false;

    // The application's runtime folder, below a data folder of the test; no
    // interface lookup finds its tool, so configurations bind to none.
    TemporaryDirectory dataHome;
    ScopedEnvironmentVariable dataHomeVariable{"XDG_DATA_HOME", dataHome.path().string()};
    SystemTools::ScopedMapping noNetstat{SystemTools::netstat, dataHome.path() / "no-netstat"};

    std::vector<std::string> taskRuns;
    bool constructed = false;
    std::unique_ptr<AppState> state;
};

}  // namespace tarnel::testing
