#pragma once

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/state/app_state.hpp"
#include "app/http/curl_http_client.hpp"
#include "app/state/direct_secure_subscription_store.hpp"
#include "common/base/iso8601.hpp"
#include "platform/settings/memory_settings.hpp"
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
// with a virtual sleeper, a scripted helper and recording start-up tasks.
class AppStateFixture : public ::testing::Test {
protected:
    AppStateFixture() { testApplication(); }
    // The state's tasks end on later turns once it is gone.
    ~AppStateFixture() override {
        state.reset();
        runPostedEvents();
        releasePoolThreadState();
    }

    // Frees the OpenSSL state of each pool thread (a temporary file's random
    // name leaves some) on that thread. A thread frees it itself only while it
    // ends, after the pool has let it go: at the end of a test program that
    // can come after the leak check.
    void releasePoolThreadState() {
        const int threads = pool->maxThreadCount();
        std::latch together(threads);
        for (int thread = 0; thread < threads; ++thread) {
            pool->start([&together] {
                together.arrive_and_wait();
                OPENSSL_thread_stop();
            });
        }
        pool->waitForDone();
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
        environment.tunnelHealthCheck = healthCheck;
        if (failoverPauseJitter) environment.failoverPauseJitter = failoverPauseJitter;
        environment.quietUpdate = recordingTask("quiet update");
        environment.launchRecovery = recordingTask("launch recovery");
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
    // The traffic checks (none: the state's own probe) and the failover
    // pause's random part (none: the system's).
    std::function<TunnelHealthProbe::Result(double, std::stop_token)> healthCheck;
    std::function<int()> failoverPauseJitter;
    std::vector<std::string> arguments{"Tarnel Direct"};
    std::map<std::string, std::string> variables;

    std::vector<std::string> taskRuns;
    bool constructed = false;
    std::unique_ptr<AppState> state;
};

}  // namespace tarnel::testing
