// The application's helper client against the helper program, as root, in a
// network namespace with en0 up: the client runs as "nobody" inside the
// signed application (helper_harness.hpp), one operation per run.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/base/files.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "tests/e2e/helper_harness.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;

using HelperClientE2E = HelperNamespaceTest;

// Printed in full, so that the client reads the same double.
std::string uptimeText(double uptime) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", uptime);
    return text;
}

// What a failed operation printed: its error's type and message.
std::string failure(const Reply& reply) {
    if (reply.exitStatus != 4) return "exit " + std::to_string(reply.exitStatus) + ": " + reply.values.dump();
    return reply.text("error_type") + ": " + reply.text("error");
}

const std::string kClosed = "TarnelDirect.PrivilegedHelperClientError: The privileged helper connection was closed.";

TEST_F(HelperClientE2E, ConnectsThroughTheHelperAsTheApplicationDoes) {
    HelperHarness harness(*space_);
    harness.startHelper();
    const std::string attempt = Uuid::random().text();

    const Reply identity = harness.operate("identity");
    ASSERT_EQ(identity.exitStatus, 0) << identity.values.dump();
    EXPECT_EQ(identity.values.at("result"),
              json::parse("{\"protocolVersion\":35,\"processIdentifier\":" + std::to_string(harness.helperPid()) + "}"));

    const Reply prepared = harness.operate("prepare", {attempt, uptimeText(now() + 40.0)});
    ASSERT_EQ(prepared.exitStatus, 0) << prepared.values.dump() << harness.log();
    const std::string token = prepared.values.at("result").at("token").get<std::string>();
    EXPECT_TRUE(PrivilegedHelperContract::parseCanonicalAttemptID(token)) << token;

    const fs::path configuration = harness.base() / "tun-config-to-send.json";
    // Read by the client after it gave up root.
    files::writeAtomically(configuration, readFixture("tunnel-config/plain-pinned-interface.json"), 0644);
    const double deadline = now() + 25.0;
    const Reply started =
        harness.operate("start", {configuration.string(), token, attempt, uptimeText(deadline)});
    ASSERT_EQ(started.exitStatus, 0) << started.values.dump() << harness.log();
    const auto pid = started.values.at("result").at("processIdentifier").get<std::int64_t>();
    EXPECT_GT(pid, 0);
    EXPECT_EQ(started.values.at("result").at("routeDeadline").get<double>(), deadline);
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {"utun0"}, 0.0));

    EXPECT_EQ(harness.operate("status").values.at("result"),
              json::parse("{\"processIdentifier\":" + std::to_string(pid) + "}"));
    EXPECT_EQ(harness.operate("protection").values.at("result"), json::parse(R"({"active":true})"));
    const Reply renewed = harness.operate("renew");
    EXPECT_EQ(renewed.exitStatus, 0) << renewed.values.dump();

    // Only this attempt's tunnel is stopped for it.
    EXPECT_EQ(harness.operate("stop-for-attempt", {Uuid::random().text()}).values.at("result"),
              json::parse(R"({"stopped":false})"));
    EXPECT_EQ(harness.operate("status").values.at("result"),
              json::parse("{\"processIdentifier\":" + std::to_string(pid) + "}"));
    EXPECT_EQ(harness.operate("stop-for-attempt", {attempt}).values.at("result"), json::parse(R"({"stopped":true})"));
    EXPECT_TRUE(waitForTunnelInterfaces(harness.space(), {}, 0.0));
    EXPECT_EQ(harness.operate("status").values.at("result"), json::parse("{}"));

    const Reply disconnected = harness.operate("disconnect");
    EXPECT_EQ(disconnected.exitStatus, 0) << disconnected.values.dump();
    EXPECT_EQ(harness.operate("protection").values.at("result"), json::parse(R"({"active":false})"));
    EXPECT_EQ(harness.pf().anchorRules(), "");
}

TEST_F(HelperClientE2E, ReportsTheHelpersRefusalsAsTheApplicationsErrors) {
    HelperHarness harness(*space_);
    harness.startHelper();
    const fs::path configuration = harness.base() / "tun-config-to-send.json";
    files::writeAtomically(configuration, readFixture("tunnel-config/plain-pinned-interface.json"), 0644);

    // A token that no preparation gave.
    EXPECT_EQ(failure(harness.operate("start", {configuration.string(), Uuid::random().text(), Uuid::random().text(),
                                                uptimeText(now() + 25.0)})),
              "TarnelDirect.PrivilegedHelperClientError: The signed tunnel runtime must be prepared again before "
              "connecting.");

    // An attempt cancelled before its preparation arrives.
    const std::string cancelled = Uuid::random().text();
    const Reply cancel = harness.operate("cancel", {cancelled});
    EXPECT_EQ(cancel.exitStatus, 0) << cancel.values.dump();
    EXPECT_EQ(failure(harness.operate("prepare", {cancelled, uptimeText(now() + 40.0)})),
              "TarnelDirect.CancellationError: The operation was cancelled.");

    // Root is turned away before the hello.
    EXPECT_EQ(failure(harness.operate("status", {}, true)), kClosed);
    EXPECT_EQ(harness.operate("disconnect").exitStatus, 0);

    harness.stopHelper();
    EXPECT_EQ(failure(harness.operate("status")), kClosed);
}

}  // namespace
}  // namespace tarnel::testing
