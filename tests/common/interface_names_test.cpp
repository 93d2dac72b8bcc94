#include "common/interface_names.hpp"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

TEST(InterfaceNames, WholeNamesOfTunnelAndPhysicalInterfaces) {
    const struct {
        const char* name;
        bool tunnel;
        bool physical;
    } cases[] = {
        {"utun0", true, false},  {"utun42", true, false},  {"en0", false, true},    {"en12", false, true},
        {"utun", false, false},  {"en", false, false},     {"utun4\n", false, false}, {"en0\n", false, false},
        {"utun4 ", false, false}, {" en0", false, false},  {"UTUN4", false, false}, {"En0", false, false},
        {"utunX", false, false}, {"en0a", false, false},   {"eth0", false, false},  {"", false, false},
        {"utun\xef\xbc\x95", false, false},  // a fullwidth digit
    };
    for (const auto& item : cases) {
        EXPECT_EQ(InterfaceNames::isTunnel(item.name), item.tunnel) << item.name;
        EXPECT_EQ(InterfaceNames::isPhysical(item.name), item.physical) << item.name;
    }
    EXPECT_FALSE(InterfaceNames::isTunnel(std::string_view("utun4\0", 6)));
}

}  // namespace
}  // namespace tarnel
