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

// Every connected service, whatever its type: the competing-VPN check looks
// for its type among them, so two connected services of one type are both
// there (unlike the exactly-one reading above).
TEST(VPNServiceList, EveryConnectedServiceWithItsNameAndType) {
    using Service = Contract::ConnectedVPNService;
    const std::string tarnel1 = "* (Connected)      6f1c5c1e-8a4e-4c2e-9a43-1c0b4e7d2a10 VPN (app.tarnel.ios) "
                                "\"Tarnel VPN\"  [VPN:app.tarnel.ios]";
    const std::string tarnel2 = "* (Connected)      " + std::string(kUUID) +
                                " VPN (app.tarnel.ios) \"Tarnel  Work \"\"x\" [VPN:app.tarnel.ios]";
    const struct {
        std::string name;
        std::string list;
        std::vector<Service> expected;
    } cases[] = {
        {"two of one type, names with spaces kept",
         tarnel1 + "\n" + tarnel2,
         {{"6F1C5C1E-8A4E-4C2E-9A43-1C0B4E7D2A10", "Tarnel VPN", "app.tarnel.ios"},
          {std::string(kUUID), "Tarnel  Work ", "app.tarnel.ios"}}},
        {"the tool's listing", testing::readFixture("tailscale-cli/scutil-list.txt"),
         {{std::string(kUUID), "Tailscale", std::string(kTailscale)}}},
        {"no name, or one quote only",
         "* (Connected) " + std::string(kUUID) + " VPN (com.example.a)\n* (Connected) " + std::string(kUUID) +
             " VPN (com.example.b) \"open",
         {{std::string(kUUID), "", "com.example.a"}, {std::string(kUUID), "", "com.example.b"}}},
        {"quotes before the type are not the name",
         "* (Connected) " + std::string(kUUID) + " VPN (com.example.a) [VPN:x]\n",
         {{std::string(kUUID), "", "com.example.a"}}},
        {"lines that fail the fields",
         "* (Disconnected) " + std::string(kUUID) + " VPN (app.tarnel.ios) \"A\"\n"
             "* (Connected) " + std::string(kUUID) + " VPN () \"B\"\n"
             "* (Connected) " + std::string(kUUID) + " VPN (a(b)) \"C\"\n"
             "* (Connected) " + std::string(kUUID) + " PPP (app.tarnel.ios) \"D\"\n"
             "* (Connected) not-a-uuid VPN (app.tarnel.ios) \"E\"\n"
             "(Connected) " + std::string(kUUID) + " VPN (app.tarnel.ios) \"F\"\n"
             "* (Connected) " + std::string(kUUID) + " VPN",
         {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Contract::connectedVPNServices(c.list), c.expected) << c.name;
    }
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
