#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>

#include "common/process/runtime_error.hpp"
#include "platform/runtime_host.hpp"

namespace tarnel {
namespace {

using NetworkInterfaces::InterfaceAddress;

TEST(RuntimeHost, TunnelInterfaceNamesAreUtunAndDigitsOnly) {
    for (const char* name : {"utun0", "utun5", "utun123"}) {
        EXPECT_TRUE(RuntimeHost::isTunnelInterfaceName(name)) << name;
    }
    for (const char* name : {"utun", "utun7x", "utun5\n", "xutun5", "UTUN5", "utun-1", "utun 5", "en0", "", "utun５"}) {
        EXPECT_FALSE(RuntimeHost::isTunnelInterfaceName(name)) << name;
    }
}

TEST(RuntimeHost, TunnelInterfacesAreUpAndCarryTheTunnelAddress) {
    const unsigned up = IFF_UP | IFF_RUNNING;
    const std::vector<InterfaceAddress> addresses = {
        {"lo", up, "127.0.0.1"},
        {"utun5", up, "172.19.0.1"},
        {"utun5", up, "fe80::1"},      // a second address of the same interface
        {"utun5", up, std::nullopt},   // its link-layer entry
        {"utun6", 0, "172.19.0.1"},    // down
        {"utun7", up, "172.19.0.5"},   // another address
        {"utun7x", up, "172.19.0.1"},  // not a tunnel name
        {"en0", up, "172.19.0.1"},
        {"utun9", up, "172.19.0.1"},   // a second tunnel interface is listed too
    };
    EXPECT_EQ(RuntimeHost::tunnelInterfaces(addresses), (std::set<std::string>{"utun5", "utun9"}));
    EXPECT_TRUE(RuntimeHost::tunnelInterfaces({}).empty());
}

TEST(RuntimeHost, NumericHostAddressDropsTheScopeAndRefusesOtherFamilies) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    ::inet_pton(AF_INET, "172.19.0.1", &v4.sin_addr);
    EXPECT_EQ(RuntimeHost::numericHostAddress(reinterpret_cast<const sockaddr*>(&v4)), "172.19.0.1");

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
    v6.sin6_scope_id = 1;  // the loopback interface: printed as "fe80::1%lo"
    EXPECT_EQ(RuntimeHost::numericHostAddress(reinterpret_cast<const sockaddr*>(&v6)), "fe80::1");
    ::inet_pton(AF_INET6, "2001:db8::5", &v6.sin6_addr);
    v6.sin6_scope_id = 0;
    EXPECT_EQ(RuntimeHost::numericHostAddress(reinterpret_cast<const sockaddr*>(&v6)), "2001:db8::5");

    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_EQ(RuntimeHost::numericHostAddress(reinterpret_cast<const sockaddr*>(&local)), std::nullopt);
    EXPECT_EQ(RuntimeHost::numericHostAddress(nullptr), std::nullopt);
}

TEST(RuntimeHost, DisappearanceWaitReturnsWhenNoneRemainsAndFailsAfterThreeSeconds) {
    FakeClock clock(50.0);
    int looks = 0;
    RuntimeHost::waitForTunnelInterfacesToDisappear(clock, [&] {
        ++looks;
        return std::set<std::string>{};
    });
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(clock.uptime(), 50.0);

    // Gone after a second: the wait ends then, having looked every 0.05 s.
    looks = 0;
    RuntimeHost::waitForTunnelInterfacesToDisappear(clock, [&] {
        ++looks;
        return clock.uptime() < 51.0 - 1e-9 ? std::set<std::string>{"utun5"} : std::set<std::string>{};
    });
    EXPECT_NEAR(clock.uptime(), 51.0, 1e-6);
    EXPECT_EQ(looks, 21);

    clock.setUptime(100.0);
    try {
        RuntimeHost::waitForTunnelInterfacesToDisappear(clock, [] { return std::set<std::string>{"utun5"}; });
        ADD_FAILURE() << "the wait returned";
    } catch (const PrivilegedRuntimeError& error) {
        EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::tunnelInterfaceDidNotDisappear);
        EXPECT_EQ(error.message(), "The previous tunnel interface did not disappear during cleanup.");
    }
    EXPECT_NEAR(clock.uptime(), 103.0, 0.05 + 1e-6);
}

}  // namespace
}  // namespace tarnel
