#include "helper/protection/packet_filter_control.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>

#include "common/process/runtime_error.hpp"
#include "tests/helper/protection/socket_addresses.hpp"

namespace tarnel {
namespace {

TEST(PacketFilterControl, EnableTokenIsTheFirstMatchOfThePattern) {
    const struct {
        std::string output;
        std::optional<std::uint64_t> token;
    } cases[] = {
        {"No ALTQ support in kernel\nALTQ related functions disabled\npf enabled\nToken : 42\n", 42},
        {"Token:7", 7},
        {"Token  :\t\t 0012 trailing", 12},
        {"Token\n:\n9", 9},
        {"Token\xE2\x80\x83:\xC2\xA0" "5", 5},              // Unicode space separators
        {"Token : 3\nToken : 4\n", 3},                      // the first match
        {"Token : x\nToken : 8\n", 8},                      // the first that matches at all
        {"Tokens : 8", std::nullopt},                       // "s" stands between the word and the colon
        {"MyToken : 8", 8},                                 // the word may end another one
        {"Token : 18446744073709551615", 18446744073709551615ULL},
        {"Token : 18446744073709551616", std::nullopt},     // 2^64 does not fit
        {"Token : 99999999999999999999999", std::nullopt},
        {"Token : 18446744073709551616\nToken : 5", std::nullopt},  // the first match decides
        {"Token\x0B:\xC2\x85" "5", 5},                      // \s is all of White_Space: VT and NEL too
        {"Token\xE2\x80\xA8:\xE2\x80\xA9" "6", 6},              // and the line and paragraph separators
        {"Token\xE2\x80\x8B: 5", std::nullopt},             // a zero-width space is none
        {"token : 5", std::nullopt},
        {"Token : -5", std::nullopt},
        {"Token : \xD9\xA5", std::nullopt},                 // only ASCII digits
        {"pf enabled\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(packetFilterEnableToken(c.output), c.token) << c.output;
    }
}

using testing::ipv4;
using testing::ipv6;

TEST(PacketFilterControl, EndpointAddressesComeFromTheResolverUnlessTheHostIsALiteral) {
    std::vector<std::string> asked;
    const auto resolver = [&](std::optional<std::vector<sockaddr_storage>> answer) -> EndpointResolver {
        return [&asked, answer](const std::string& host) {
            asked.push_back(host);
            return answer;
        };
    };
    // Literals come back as written, without a lookup.
    for (const char* literal : {"203.0.113.5", "2001:db8::7", "0:0:0:0:0:0:0:1"}) {
        EXPECT_EQ(resolveEndpointAddresses(literal, resolver(std::nullopt)), std::vector<std::string>{literal});
    }
    EXPECT_TRUE(asked.empty());

    // Distinct, ascending as text, IPv4 and IPv6; other families skipped.
    sockaddr_storage local{};
    local.ss_family = AF_UNIX;
    const std::vector<sockaddr_storage> answers = {ipv4("9.9.9.9"), ipv6("2001:db8::1"), ipv4("10.0.0.2"),
                                                   ipv4("9.9.9.9"), local};
    EXPECT_EQ(resolveEndpointAddresses("vpn.example.net", resolver(answers)),
              (std::vector<std::string>{"10.0.0.2", "2001:db8::1", "9.9.9.9"}));
    EXPECT_EQ(asked, std::vector<std::string>{"vpn.example.net"});
    // A scoped IPv6 answer keeps its scope as the resolver prints it.
    const unsigned int loopback = ::if_nametoindex("lo");
    ASSERT_NE(loopback, 0u);
    EXPECT_EQ(resolveEndpointAddresses("link.example.net", resolver(std::vector{ipv6("fe80::1", loopback)})),
              std::vector<std::string>{"fe80::1%lo"});

    // Nothing resolved, an empty answer or only other families: resolution failed.
    for (const auto& answer : {std::optional<std::vector<sockaddr_storage>>(),
                               std::optional(std::vector<sockaddr_storage>{}),
                               std::optional(std::vector<sockaddr_storage>{local})}) {
        try {
            (void)resolveEndpointAddresses("vpn.example.net", resolver(answer));
            ADD_FAILURE() << "resolved";
        } catch (const PrivilegedRuntimeError& error) {
            EXPECT_EQ(error.errorCase(), PrivilegedRuntimeError::Case::endpointResolutionFailed);
            EXPECT_EQ(error.message(), "The protected tunnel endpoint could not be resolved.");
        }
    }
}

TEST(PacketFilterControl, PhysicalAddressesAreThoseOfEnInterfacesOrOfTheNamedOne) {
    using Entry = NetworkInterfaces::InterfaceAddress;
    const std::vector<Entry> list = {
        {"lo", IFF_UP, "127.0.0.1"},
        {"en0", IFF_UP, "192.168.1.20"},
        {"en0", IFF_UP, "fe80::1"},  // as listed: without its scope
        {"en0", IFF_UP, std::nullopt},
        {"en1", 0, "10.0.0.9"},  // down, still counted
        {"en1", 0, "192.168.1.20"},
        {"en", IFF_UP, "10.9.9.9"},
        {"en0x", IFF_UP, "10.9.9.8"},
        {"utun5", IFF_UP, "172.19.0.1"},
        {"bridge0", IFF_UP, "10.1.1.1"},
    };
    EXPECT_EQ(physicalInterfaceAddresses(list, std::nullopt),
              (std::vector<std::string>{"10.0.0.9", "192.168.1.20", "fe80::1"}));
    EXPECT_EQ(physicalInterfaceAddresses(list, std::string("en1")),
              (std::vector<std::string>{"10.0.0.9", "192.168.1.20"}));
    // A named interface need not be an en interface.
    EXPECT_EQ(physicalInterfaceAddresses(list, std::string("bridge0")), std::vector<std::string>{"10.1.1.1"});
    EXPECT_TRUE(physicalInterfaceAddresses(list, std::string("en7")).empty());
    EXPECT_TRUE(physicalInterfaceAddresses({}, std::nullopt).empty());
}

}  // namespace
}  // namespace tarnel
