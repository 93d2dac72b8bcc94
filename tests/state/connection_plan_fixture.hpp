#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "tests/state/app_state_fixture.hpp"
#include "tests/tunnel/netstat_standin.hpp"

namespace tarnel::testing {

// The attempt every connection-plan test plays.
inline const Uuid kAttempt = *Uuid::parse("3F2504E0-4F89-11D3-9A0C-0305E82C3301");

// A Trojan route to 203.0.113.5 on `port` whose configuration the validator
// accepts.
inline RouteNode trojanRoute(std::string id, std::optional<std::string> nodeCode, std::int64_t port = 7000) {
    RouteNode route;
    route.id = std::move(id);
    route.transport = RouteTransport::trojan;
    route.title = "Route " + route.id;
    route.nodeCode = std::move(nodeCode);
    route.server = "203.0.113.5";
    route.port = port;
    route.password = "secret";
    route.serverName = "tarnel.test";
    route.fingerprint = "chrome";
    return route;
}

// Traffic checks as a test scripts them: each run takes the next scripted
// outcome, moves the clock on by its duration and records its time-out. A
// run scripted to wait lasts until its stop is requested; an unscripted run
// fails every check at once.
class ScriptedProbe {
public:
    struct Run {
        std::array<bool, 3> passes{};  // IP route, DNS, HTTPS
        double seconds = 0.0;
        bool untilStopped = false;
    };

    explicit ScriptedProbe(std::shared_ptr<FakeClock> clock) : clock_(std::move(clock)) {}

    void script(std::vector<Run> runs) {
        std::lock_guard lock(mutex_);
        runs_.assign(runs.begin(), runs.end());
    }
    [[nodiscard]] std::vector<double> windows() const {
        std::lock_guard lock(mutex_);
        return windows_;
    }
    // Whether a run waits for its stop now.
    [[nodiscard]] bool waiting() const {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

    TunnelHealthProbe::Result run(double window, const std::stop_token& stop) {
        std::unique_lock lock(mutex_);
        windows_.push_back(window);
        Run next;
        if (!runs_.empty()) {
            next = runs_.front();
            runs_.pop_front();
        }
        if (next.untilStopped) {
            waiting_ = true;
            stopped_.wait(lock, stop, [] { return false; });
            waiting_ = false;
        }
        clock_->advance(next.seconds);
        TunnelHealthProbe::Result checks;
        for (std::size_t index = 0; index < checks.size(); ++index) checks[index] = {next.passes[index], next.seconds};
        return checks;
    }

private:
    std::shared_ptr<FakeClock> clock_;
    mutable std::mutex mutex_;
    std::condition_variable_any stopped_;
    std::deque<Run> runs_;
    std::vector<double> windows_;
    bool waiting_ = false;
};

// The application state at uptime 100.0, with the scripted probe, the
// netstat stand-in (printing an en0 default route) and the user's data
// directory of its own; a test plays Connect with playConnect. The monitors
// that the plan starts renew the lease once and then wait, parked, at their
// first sleep, so that they move neither the clock nor the plan's calls.
class ConnectionPlanFixture : public AppStateFixture {
protected:
    static constexpr ScriptedProbe::Run kPass{{true, true, true}, 0.0};
    static constexpr ScriptedProbe::Run kFail{{false, false, false}, 0.0};

    ConnectionPlanFixture() {
        clock->setUptime(100.0);
        sleeper->park(10.0);
        healthCheck = [probe = probe](double window, std::stop_token stop) { return probe->run(window, stop); };
        netstat.printing("Routing tables\n\nInternet:\nDestination        Gateway            Flags        Netif Expire\n"
                         "default 192.168.1.1 UGScg en0\n");
    }

    // Connect's part: the attempt, connecting, tun, and the runner in the
    // connection task.
    void playConnect(std::vector<RouteNode> plan, AppState::ConnectionPlanOptions options = {}) {
        AppState& app = *state;
        app.connectionAttemptID = kAttempt;
        app.setTunnelStatus(TunnelStatus::connecting);
        app.activeMode = ConnectionMode::tun;
        app.replaceTask(app.connectionTask, [plan = std::move(plan), options](AppState& owner, std::stop_token stop) {
            return owner.runConnectionPlan(plan, kAttempt, options, std::move(stop));
        });
    }
    // Runs the event loop until the runner has ended.
    [[nodiscard]] bool runnerEnded() {
        return runEventsUntil([&] { return !state->connectionTask.isSet() || state->connectionTask.isFinished(); });
    }

    // Awaits `call(state, stop)` in a task of its own; its result.
    template <typename Call>
    auto awaitTask(Call call) {
        using Result = typename decltype(call(*state, std::stop_token()))::value_type;
        std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
        state->startTask([&](AppState& owner, std::stop_token stop) -> QCoro::Task<> {
            if constexpr (std::is_void_v<Result>) {
                co_await call(owner, stop);
                result = true;
            } else {
                result = co_await call(owner, stop);
            }
        });
        EXPECT_TRUE(runEventsUntil([&] { return result.has_value(); }));
        if constexpr (!std::is_void_v<Result>) return result.value_or(Result{});
    }

    // The log's lines after the initial one, without their time stamps.
    [[nodiscard]] std::vector<std::string> logLines() const {
        std::istringstream text(state->diagnosticLog());
        std::vector<std::string> lines;
        std::string line;
        std::getline(text, line);
        while (std::getline(text, line)) lines.push_back(line.substr(line.find("] ") + 2));
        return lines;
    }
    // The helper's operations in the order called, but the lease monitor's
    // renewals, which run beside the plan.
    [[nodiscard]] std::vector<std::string> helperOperations() const {
        std::vector<std::string> operations;
        for (const auto& call : helper->calls()) {
            if (call.operation != "renewTunnelProtectionLease") operations.push_back(call.operation);
        }
        return operations;
    }
    // The settings keys of the route selection, as written.
    [[nodiscard]] std::optional<std::string> savedSetting(std::string_view key) const { return settings->string(key); }

    std::shared_ptr<ScriptedProbe> probe = std::make_shared<ScriptedProbe>(clock);
    NetstatStandIn netstat;
};

}  // namespace tarnel::testing
