#include "app/state/connection_types.hpp"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

TEST(ConnectionTypesTest, RawValuesRoundTripAndUnknownTextIsRefused) {
    for (auto mode : {ConnectionMode::tun, ConnectionMode::proxy}) {
        EXPECT_EQ(connectionModeFromRawValue(rawValue(mode)), mode);
    }
    EXPECT_EQ(rawValue(ConnectionMode::proxy), "proxy");
    EXPECT_EQ(connectionModeFromRawValue("TUN"), std::nullopt);

    for (auto availability : {RouteAvailability::untested, RouteAvailability::available, RouteAvailability::slow,
                              RouteAvailability::unavailable, RouteAvailability::paidRequired}) {
        EXPECT_EQ(routeAvailabilityFromRawValue(rawValue(availability)), availability);
    }
    EXPECT_EQ(rawValue(RouteAvailability::paidRequired), "paidRequired");
    for (const char* unknown : {"paid_required", "Available", "paid", ""}) {
        EXPECT_EQ(routeAvailabilityFromRawValue(unknown), std::nullopt) << unknown;
    }
}

TEST(ConnectionTypesTest, ProgressComparesEveryField) {
    EXPECT_EQ((RouteTestProgress{1, 3, "r2"}), (RouteTestProgress{1, 3, "r2"}));
    EXPECT_NE((RouteTestProgress{1, 3, "r2"}), (RouteTestProgress{1, 3, std::nullopt}));
    EXPECT_NE((RouteTestProgress{1, 3, "r2"}), (RouteTestProgress{2, 3, "r2"}));
}

}  // namespace
}  // namespace tarnel
