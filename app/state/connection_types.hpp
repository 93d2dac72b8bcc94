#pragma once

#include <optional>
#include <string>
#include <string_view>

// The small value types of the application's state: how the next connection
// is made, what a route test found, and how far a route test has come.
namespace tarnel {

enum class ConnectionMode {
    tun,
    proxy,
};

[[nodiscard]] std::string_view rawValue(ConnectionMode mode) noexcept;
[[nodiscard]] std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view raw) noexcept;

enum class RouteAvailability {
    untested,
    available,
    slow,
    unavailable,
    paidRequired,
};

[[nodiscard]] std::string_view rawValue(RouteAvailability availability) noexcept;
[[nodiscard]] std::optional<RouteAvailability> routeAvailabilityFromRawValue(std::string_view raw) noexcept;

struct RouteTestProgress {
    int completed = 0;
    int total = 0;
    std::optional<std::string> currentRouteID;

    friend bool operator==(const RouteTestProgress&, const RouteTestProgress&) = default;
};

}  // namespace tarnel
