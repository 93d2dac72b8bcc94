#include <signal.h>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "common/process/runtime_error.hpp"
#include "helper/runtime/privileged_runtime.hpp"
#include "tests/helper/runtime/privileged_runtime_test_support.hpp"

namespace tarnel::testing {
namespace {

using Exit = ChildProcess::ExitStatus;
using StopTunnelE2E = NamespaceTest;

double now() { return SystemClock::shared().uptime(); }

// The recorded runtime runs a tunnel interface; the stop ends it, with
// SIGKILL only when SIGTERM is ignored, restores DNS once, sees the interface
// go and clears the files and the runtime copy unless it is to be kept.
TEST_F(StopTunnelE2E, StopsTheRecordedRuntimeAndWaitsForItsInterfaceToGo) {
    const struct {
        std::string faults;
        bool keepBinary;
        double atLeast;
        double below;
        Exit exit;
    } cases[] = {
        // Far below the 2.0 s a runtime that ignores SIGTERM costs, with room
        // for a busy machine.
        {"", false, 0.0, 1.0, Exit{Exit::Kind::exited, 0}},
        {"ignore-sigterm", true, 2.0, 2.8, Exit{Exit::Kind::signaled, SIGKILL}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        NetworkNamespace space;
        RuntimeFixture fixture;
        const PrivilegedRuntime runtime = fixture.runtime();
        const auto prepared = fixture.prepareStandIn();
        fixture.write("tun-config.json", readFixture("tunnel-config/automatic-interface.json"));
        const ScopedStandInFault fault(c.faults);
        ChildProcess child = launchRecorded(runtime, prepared.binaryURL, &space);
        ASSERT_TRUE(waitForTunnelInterfaces(space, {"utun0"}, 10.0));

        std::optional<std::filesystem::path> keeping;
        if (c.keepBinary) keeping = prepared.binaryURL;
        const double start = now();
        space.inside([&] { runtime.stopTunnel(keeping); });
        const double took = now() - start;
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        ASSERT_TRUE(child.waitForExit(0.0));
        EXPECT_EQ(child.exitStatus(), c.exit);
        EXPECT_TRUE(waitForTunnelInterfaces(space, {}, 0.0));
        EXPECT_EQ(fixture.dnsRestores(), 1);
        const std::set<std::string> left = fixture.entries();
        EXPECT_EQ(left, c.keepBinary ? std::set<std::string>{prepared.binaryURL.filename().string()}
                                     : std::set<std::string>{});
    }
}

// An interface with the tunnel's address that outlives the process fails the
// stop once the wait is over, and the files stay for the next attempt.
TEST_F(StopTunnelE2E, AnInterfaceThatStaysFailsTheStopAndKeepsTheFiles) {
    NetworkNamespace space;
    space.addTunnel("utun5", "172.19.0.1/30");
    RuntimeFixture fixture;
    const PrivilegedRuntime runtime = fixture.runtime();
    const auto prepared = fixture.prepareStandIn();
    fixture.write("tun-config.json", "{}");
    ChildProcess child = launchRecorded(runtime, prepared.binaryURL, &space);

    const double start = now();
    std::optional<PrivilegedRuntimeError::Case> error;
    space.inside([&] {
        try {
            runtime.stopTunnel();
        } catch (const PrivilegedRuntimeError& failure) {
            error = failure.errorCase();
        }
    });
    const double took = now() - start;
    EXPECT_EQ(error, PrivilegedRuntimeError::Case::tunnelInterfaceDidNotDisappear);
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, 4.5);
    EXPECT_TRUE(child.waitForExit(0.0));
    EXPECT_EQ(fixture.dnsRestores(), 1);
    EXPECT_TRUE(fixture.exists("tun-state.json"));
    EXPECT_TRUE(fixture.exists("tun-config.json"));
}

}  // namespace
}  // namespace tarnel::testing
