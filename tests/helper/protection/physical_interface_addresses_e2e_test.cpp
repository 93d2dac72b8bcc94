#include <gtest/gtest.h>
#include <unistd.h>

#include "helper/protection/packet_filter_control.hpp"
#include "tests/support/network_namespace.hpp"

namespace tarnel {
namespace {

using testing::NetworkNamespace;
using Addresses = std::vector<std::string>;

TEST(PhysicalInterfaceAddressesE2E, TheSystemsInterfaceListIsReadAndFiltered) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and its interfaces";
    NetworkNamespace space;
    space.ip({"link", "add", "en0", "type", "veth", "peer", "name", "en1"});
    space.ip({"link", "add", "bridge0", "type", "veth", "peer", "name", "peer0"});
    // No address of its own making on en0: only the ones given here.
    space.ip({"link", "set", "dev", "en0", "addrgenmode", "none"});
    space.ip({"addr", "add", "192.168.1.20/24", "dev", "en0"});
    space.ip({"addr", "add", "fe80::1/64", "dev", "en0", "nodad"});
    space.ip({"addr", "add", "2001:db8::20/64", "dev", "en0", "nodad"});
    space.ip({"link", "set", "en0", "up"});
    space.ip({"addr", "add", "10.0.0.9/8", "dev", "en1"});  // left down: still listed
    space.ip({"addr", "add", "10.1.1.1/24", "dev", "bridge0"});

    // The link-local address comes without its scope suffix.
    EXPECT_EQ(space.inside([] { return physicalInterfaceAddresses(std::nullopt); }),
              (Addresses{"10.0.0.9", "192.168.1.20", "2001:db8::20", "fe80::1"}));
    EXPECT_EQ(space.inside([] { return physicalInterfaceAddresses(std::string("bridge0")); }), Addresses{"10.1.1.1"});
    EXPECT_EQ(space.inside([] { return physicalInterfaceAddresses(std::string("en1")); }), Addresses{"10.0.0.9"});
    EXPECT_TRUE(space.inside([] { return physicalInterfaceAddresses(std::string("en9")); }).empty());
}

}  // namespace
}  // namespace tarnel
