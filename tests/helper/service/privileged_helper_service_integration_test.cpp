// The helper service's request checks, registry phases, operation lock and
// replies, over a runtime of its own, a registry and lock of its own, and a
// clock at uptime 100.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/base/clock.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/process/start_registry.hpp"
#include "helper/runtime/prepared_runtime_cache.hpp"
#include "helper/service/privileged_helper_service.hpp"
#include "tests/helper/protection/pfctl_standin.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

using Service = PrivilegedHelperService;

const std::string kInvalidRequest = "The privileged tunnel startup request is not valid.";
const std::string kCancelled = "The tunnel startup was cancelled.";
const std::string kAttempt = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

class HelperService : public ::testing::Test {
protected:
    Service service() {
        Service::Shared shared;
        shared.operationLock = &lock_;
        shared.registry = &registry_;
        shared.clock = &clock_;
        return Service(fixture_.runtime(), shared);
    }
    // Whether the registry holds an entry for the attempt, that is whether
    // the request passed its checks.
    bool registered(const std::string& attempt) {
        return registry_.entry(*Uuid::parse(attempt), clock_.uptime()).has_value();
    }
    // Waits until the attempt's phase is running; its entry then.
    PrivilegedTunnelStartRegistry::Entry runningEntry(const std::string& attempt) {
        for (int poll = 0; poll < 2000; ++poll) {
            const auto entry = registry_.entry(*Uuid::parse(attempt), clock_.uptime());
            if (entry && entry->active) return *entry;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        throw std::runtime_error("the phase never began");
    }

    FakeClock clock_{100.0};
    std::mutex lock_;
    PrivilegedTunnelStartRegistry registry_;
    RuntimeFixture fixture_;
    PfctlStandIn pf_{fixture_.directory().parent_path() / "pf"};
};

TEST_F(HelperService, RefusesAttemptsThatAreNotCanonicalAndCancelsAnyUUID) {
    const std::string lower = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
    const Service helper = service();
    EXPECT_EQ(helper.prepareRuntime(lower, 110.0), (Service::PrepareReply{std::nullopt, std::nullopt, kInvalidRequest}));
    EXPECT_EQ(helper.startTunnel("{}", std::nullopt, "token", lower, 110.0),
              (Service::StartReply{std::nullopt, std::nullopt, std::nullopt, kInvalidRequest}));
    EXPECT_EQ(helper.stopTunnelForAttempt(lower), (Service::FlagReply{true, std::nullopt}));  // nothing recorded
    fixture_.write("tun-state.json", PrivilegedRuntime::TunnelState{1234, "/x", 1, 2, kAttempt, std::nullopt}.encoded());
    EXPECT_EQ(helper.stopTunnelForAttempt(lower), (Service::FlagReply{false, kInvalidRequest}));
    EXPECT_FALSE(registered(kAttempt));

    EXPECT_EQ(helper.cancelTunnelStart(lower), (Service::FlagReply{true, std::nullopt}));
    EXPECT_TRUE(registry_.isCancelled(*Uuid::parse(kAttempt), 100.0));
    EXPECT_EQ(helper.cancelTunnelStart(""), (Service::FlagReply{false, kInvalidRequest}));
}

// The deadline windows, at uptime 100: a preparation may look 47 s ahead; a
// start 27 s, or 22 s with Tailscale data (an empty data object counts).
TEST_F(HelperService, AcceptsDeadlinesWithinTheirWindowsOnly) {
    const Service helper = service();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    struct Row {
        const char* operation;
        double deadline;
        bool accepted;
    };
    for (const Row& row : {Row{"prepare", 147.0, true}, Row{"prepare", 147.5, false}, Row{"prepare", nan, false},
                           Row{"prepare", infinity, false}, Row{"prepare", 100.0, false}, Row{"prepare", 0.0, false},
                           Row{"start", 127.0, true}, Row{"start", 127.5, false}, Row{"start", 100.0, false},
                           Row{"tailscale start", 122.0, true}, Row{"tailscale start", 122.5, false}}) {
        SCOPED_TRACE(std::string(row.operation) + " " + std::to_string(row.deadline));
        const std::string attempt = Uuid::random().text();
        std::optional<std::string> message;
        const std::string operation = row.operation;
        if (operation == "prepare") {
            message = helper.prepareRuntime(attempt, row.deadline).errorMessage;
        } else {
            const auto tailscale = operation == "start" ? std::nullopt : std::optional<std::string>("");
            message = helper.startTunnel("{}", tailscale, "token", attempt, row.deadline).errorMessage;
        }
        EXPECT_EQ(registered(attempt), row.accepted);
        EXPECT_EQ(message == kInvalidRequest, !row.accepted) << message.value_or("<none>");
    }
}

// An accepted start holds its phase until its deadline with the grace, and
// the Tailscale allowance when Tailscale data came; it waits for the lock
// after registering.
TEST_F(HelperService, RegistersTheStartUntilItsDeadlineWithGraceAndAllowance) {
    const Service helper = service();
    for (const auto& [tailscale, deadline] :
         {std::pair{std::optional<std::string>(), 127.0}, std::pair{std::optional<std::string>("{}"), 122.0}}) {
        const std::string attempt = Uuid::random().text();
        std::unique_lock held(lock_);
        auto reply = std::async(std::launch::async, [&, tailscale = tailscale, deadline = deadline] {
            return helper.startTunnel("{}", tailscale, "token", attempt, deadline);
        });
        EXPECT_EQ(runningEntry(attempt).expiresAt, 132.0);
        held.unlock();
        EXPECT_TRUE(reply.get().errorMessage.has_value());
        EXPECT_FALSE(registry_.entry(*Uuid::parse(attempt), 100.0)->active);
    }
}

TEST_F(HelperService, ACancelledAttemptIsRefusedWithoutWaitingForTheLock) {
    const Service helper = service();
    const std::unique_lock held(lock_);
    EXPECT_TRUE(helper.cancelTunnelStart(kAttempt).value);
    auto reply = std::async(std::launch::async, [&] { return helper.startTunnel("{}", std::nullopt, "t", kAttempt, 120.0); });
    ASSERT_EQ(reply.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reply.get(), (Service::StartReply{std::nullopt, std::nullopt, "cancelled", kCancelled}));
}

// While one preparation of an attempt runs (here waiting for another
// preparation of the process to end), a second one of the same attempt is
// refused as cancelled.
TEST_F(HelperService, OverlappingPreparationsOfOneAttemptAreRefused) {
    Service::Shared shared;
    shared.operationLock = &lock_;
    shared.registry = &registry_;
    const Service helper(fixture_.runtime(), shared);
    const PrivilegedRuntimePreparationControl other(
        PrivilegedRuntimePreparationRequest{Uuid::random(), SystemClock::shared().uptime() + 30.0}, [] { return false; });
    fixture_.cache().beginPreparation(other, SystemClock::shared());

    const std::string attempt = Uuid::random().text();
    const double deadline = SystemClock::shared().uptime() + 40.0;
    auto first = std::async(std::launch::async, [&] { return helper.prepareRuntime(attempt, deadline); });
    for (int poll = 0; poll < 2000 && !registry_.entry(*Uuid::parse(attempt), SystemClock::shared().uptime()); ++poll) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(helper.prepareRuntime(attempt, deadline),
              (Service::PrepareReply{std::nullopt, "cancelled", kCancelled}));
    // The cancellation reaches the waiting one too.
    EXPECT_TRUE(helper.cancelTunnelStart(attempt).value);
    EXPECT_EQ(first.get(), (Service::PrepareReply{std::nullopt, "cancelled", kCancelled}));
    fixture_.cache().finishPreparation();
}

// A stop or disconnect marks every attempt cancelled before it waits for the
// lock, so that a start holding the lock ends at its next checkpoint.
TEST_F(HelperService, StopAndDisconnectCancelEveryAttemptBeforeWaitingForTheLock) {
    const Service helper = service();
    for (const bool disconnect : {false, true}) {
        const Uuid attempt = Uuid::random();
        ASSERT_TRUE(registry_.begin(attempt, 130.0, 100.0));
        std::unique_lock held(lock_);
        auto reply = std::async(std::launch::async,
                                [&] { return disconnect ? helper.disconnectTunnel() : helper.stopTunnel(); });
        bool cancelled = false;
        for (int poll = 0; poll < 2000 && !cancelled; ++poll) {
            cancelled = registry_.isCancelled(attempt, 100.0);
            if (!cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(cancelled);
        EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        held.unlock();
        EXPECT_TRUE(reply.get().value);
    }
}

// A start that runs out of time replies with the message and no code.
TEST_F(HelperService, ADeadlinePassedInTheStartHasNoReplyCode) {
    Service::Shared shared;
    shared.operationLock = &lock_;
    shared.registry = &registry_;
    shared.clock = &clock_;
    // The runtime's own clock lies past the deadline the service admitted.
    auto environment = fixture_.environment();
    FakeClock late(500.0);
    environment.clock = std::shared_ptr<const Clock>(std::shared_ptr<const Clock>(), &late);
    const Service helper(PrivilegedRuntime::forLaunchRecovery(environment), shared);
    EXPECT_EQ(helper.startTunnel("{}", std::nullopt, "token", kAttempt, 120.0),
              (Service::StartReply{std::nullopt, std::nullopt, std::nullopt, "The tunnel startup exceeded its deadline."}));
}

TEST_F(HelperService, DisconnectTurnsProtectionOffOnlyAfterTheTunnelStopped) {
    const Service helper = service();
    const std::vector<std::string> flush{"-a", std::string(packetFilterAnchor), "-F", "all"};
    EXPECT_EQ(helper.disconnectTunnel(), (Service::FlagReply{true, std::nullopt}));
    int flushes = 0;
    for (const auto& call : pf_.calls()) flushes += call.arguments == flush ? 1 : 0;
    EXPECT_EQ(flushes, 1);

    pf_.clearCalls();
    fixture_.write("tun-state.json", "{");
    EXPECT_EQ(helper.disconnectTunnel(),
              (Service::FlagReply{false, "The protected tunnel state is invalid; no process was stopped."}));
    EXPECT_EQ(pf_.calls(), std::vector<PfctlCall>{});
    EXPECT_EQ(fixture_.read("tun-state.json"), "{");
}

TEST_F(HelperService, StopForAnAttemptStopsOnlyThatAttemptsTunnel) {
    const Service helper = service();
    EXPECT_EQ(helper.stopTunnelForAttempt(""), (Service::FlagReply{true, std::nullopt}));
    // A record of another attempt: nothing stopped, nothing said.
    const PrivilegedRuntime::TunnelState other{1234, "/x", 1, 2, Uuid::random().text(), std::nullopt};
    fixture_.write("tun-state.json", other.encoded());
    EXPECT_EQ(helper.stopTunnelForAttempt(kAttempt), (Service::FlagReply{false, std::nullopt}));
    EXPECT_EQ(fixture_.read("tun-state.json"), other.encoded());
    // Its own record: the stop runs (the recorded process is gone, so only the files go).
    const PrivilegedRuntime::TunnelState own{1234, "/x", 1, 2, kAttempt, std::nullopt};
    fixture_.write("tun-state.json", own.encoded());
    EXPECT_EQ(helper.stopTunnelForAttempt(kAttempt), (Service::FlagReply{true, std::nullopt}));
    EXPECT_FALSE(fixture_.exists("tun-state.json"));
    fixture_.write("tun-state.json", "not json");
    EXPECT_EQ(helper.stopTunnelForAttempt(kAttempt),
              (Service::FlagReply{false, "The protected tunnel state is invalid; no process was stopped."}));
}

TEST_F(HelperService, IdentifiesItself) {
    const Service helper = service();
    EXPECT_EQ(helper.protocolVersionQuery(), (Service::VersionReply{35, std::nullopt}));
    EXPECT_EQ(helper.helperIdentity(), (Service::IdentityReply{35, ::getpid(), std::nullopt}));
    EXPECT_EQ(helper.tunnelStatus(), (Service::StatusReply{std::nullopt, std::nullopt}));
    EXPECT_EQ(helper.tunnelProtectionStatus(), (Service::FlagReply{false, std::nullopt}));
    EXPECT_EQ(helper.renewTunnelProtectionLease().value, false);
}

}  // namespace
}  // namespace tarnel::testing
