#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/ip_literal.hpp"
#include "common/base/utf8.hpp"
#include "common/contract/interface_names.hpp"

namespace tarnel {
namespace {

TEST(IPLiteral, TheWholeTextMustBeAnAddressOfOneFamily) {
    using F = IPAddressFamily;
    const struct {
        std::string text;
        std::optional<F> family;
    } cases[] = {
        {"192.0.2.1", F::ipv4},
        {"0.0.0.0", F::ipv4},
        {"2001:db8::1", F::ipv6},
        {"::1", F::ipv6},
        {"0:0:0:0:0:0:0:1", F::ipv6},
        {"::ffff:192.0.2.1", F::ipv6},
        {"", std::nullopt},
        {"999.1.1.1", std::nullopt},
        {"01.2.3.4", std::nullopt},
        {"1.2.3", std::nullopt},
        {"192.0.2.1 ", std::nullopt},
        {"192.0.2.1\n", std::nullopt},
        {std::string("192.0.2.1\0x", 11), std::nullopt},
        {"[2001:db8::1]", std::nullopt},
        {"fe80::1%en0", std::nullopt},
        {"host.example.net", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ipLiteralFamily(c.text), c.family) << c.text;
        EXPECT_EQ(isIPLiteral(c.text), c.family.has_value()) << c.text;
    }
}

TEST(InterfaceNames, PrefixAndDigitsOverTheWholeName) {
    for (const char* name : {"utun0", "utun5", "utun123"}) {
        EXPECT_TRUE(InterfaceNames::isTunnel(name)) << name;
        EXPECT_FALSE(InterfaceNames::isPhysical(name)) << name;
    }
    for (const char* name : {"en0", "en12"}) {
        EXPECT_TRUE(InterfaceNames::isPhysical(name)) << name;
        EXPECT_FALSE(InterfaceNames::isTunnel(name)) << name;
    }
    for (const std::string& name : std::vector<std::string>{"utun", "en", "utun5\n", "en0\n", "utun5x", "xutun5", " en0", "en-1", "bridge0",
                                   "UTUN5", "en\xD9\xA1", std::string("en0\0", 4)}) {
        EXPECT_FALSE(InterfaceNames::isTunnel(name)) << name;
        EXPECT_FALSE(InterfaceNames::isPhysical(name)) << name;
    }
}

TEST(Utf8, WhiteSpaceIsTheUnicodePropertyAndTrimmingKeepsTheMiddle) {
    for (const char32_t scalar : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028,
                                  0x2029, 0x202F, 0x205F, 0x3000}) {
        EXPECT_TRUE(utf8::isWhiteSpace(scalar)) << std::hex << static_cast<unsigned>(scalar);
    }
    for (const char32_t scalar : {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x200B, 0x2060, 0xFEFF, 0x180E}) {
        EXPECT_FALSE(utf8::isWhiteSpace(scalar)) << std::hex << static_cast<unsigned>(scalar);
    }
    EXPECT_EQ(utf8::whiteSpaceLength("\xE3\x80\x80x", 0), 3u);
    EXPECT_EQ(utf8::whiteSpaceLength("\xC2\x85", 0), 2u);
    EXPECT_EQ(utf8::whiteSpaceLength("\xC2", 0), 0u);  // a cut sequence is no space
    EXPECT_EQ(utf8::whiteSpaceLength("x ", 0), 0u);
    EXPECT_EQ(utf8::whiteSpaceLength("x ", 2), 0u);
    EXPECT_EQ(utf8::trimWhiteSpace(" \t\r\n a b \xE2\x80\xA8\r"), "a b");
    EXPECT_EQ(utf8::trimWhiteSpace("\xC2\xA0\xFF \xC2\xA0"), "\xFF");
    EXPECT_EQ(utf8::trimWhiteSpace(" \n "), "");
    EXPECT_EQ(utf8::trimWhiteSpace(""), "");
}

}  // namespace
}  // namespace tarnel
