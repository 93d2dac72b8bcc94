#include "helper/protection/pf_state_cleanup_planner.hpp"

#include <gtest/gtest.h>

#include "common/contract/helper_contract.hpp"

namespace tarnel::PrivilegedPFStateCleanupPlanner {
namespace {

using T = TailscaleUnderlayTransport;
using Targets = std::vector<PrivilegedPFStateKillTarget>;

const std::vector<TailscaleUnderlayEndpoint> kUnderlay = {
    {"198.51.100.7", 443, T::tcp},
    {"198.51.100.7", 3478, T::udp},
    {"192.0.2.9", 41641, T::udp},
    {"2001:db8::9", 443, T::tcp},
};
const std::vector<std::string> kAddresses = {"192.168.1.20", "2001:db8::5"};

template <typename Body>
std::string reason(Body body) {
    try {
        body();
    } catch (const PrivilegedHelperContractError& error) {
        return error.reason();
    }
    return "accepted";
}

TEST(PFStateCleanupPlanner, KillsEveryPairFromAPhysicalAddressThatCarriesNoAllowedTailscaleState) {
    const std::string listing =
        "No ALTQ support in kernel\n"
        "ALTQ related functions disabled\n"
        // Allowed: TCP to an underlay TCP endpoint.
        "ALL tcp 192.168.1.20:52344 -> 198.51.100.7:443       ESTABLISHED:ESTABLISHED\n"
        // Not allowed (UDP not from 41641), but its pair carries an allowed state.
        "ALL udp 192.168.1.20:5353 -> 198.51.100.7:3478       MULTIPLE:MULTIPLE\n"
        // UDP to an underlay endpoint from another port; then TCP to a UDP
        // endpoint; then the same again: one target.
        "ALL udp 192.168.1.20:5353 -> 192.0.2.9:41641       MULTIPLE:MULTIPLE\r\n"
        "ALL tcp 192.168.1.20:1 -> 192.0.2.9:41641       SYN_SENT:CLOSED\n"
        "ALL udp 192.168.1.20:5353 -> 192.0.2.9:41641       MULTIPLE:MULTIPLE\n"
        "\n"
        "   \t\n"
        // Inbound to us: the source is the remote host, not one of ours.
        "ALL tcp 192.168.1.20:22 <- 203.0.113.5:50000       ESTABLISHED:ESTABLISHED\n"
        // NAT lines: the first address that reads as an endpoint is the left one.
        "ALL tcp 10.0.0.2:5000 (192.168.1.20:6000) -> 198.51.100.7:80       ESTABLISHED:ESTABLISHED\n"
        "ALL tcp 192.168.1.20:6000 (10.0.0.2:5000) -> 198.51.100.8:443       ESTABLISHED:ESTABLISHED\n"
        // IPv6: allowed TCP, and UDP from 41641 to an address that is no endpoint.
        "ALL tcp 2001:db8::5[52344] -> 2001:db8::9[443]       ESTABLISHED:ESTABLISHED\n"
        "ALL udp 2001:db8::5[41641] -> 2001:db8::a[3478]       MULTIPLE:MULTIPLE\n"
        // ICMP is never allowed; a destination without a port never matches.
        "ALL icmp 192.168.1.20:7 -> 198.51.100.70:7       0:0\n"
        "ALL icmp6 [2001:db8::b] <- [2001:db8::5]       0:0\n"
        "ALL udp 192.168.1.20:41641 -> 203.0.113.77       MULTIPLE:MULTIPLE\n";
    EXPECT_EQ(killTargets(listing, kAddresses, kUnderlay), (Targets{
                                                               {"192.168.1.20", "192.0.2.9"},
                                                               {"192.168.1.20", "198.51.100.70"},
                                                               {"192.168.1.20", "198.51.100.8"},
                                                               {"192.168.1.20", "203.0.113.77"},
                                                               {"2001:db8::5", "2001:db8::a"},
                                                               {"2001:db8::5", "2001:db8::b"},
                                                           }));
    // UDP from 41641 to an underlay UDP endpoint keeps its pair, even beside
    // a state of the same pair that is not allowed.
    EXPECT_EQ(killTargets("ALL udp 192.168.1.20:5353 -> 192.0.2.9:41641 M\n"
                          "ALL udp 192.168.1.20:41641 -> 192.0.2.9:41641 M\n",
                          kAddresses, kUnderlay),
              Targets{});
    // A state from an address that is not ours is ignored, whatever its destination.
    EXPECT_EQ(killTargets("ALL udp 192.168.1.21:1 -> 203.0.113.1:2 M", kAddresses, kUnderlay), Targets{});
    // Nothing to kill in a listing without states.
    EXPECT_EQ(killTargets("", kAddresses, kUnderlay), Targets{});
    EXPECT_EQ(killTargets("\nNo ALTQ support in kernel\n  ALTQ related functions disabled \r\n\n", kAddresses,
                          kUnderlay),
              Targets{});
}

TEST(PFStateCleanupPlanner, InputsAreCheckedBeforeTheListing) {
    const auto plan = [](const std::string& listing, const std::vector<std::string>& addresses,
                         const std::vector<TailscaleUnderlayEndpoint>& underlay) {
        return reason([&] { (void)killTargets(listing, addresses, underlay); });
    };
    std::vector<std::string> many;
    for (int i = 0; i < 33; ++i) many.push_back("192.0.2." + std::to_string(i + 1));
    const std::string malformed = "garbage\n";
    EXPECT_EQ(plan(malformed, {}, {}), "Tailscale underlay endpoint count is invalid");
    EXPECT_EQ(plan(malformed, {}, {{"192.0.2.9", 0, T::udp}}), "Tailscale underlay endpoint is invalid");
    EXPECT_EQ(plan(malformed, {}, kUnderlay), "PF state cleanup input is invalid");
    EXPECT_EQ(plan(malformed, many, kUnderlay), "PF state cleanup input is invalid");
    EXPECT_EQ(plan(malformed, {"192.168.1.20", "en0"}, kUnderlay), "PF state cleanup input is invalid");
    many.pop_back();
    EXPECT_EQ(plan(malformed, many, kUnderlay), "PF state table format is unsupported");
    // The size counts bytes: exactly 4 MiB passes, one byte more fails.
    EXPECT_EQ(plan(std::string(maximumStateTableBytes, '\n'), kAddresses, kUnderlay), "accepted");
    EXPECT_EQ(plan(std::string(maximumStateTableBytes + 1, '\n'), kAddresses, kUnderlay),
              "PF state cleanup input is invalid");
}

TEST(PFStateCleanupPlanner, AtMostOneHundredThousandCountedLines) {
    const std::vector<std::string> addresses = {"192.0.2.1"};
    const std::string line = "ALL udp 192.0.2.1:1 -> 9.9.9.9:2 S\n";
    std::string listing;
    listing.reserve(101'000 * line.size());
    for (std::size_t i = 0; i < maximumStateLines; ++i) listing += line;
    // Notices and blank lines do not count.
    listing += "No ALTQ support in kernel\n\n  \n";
    ASSERT_LE(listing.size(), maximumStateTableBytes);
    EXPECT_EQ(killTargets(listing, addresses, kUnderlay), (Targets{{"192.0.2.1", "9.9.9.9"}}));
    EXPECT_EQ(reason([&] { (void)killTargets(listing + line, addresses, kUnderlay); }), "PF state table is too large");
    // The count is reached before the extra line would be read.
    EXPECT_EQ(reason([&] { (void)killTargets(listing + "garbage", addresses, kUnderlay); }),
              "PF state table is too large");
    // An earlier bad line fails the plan first.
    EXPECT_EQ(reason([&] { (void)killTargets("garbage\n" + listing + line, addresses, kUnderlay); }),
              "PF state table format is unsupported");
}

TEST(PFStateCleanupPlanner, StateLinesNeedAnArrowInsideAndAnEndpointOnEachSide) {
    using E = Endpoint;
    const struct {
        const char* line;
        std::optional<StateEntry> entry;
        const char* reason;
    } cases[] = {
        {"ALL tcp 192.168.1.20:52344 -> 198.51.100.7:443 ESTABLISHED:ESTABLISHED",
         StateEntry{"tcp", E{"192.168.1.20", 52344}, E{"198.51.100.7", 443}}, nullptr},
        {"ALL tcp 2001:db8::5[52344] -> 2001:db8::9[443] ESTABLISHED:ESTABLISHED",
         StateEntry{"tcp", E{"2001:db8::5", 52344}, E{"2001:db8::9", 443}}, nullptr},
        {"ALL tcp 192.168.1.20:22 <- 203.0.113.5:50000 ESTABLISHED:ESTABLISHED",
         StateEntry{"tcp", E{"203.0.113.5", 50000}, E{"192.168.1.20", 22}}, nullptr},
        {"ALL tcp 10.0.0.2:5000 (192.168.1.20:6000) -> 198.51.100.7:443 X",
         StateEntry{"tcp", E{"10.0.0.2", 5000}, E{"198.51.100.7", 443}}, nullptr},
        {"ALL icmp 192.168.1.20:7 -> 198.51.100.7:7 0:0",
         StateEntry{"icmp", E{"192.168.1.20", 7}, E{"198.51.100.7", 7}}, nullptr},
        // No known protocol name before the arrow: "other"; the first arrow decides.
        {"en0 gre 192.0.2.1 -> 192.0.2.2 <- 192.0.2.3",
         StateEntry{"other", E{"192.0.2.1", std::nullopt}, E{"192.0.2.2", std::nullopt}}, nullptr},
        {"tcp udp 192.0.2.1:1 -> udp 192.0.2.2:2", StateEntry{"tcp", E{"192.0.2.1", 1}, E{"192.0.2.2", 2}},
         nullptr},
        // Tabs and Unicode spaces separate tokens too.
        {"ALL\tudp\xC2\xA0" "192.0.2.1:1\xE2\x80\x83->\t192.0.2.2:2",
         StateEntry{"udp", E{"192.0.2.1", 1}, E{"192.0.2.2", 2}}, nullptr},
        {"ALL tcp 192.0.2.1:1 192.0.2.2:2", std::nullopt, "PF state table format is unsupported"},
        {"-> 192.0.2.2:2", std::nullopt, "PF state table format is unsupported"},
        {"ALL tcp 192.0.2.1:1 ->", std::nullopt, "PF state table format is unsupported"},
        {"ALL tcp 192.0.2.1:1 => 192.0.2.2:2", std::nullopt, "PF state table format is unsupported"},
        {"ALL tcp 192.0.2.1:1 -> ESTABLISHED:ESTABLISHED", std::nullopt, "PF state endpoint format is unsupported"},
        {"ALL tcp host:1 -> 192.0.2.2:2", std::nullopt, "PF state endpoint format is unsupported"},
    };
    for (const auto& c : cases) {
        if (c.entry) {
            EXPECT_EQ(parseStateLine(c.line), *c.entry) << c.line;
        } else {
            EXPECT_EQ(reason([&] { (void)parseStateLine(c.line); }), c.reason) << c.line;
        }
    }
}

TEST(PFStateCleanupPlanner, EndpointTokensInEveryPrintedForm) {
    using E = Endpoint;
    const struct {
        const char* token;
        std::optional<E> endpoint;
    } cases[] = {
        {"192.0.2.1:443", E{"192.0.2.1", 443}},
        {"192.0.2.1", E{"192.0.2.1", std::nullopt}},
        {"(192.0.2.1:443),", E{"192.0.2.1", 443}},
        {"2001:db8::9[443]", E{"2001:db8::9", 443}},
        {"[2001:db8::9]", E{"2001:db8::9", std::nullopt}},
        {"[2001:db8::9]:443", E{"2001:db8::9", 443}},
        {"[192.0.2.1]:+7", E{"192.0.2.1", 7}},
        {"2001:db8::9", E{"2001:db8::9", std::nullopt}},  // a bare IPv6 address, never split at a colon
        {"192.0.2.1:-1", E{"192.0.2.1", -1}},             // ports are not range-checked here
        {"192.0.2.1:9223372036854775807", E{"192.0.2.1", 9223372036854775807}},
        {"192.0.2.1:-9223372036854775808", E{"192.0.2.1", INT64_MIN}},
        {"192.0.2.1:9223372036854775808", std::nullopt},
        {"192.0.2.1:", std::nullopt},
        {"192.0.2.1:+", std::nullopt},
        {"192.0.2.1:4x", std::nullopt},
        {"192.0.2.1: 4", std::nullopt},
        {"[2001:db8::9]x", std::nullopt},
        {"[2001:db8::9]:", std::nullopt},
        {"[host]:443", std::nullopt},
        {"[2001:db8::9", std::nullopt},
        {"host[443]", std::nullopt},  // the address must be a literal in every form
        {"2001:db8::9[x]", std::nullopt},
        {"ESTABLISHED:ESTABLISHED", std::nullopt},
        {"tcp", std::nullopt},
        {"0:0", std::nullopt},
        {"(,)", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseEndpoint(c.token), c.endpoint) << c.token;
    }
}

}  // namespace
}  // namespace tarnel::PrivilegedPFStateCleanupPlanner
