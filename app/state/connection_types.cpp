#include "app/state/connection_types.hpp"

#include <array>
#include <utility>

namespace tarnel {
namespace {

constexpr std::array<std::pair<ConnectionMode, std::string_view>, 2> kConnectionModes{{
    {ConnectionMode::tun, "tun"},
    {ConnectionMode::proxy, "proxy"},
}};

constexpr std::array<std::pair<RouteAvailability, std::string_view>, 5> kRouteAvailabilities{{
    {RouteAvailability::untested, "untested"},
    {RouteAvailability::available, "available"},
    {RouteAvailability::slow, "slow"},
    {RouteAvailability::unavailable, "unavailable"},
    {RouteAvailability::paidRequired, "paidRequired"},
}};

template <typename Enum, std::size_t N>
std::string_view rawOf(const std::array<std::pair<Enum, std::string_view>, N>& table, Enum value) noexcept {
    for (const auto& [candidate, raw] : table) {
        if (candidate == value) return raw;
    }
    return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> valueOf(const std::array<std::pair<Enum, std::string_view>, N>& table,
                            std::string_view raw) noexcept {
    for (const auto& [value, candidate] : table) {
        if (candidate == raw) return value;
    }
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(ConnectionMode mode) noexcept { return rawOf(kConnectionModes, mode); }

std::optional<ConnectionMode> connectionModeFromRawValue(std::string_view raw) noexcept {
    return valueOf(kConnectionModes, raw);
}

std::string_view rawValue(RouteAvailability availability) noexcept {
    return rawOf(kRouteAvailabilities, availability);
}

std::optional<RouteAvailability> routeAvailabilityFromRawValue(std::string_view raw) noexcept {
    return valueOf(kRouteAvailabilities, raw);
}

}  // namespace tarnel
