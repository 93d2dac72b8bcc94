// The helper program end to end, as root, in a network namespace with en0
// up, its client playing the application (helper_harness.hpp).

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;

using HelperE2E = HelperNamespaceTest;

TEST_F(HelperE2E, RefusesToRunAsAnyoneButRoot) {
    HelperHarness harness(*space_);
    ChildProcess::Options options;
    options.executable = "/usr/bin/setpriv";
    options.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups",
                         buildProduct("helper/program/tarnel-helper-test").string()};
    options.environment = harness.helperEnvironment();
    ChildProcess helper = ChildProcess::spawn(options);
    ASSERT_TRUE(helper.waitForExit(10.0));
    EXPECT_EQ(helper.exitStatus()->terminationStatus(), 1);
    EXPECT_FALSE(fs::exists(harness.socket()));
    EXPECT_FALSE(fs::exists(harness.socket().parent_path()));
    EXPECT_FALSE(fs::exists(harness.runtime()));
    EXPECT_EQ(harness.log(), "");
}

TEST_F(HelperE2E, AdmitsOnlyTheSignedApplicationRunByAUser) {
    HelperHarness harness(*space_);
    harness.startHelper();
    const std::string logBefore = harness.log();

    // Root is turned away before any code-signing work: nothing is logged.
    const Reply asRoot = harness.call("helperIdentityWithReply:", {}, true);
    EXPECT_EQ(asRoot.exitStatus, 3);
    EXPECT_EQ(asRoot.text("ipc_error"), ipc::IPCError(ipc::IPCError::Case::refused).message());
    EXPECT_EQ(harness.log(), logBefore);

    // The client program outside the signed application.
    const Reply unsigned_ = harness.call("helperIdentityWithReply:", {}, false,
                                         buildProduct("tools/helper-client/tarnel-helper-client"));
    EXPECT_EQ(unsigned_.text("ipc_error"), ipc::IPCError(ipc::IPCError::Case::refused).message());

    const Reply identity = harness.call("helperIdentityWithReply:");
    ASSERT_EQ(identity.exitStatus, 0) << identity.values.dump();
    EXPECT_EQ(identity.values, json::parse("{\"version\":35,\"processIdentifier\":" +
                                           std::to_string(harness.helperPid()) + "}"));
}

// A recovery that takes its time (a recorded runtime outside the runtime
// directory that holds out against SIGTERM) delays the first reply: callers
// wait in the backlog until the earlier run's state is settled.
TEST_F(HelperE2E, ServesNoOneBeforeLaunchRecoveryEnded) {
    HelperHarness harness(*space_);
    files::ensurePrivateDirectory(harness.runtime());
    const auto runtime = PrivilegedRuntime::forLaunchRecovery(harness.environment());
    std::optional<ChildProcess> stranger;
    {
        const ScopedStandInFault fault("ignore-sigterm");
        files::writeAtomically(harness.base() / "config.json", readFixture("tunnel-config/plain-pinned-interface.json"));
        stranger.emplace(launchRecorded(runtime, buildProduct("standins/sing-box/sing-box"), &harness.space(),
                                        harness.base() / "config.json"));
    }
    harness.startHelper();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double asked = now();
    const Reply identity = harness.call("protocolVersionWithReply:");
    EXPECT_EQ(identity.values, json::parse(R"({"version":35})"));
    EXPECT_GT(now() - asked, 1.0);
    EXPECT_FALSE(stranger->isRunning());
    EXPECT_FALSE(fs::exists(harness.runtime() / "tun-state.json"));
}

TEST_F(HelperE2E, StartsStopsAndAdoptsATunnel) {
    HelperHarness harness(*space_);
    harness.startHelper();
    const std::string attempt = Uuid::random().text();

    const Reply prepared = harness.call("prepareRuntimeWithAttemptIdentifier:deadlineUptime:withReply:",
                                        {"attemptIdentifier=text:" + attempt,
                                         "deadlineUptime=number:" + std::to_string(now() + 40.0)});
    ASSERT_TRUE(prepared.has("token")) << prepared.values.dump();

    const fs::path configuration = harness.base() / "tun-config-to-send.json";
    // Read by the client after it gave up root.
    files::writeAtomically(configuration, readFixture("tunnel-config/plain-pinned-interface.json"), 0644);
    // Printed in full, so that the helper reads the same double.
    const double deadline = now() + 25.0;
    char deadlineText[32];
    std::snprintf(deadlineText, sizeof deadlineText, "%.17g", deadline);
    const Reply started = harness.call(kStartSelector, {"configuration=data-file:" + configuration.string(),
                                                        "preparedRuntimeToken=text:" + prepared.text("token"),
                                                        "attemptIdentifier=text:" + attempt,
                                                        "deadlineUptime=number:" + std::string(deadlineText)});
    ASSERT_TRUE(started.has("processIdentifier")) << started.values.dump() << harness.log();
    EXPECT_EQ(started.values.at("routeDeadline").get<double>(), deadline);
    const auto pid = started.values.at("processIdentifier").get<std::int64_t>();

    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {"utun0"}, 0.0));
    EXPECT_NE(harness.pf().anchorRules().find("pass out quick on utun0 all keep state"), std::string::npos);
    EXPECT_EQ(harness.call("tunnelStatusWithReply:").values, json::parse("{\"processIdentifier\":" + std::to_string(pid) + "}"));

    // A helper killed in the middle of the tunnel adopts it when it comes back.
    harness.killHelper();
    harness.startHelper();
    // Adopted, not stopped or re-protected by a fallback.
    EXPECT_EQ(harness.log().find("kill_switch_restore_failed"), std::string::npos) << harness.log();
    EXPECT_EQ(harness.call("tunnelStatusWithReply:").values, json::parse("{\"processIdentifier\":" + std::to_string(pid) + "}"));
    EXPECT_EQ(harness.call("tunnelProtectionStatusWithReply:").values, json::parse(R"({"active":true})"));
    EXPECT_NE(harness.pf().anchorRules().find("pass out quick on utun0 all keep state"), std::string::npos);

    EXPECT_EQ(harness.call("stopTunnelForAttemptWithAttemptIdentifier:withReply:", {"attemptIdentifier=text:" + attempt})
                  .values,
              json::parse(R"({"ok":true})"));
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {}, 0.0));
    EXPECT_EQ(harness.call("disconnectTunnelWithReply:").values, json::parse(R"({"ok":true})"));
    EXPECT_EQ(harness.pf().anchorRules(), "");
}

}  // namespace
}  // namespace tarnel::testing
