// The netstat stand-in prints the routing table of the namespace it runs in,
// in the system tool's form.

#include <net/if.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/network_namespace.hpp"

namespace tarnel::testing {
namespace {

class NetstatStandInNamespaceTest : public NamespaceTest {};

TEST_F(NetstatStandInNamespaceTest, PrintsTheNamespacesIPv4TableInTheSystemsForm) {
    for (const char* name : {"TARNEL_NETSTAT_CALLS", "TARNEL_NETSTAT_OUTPUT", "TARNEL_NETSTAT_EXIT_STATUS",
                             "TARNEL_NETSTAT_HANG"}) {
        ::unsetenv(name);
    }
    NetworkNamespace peer;
    NetworkNamespace space;
    space.addVeth("192.168.1.2/24", VethPeer{.space = &peer, .name = "en0", .address = "192.168.1.1/24"});
    space.ip({"route", "add", "default", "via", "192.168.1.1", "dev", "en0"});
    space.ip({"route", "add", "10.20.30.40", "dev", "en0"});
    space.ip({"route", "add", "blackhole", "10.99.0.0/16"});  // no interface: left out
    const unsigned index = space.inside([] { return ::if_nametoindex("en0"); });
    ASSERT_NE(index, 0u);
    const std::string link = "link#" + std::to_string(index);

    const BoundedCommandResult result = space.run({TARNEL_STANDIN_NETSTAT, {"-rn", "-f", "inet"}});
    EXPECT_EQ(result.terminationStatus, 0);
    std::string expected =
        "Routing tables\n"
        "\n"
        "Internet:\n"
        "Destination        Gateway            Flags               Netif Expire\n"
        "default            192.168.1.1        UGScg                 en0\n";
    expected += "10.20.30.40        " + link + std::string(18 - link.size(), ' ') + " UCS                   en0\n";
    expected += "192.168.1.0/24     " + link + std::string(18 - link.size(), ' ') + " UCS                   en0\n";
    EXPECT_EQ(result.output, expected);
}

}  // namespace
}  // namespace tarnel::testing
