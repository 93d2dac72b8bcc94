// The TUN configuration file written in a namespace of the test's own, whose
// routing table the netstat stand-in reads: the default route's interface is
// written, and without a default route automatic detection is.

#include "app/tunnel/tunnel_runtime_files.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/base/files.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/tunnel/netstat_standin.hpp"
#include "tests/tunnel/sample_routes.hpp"

namespace tarnel::testing {
namespace {

class TunnelRuntimeFilesNamespaceTest : public NamespaceTest {};

TEST_F(TunnelRuntimeFilesNamespaceTest, TheDefaultRouteOfEn0IsWrittenAndValidated) {
    NetstatStandIn netstat;
    NetworkNamespace peer;
    NetworkNamespace space;
    // en0's peer lives in a namespace of its own: nothing of the machine's is touched.
    space.addVeth("192.168.1.2/24", VethPeer{.space = &peer, .name = "en0", .address = "192.168.1.1/24"});
    space.ip({"route", "add", "default", "via", "192.168.1.1", "dev", "en0"});
    const RouteNode route = sampleRoute(RouteTransport::vless);

    const auto write = [&] {
        const std::filesystem::path url =
            space.inside([&] { return TunnelRuntimeFiles::writeTunnelConfiguration(route); });
        return files::readIfExists(url).value_or("");
    };

    const std::string pinned = write();
    EXPECT_NE(pinned.find("\"default_interface\" : \"en0\""), std::string::npos) << pinned;
    EXPECT_EQ(pinned.find("auto_detect_interface"), std::string::npos);
    EXPECT_EQ(PrivilegedTunnelConfigurationValidator::validate(pinned).defaultInterface, "en0");

    space.ip({"route", "del", "default"});
    const std::string detecting = write();
    EXPECT_NE(detecting.find("\"auto_detect_interface\" : true"), std::string::npos) << detecting;
    EXPECT_EQ(detecting.find("default_interface"), std::string::npos);
    EXPECT_EQ(PrivilegedTunnelConfigurationValidator::validate(detecting).defaultInterface, std::nullopt);

    EXPECT_EQ(netstat.runs().size(), 2u);
}

}  // namespace
}  // namespace tarnel::testing
