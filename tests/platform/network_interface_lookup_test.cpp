#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/network_interfaces.hpp"

namespace tarnel {
namespace {

TEST(SystemNetworkInterfaceLookup, AsksThisNamespacesInterfaces) {
    const auto& lookup = SystemNetworkInterfaceLookup::shared();
    EXPECT_TRUE(lookup.exists("lo"));
    EXPECT_FALSE(lookup.exists("utun4094"));
    EXPECT_FALSE(lookup.exists(std::string("lo\0x", 4)));
    const auto list = lookup.addresses();
    ASSERT_TRUE(list.has_value());
    EXPECT_TRUE(std::any_of(list->begin(), list->end(), [](const auto& entry) {
        return entry.name == "lo" && entry.address == "127.0.0.1";
    }));
}

}  // namespace
}  // namespace tarnel
