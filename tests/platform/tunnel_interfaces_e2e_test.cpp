#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/base/clock.hpp"
#include "common/process/runtime_error.hpp"
#include "platform/network_interfaces.hpp"
#include "platform/runtime_host.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

double now() { return SystemClock::shared().uptime(); }

using TunnelInterfacesE2E = testing::NamespaceTest;
using testing::NetworkNamespace;

TEST_F(TunnelInterfacesE2E, DiscoveryListsUpTunnelInterfacesCarryingTheTunnelAddress) {
    NetworkNamespace space;
    const auto discover = [&] { return space.inside([] { return RuntimeHost::activeTunnelInterfaces(); }); };
    EXPECT_TRUE(discover().empty());

    space.addTunnel("utun5", "172.19.0.1/30");
    EXPECT_EQ(discover(), std::set<std::string>{"utun5"});
    EXPECT_EQ(space.inside([] { return NetworkInterfaces::index("lo"); }), 1u);
    EXPECT_TRUE(space.inside([] { return NetworkInterfaces::index("utun5"); }));
    EXPECT_FALSE(space.inside([] { return NetworkInterfaces::index("utun99"); }));
    // The system reads the name up to a NUL byte: "utun5\0x" is no interface,
    // not utun5.
    EXPECT_FALSE(space.inside([] { return NetworkInterfaces::index(std::string("utun5\0x", 7)); }));
    // Not a tunnel name, or another address: not listed.
    space.addTunnel("utun7x", "172.19.0.1/30");
    space.addTunnel("utun6", "172.19.0.5/30");
    EXPECT_EQ(discover(), std::set<std::string>{"utun5"});

    space.ip({"link", "set", "utun5", "down"});
    EXPECT_TRUE(discover().empty());

    // Two tunnel interfaces with the address are both listed.
    space.ip({"link", "set", "utun5", "up"});
    space.addTunnel("utun8", "172.19.0.1/32");
    EXPECT_EQ(discover(), (std::set<std::string>{"utun5", "utun8"}));
}

TEST_F(TunnelInterfacesE2E, DisappearanceWaitEndsAtOnceWhenNoneExistsAndFailsWhenOneStays) {
    NetworkNamespace space;
    double took = space.inside([] {
        const double start = now();
        RuntimeHost::waitForTunnelInterfacesToDisappear();
        return now() - start;
    });
    EXPECT_LT(took, 0.1);

    space.addTunnel("utun5", "172.19.0.1/30");
    std::string message;
    took = space.inside([&] {
        const double start = now();
        try {
            RuntimeHost::waitForTunnelInterfacesToDisappear();
        } catch (const PrivilegedRuntimeError& error) {
            message = error.message();
        }
        return now() - start;
    });
    EXPECT_EQ(message, "The previous tunnel interface did not disappear during cleanup.");
    EXPECT_GE(took, 3.0);
    EXPECT_LT(took, 3.5);

    // Removed while the wait runs: the wait ends after the removal began, and
    // soon after.
    std::atomic<double> removing = 0.0;
    std::thread remover([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        removing = now();
        space.ip({"link", "del", "utun5"});
    });
    const double ended = space.inside([] {
        RuntimeHost::waitForTunnelInterfacesToDisappear();
        return now();
    });
    remover.join();
    EXPECT_GT(removing.load(), 0.0);
    EXPECT_GE(ended, removing.load());
    EXPECT_LT(ended - removing.load(), 0.5);
}

}  // namespace
}  // namespace tarnel
