#include "app/tunnel/tunnel_runtime_files.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace tarnel {
namespace {

const std::string kHeader =
    "Routing tables\n\nInternet:\nDestination        Gateway            Flags               Netif Expire\n";

TEST(TunnelRuntimeFiles, DefaultInterfaceIsTheFirstDefaultRouteThroughAnIPv4GatewayOnAnEnInterface) {
    struct Case {
        std::string name;
        std::string rows;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"plain", "default            192.168.1.1        UGScg                 en0       \n", "en0"},
        {"link-layer and tunnel defaults come first",
         "default            link#12            UCSIg                 en5\n"
         "default            10.0.0.1           UGScIg              utun3\n"
         "default            10.0.0.1           UGScIg                en7\n",
         "en7"},
        {"not an en interface", "default            192.168.1.1        UGScg           bridge100\n", std::nullopt},
        {"three fields", "default 192.168.1.1 en0\n", std::nullopt},
        {"tabs and CR LF", "default\t192.168.1.1\tUGScg\ten0\r\n", "en0"},
        {"any name beginning en", "default 10.0.0.1 UGSc enp3s0\n", "enp3s0"},
        {"default is matched exactly", "Default 192.168.1.1 UGScg en0\n", std::nullopt},
        {"the gateway must be a dotted quad", "default 192.168.1.1x UGScg en0\n", std::nullopt},
        {"gateway of four digits", "default 1921.168.1.1 UGScg en0\n", std::nullopt},
        {"a non-ASCII digit is no digit", "default 19\xD9\xA2.168.1.1 UGScg en0\n", std::nullopt},
        {"the last field names the interface", "default 192.168.1.1 UGScg en0 3600\n", std::nullopt},
        {"other routes only", "192.168.1.0/24     link#2             UCS                   en0\n", std::nullopt},
        {"a vertical tab ends a line", "default 10.0.0.9 UGScg\x0B" "utun1 en9\n", std::nullopt},
        {"lines end at VT, FF, NEL, LS and PS",
         "x\x0B" "y\x0C" "z\xC2\x85" "w\xE2\x80\xA8" "v\xE2\x80\xA9" "default 10.0.0.1 UGScg en1", "en1"},
        {"a no-break space is not a separator", "default 10.0.0.1\xC2\xA0UGScg en2\n", std::nullopt},
        {"ill-formed bytes are replaced, not separators", "default 10.0.0.1 UGScg \xFF" "en3\n", std::nullopt},
        {"no output", "", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TunnelRuntimeFiles::defaultIPv4InterfaceFromNetstat(kHeader + c.rows), c.expected) << c.name;
    }
}

TEST(TunnelRuntimeFiles, FilesLiveInTheApplicationSupportFolder) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("XDG_DATA_HOME", "/tmp/tarnel-user-data", 1);
    const Uuid attempt = *Uuid::parse("3f2504e0-4f89-11d3-9a0c-0305e82c3301");
    EXPECT_EQ(TunnelRuntimeFiles::directoryURL(), "/tmp/tarnel-user-data/Tarnel Direct");
    EXPECT_EQ(TunnelRuntimeFiles::tunnelConfigurationURL(), "/tmp/tarnel-user-data/Tarnel Direct/tun-config.json");
    EXPECT_EQ(TunnelRuntimeFiles::proxyConfigurationURL(), "/tmp/tarnel-user-data/Tarnel Direct/proxy-config.json");
    EXPECT_EQ(TunnelRuntimeFiles::attemptConfigurationURL(attempt),
              "/tmp/tarnel-user-data/Tarnel Direct/tun-config-3F2504E0-4F89-11D3-9A0C-0305E82C3301.json");
    if (previous) {
        ::setenv("XDG_DATA_HOME", previous->c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace tarnel
