#pragma once

#include <cstdint>
#include <string>

#include "common/base/clock.hpp"
#include "common/contract/competing_vpn_detector_error.hpp"

// The listing of the system's network connections (`scutil --nc list`), in
// which the application looks for another VPN that is connected: the maker's
// other VPN application, and Tailscale. The list's lines are read by
// PrivilegedHelperContract::connectedVPNServices and
// connectedVPNServiceIdentifier (common/contract/vpn_service_list.hpp).
namespace tarnel::CompetingVPNDetector {

inline constexpr double listingTimeout = 5.0;
inline constexpr std::int64_t maximumListingBytes = 262'144;

// Runs "/usr/sbin/scutil" "--nc" "list" for at most 5 s with at most 262144
// bytes of output, and returns the output as UTF-8 text, any ill-formed
// sequence replaced by U+FFFD. Throws CompetingVPNDetectorError:
// commandFailed("scutil timed out") at the deadline, with the tool stopped;
// commandFailed("scutil failed") for a non-zero exit status, a tool that
// cannot be run, or too much output.
[[nodiscard]] std::string networkConnectionList(const Clock& clock = SystemClock::shared());

}  // namespace tarnel::CompetingVPNDetector
