#include "common/contract/vpn_service_list.hpp"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/base/utf8.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace Contract = PrivilegedHelperContract;

constexpr std::string_view kTailscale = "io.tailscale.ipn.macsys";
constexpr std::string_view kUUID = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

std::vector<std::string> strings(const std::vector<std::string_view>& views) {
    return {views.begin(), views.end()};
}

TEST(VPNServiceList, LinesBreakAtEveryNewlineAndDropEmptyOnes) {
    const std::string text = "a\nb\r\nc\rd\ve\ff\u0085g\u2028h\u2029i\n\n\r\n\nj";
    EXPECT_EQ(strings(Contract::outputLines(text)),
              (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}));
    EXPECT_TRUE(Contract::outputLines("").empty());
    EXPECT_TRUE(Contract::outputLines("\n\r\n\u2028").empty());
    // A tab or a no-break space is white space within a line, not a break.
    EXPECT_EQ(strings(Contract::outputLines("a\tb\u00A0c\n")), (std::vector<std::string>{"a\tb\u00A0c"}));
}

TEST(VPNServiceList, FieldsBreakAtEveryWhiteSpaceAndKeepIllFormedBytes) {
    const std::string line = "  * \t(Connected)\u00A0\u00A0x\u3000y\u2003z\u0085w  ";
    EXPECT_EQ(strings(Contract::outputFields(line)),
              (std::vector<std::string>{"*", "(Connected)", "x", "y", "z", "w"}));
    // A zero-width space is no white space, and a byte that starts no
    // well-formed sequence is an ordinary character of its field.
    EXPECT_EQ(strings(Contract::outputFields("a\u200Bb \xC2 c\xE2\x80")),
              (std::vector<std::string>{"a\u200Bb", "\xC2", "c\xE2\x80"}));
}

TEST(VPNServiceList, WhiteSpaceIsTheUnicodeWhiteSpaceProperty) {
    // The field splitter's table against ICU's White_Space on every scalar.
    for (char32_t scalar = 0; scalar <= 0x10FFFF; ++scalar) {
        if (scalar >= 0xD800 && scalar <= 0xDFFF) continue;
        std::string line = "a";
        utf8::append(line, scalar);
        line += "b";
        const bool splits = Contract::outputFields(line).size() == 2;
        ASSERT_EQ(splits, u_isUWhiteSpace(static_cast<UChar32>(scalar)) != 0) << "U+" << std::hex << static_cast<std::uint32_t>(scalar);
    }
}

TEST(VPNServiceList, TheOneConnectedServiceOfTheType) {
    const std::string connected = "* (Connected)      " + std::string(kUUID) +
                                  " VPN (io.tailscale.ipn.macsys) \"Tailscale\"  [VPN/io.tailscale.ipn.macsys]";
    const std::string disconnected =
        "* (Disconnected)   6F3C1B22-9E1D-4C47-8F2B-1A5D3E7C9B10 VPN (io.tailscale.ipn.macsys) \"Tailscale 2\"";
    const struct {
        std::string name;
        std::string list;
        std::optional<std::string> expected;
    } cases[] = {
        {"the tool's listing", testing::readFixture("tailscale-cli/scutil-list.txt"), std::string(kUUID)},
        {"lower-case identifier", "* (Connected) 3f2504e0-4f89-11d3-9a0c-0305e82c3301 VPN (io.tailscale.ipn.macsys)",
         std::string(kUUID)},
        {"exactly five fields, tabs", "*\t(Connected)\t" + std::string(kUUID) + "\tVPN (io.tailscale.ipn.macsys)",
         std::string(kUUID)},
        // The line is chosen by its text "VPN (<type>)", before it is split.
        {"a tab inside the type text", "* (Connected) " + std::string(kUUID) + " VPN\t(io.tailscale.ipn.macsys)",
         std::nullopt},
        {"beside a disconnected one, CR LF lines", disconnected + "\r\n" + connected + "\r\n", std::string(kUUID)},
        {"two connected lines", connected + "\n" + connected, std::nullopt},
        {"a second connected line that is malformed", connected + "\n(Connected) VPN (io.tailscale.ipn.macsys)",
         std::nullopt},
        {"asterisk glued to (Connected)",
         "*(Connected) " + std::string(kUUID) + " VPN (io.tailscale.ipn.macsys) \"Tailscale\"", std::nullopt},
        {"only four fields", "* (Connected) " + std::string(kUUID) + " VPN(io.tailscale.ipn.macsys)", std::nullopt},
        {"disconnected", disconnected, std::nullopt},
        {"(Connected) only in the name",
         "* (Disconnected) " + std::string(kUUID) + " VPN (io.tailscale.ipn.macsys) \"(Connected)\"", std::nullopt},
        {"not enabled", "  (Connected) " + std::string(kUUID) + " VPN (io.tailscale.ipn.macsys)", std::nullopt},
        {"another type", "* (Connected) " + std::string(kUUID) + " VPN (com.example.othervpn)", std::nullopt},
        {"a longer type", "* (Connected) " + std::string(kUUID) + " VPN (io.tailscale.ipn.macsys.beta)",
         std::nullopt},
        {"not a UUID", "* (Connected) {" + std::string(kUUID) + "} VPN (io.tailscale.ipn.macsys)", std::nullopt},
        {"a field before the type", "* (Connected) " + std::string(kUUID) + " L2TP VPN (io.tailscale.ipn.macsys)",
         std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Contract::connectedVPNServiceIdentifier(c.list, kTailscale), c.expected) << c.name;
    }
    // The same reader serves any VPN type.
    EXPECT_EQ(Contract::connectedVPNServiceIdentifier(
                  "* (Connected) 6f3c1b22-9e1d-4c47-8f2b-1a5d3e7c9b10 VPN (com.example.othervpn) \"Other\"",
                  "com.example.othervpn"),
              "6F3C1B22-9E1D-4C47-8F2B-1A5D3E7C9B10");
}

TEST(VPNServiceList, TheOneTunnelInterfaceOfAStatus) {
    const struct {
        std::string name;
        std::string status;
        std::optional<std::string> expected;
    } cases[] = {
        {"the tool's status", testing::readFixture("tailscale-cli/scutil-status.txt"), "utun4"},
        {"the same name twice", "  InterfaceName : utun4\n  InterfaceName : utun4\n", "utun4"},
        {"two names", "  InterfaceName : utun4\n  InterfaceName : utun5\n", std::nullopt},
        {"colon glued to the key", "InterfaceName: utun4", std::nullopt},
        {"colon glued to the name", "InterfaceName :utun4", std::nullopt},
        {"a fourth field", "InterfaceName : utun4 up", std::nullopt},
        {"not a tunnel", "InterfaceName : en0", std::nullopt},
        {"utun without digits", "InterfaceName : utun", std::nullopt},
        {"tabs and no-break spaces", "\tInterfaceName\u00A0:\tutun12\u2029", "utun12"},
        {"beside a non-tunnel line", "InterfaceName : en0\nInterfaceName : utun3", "utun3"},
        {"no interface", "Disconnected\n", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Contract::tunnelInterfaceNameFromScutilStatus(c.status), c.expected) << c.name;
    }
    EXPECT_EQ(Contract::tunnelInterfaceNameFromScutilLine("    InterfaceName : utun4"), "utun4");
    EXPECT_EQ(Contract::tunnelInterfaceNameFromScutilLine("InterfaceName : utun4\nInterfaceName : utun5"),
              std::nullopt);
}

}  // namespace
}  // namespace tarnel
