#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/base/clock.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"

// The Tailscale compatibility snapshot: when Tailscale is connected as a VPN,
// the application reads its relay state through Tailscale's own command-line
// tool and hands it to the helper as the compatibility payload of the tunnel
// start (PrivilegedHelperContract::tailscaleCompatibilityPayload).
namespace tarnel::TailscaleCompatibility {

// The VPN type (bundle identifier) of Tailscale's VPN service.
inline constexpr std::string_view tailscaleVPNType = "io.tailscale.ipn.macsys";
inline constexpr std::int64_t maximumServiceListBytes = 262'144;
inline constexpr std::int64_t maximumToolOutputBytes = 2'097'152;

// The payload, or nothing when Tailscale is not a connected VPN. Runs
// `scutil --nc list` and, only when exactly one Tailscale VPN service is
// connected, Tailscale's tool (SystemTools::tailscale) three times: "debug
// prefs", "status --json", "debug derp-map"; every run is bounded by the
// deadline and the stop (checkpoint), which end a running tool. Throws
// TailscaleCompatibilityError:
//   startupCancelled, startupDeadlineExceeded  the checkpoint, before or
//                              during any run;
//   commandFailed              scutil fails, or a run of the tool exits non-zero,
//                              prints nothing or cannot be read;
//   commandUnavailable         the tool is not an executable file, or cannot
//                              be started;
// and what `payloadFromDocuments` throws.
[[nodiscard]] std::optional<std::string> snapshot(double deadlineUptime, const std::stop_token& stop = {},
                                                  const Clock& clock = SystemClock::shared());

// The payload from the tool's three documents:
//   preferences  a JSON object, else invalidResponse("preferences"); a
//                non-empty text under "ExitNodeID" or "ExitNodeIP" is
//                exitNodeUnsupported;
//   status       a JSON object, else invalidResponse("status"); "BackendState"
//                "Running" and "Self" an object whose "Online" is true and
//                whose "Relay" is a non-empty text (the relay region's code),
//                else relayUnavailable;
//   DERP map     a JSON object with an object "Regions", each member keyed by
//                its region identifier in ASCII decimal (within 64 bits) and
//                an object with a non-empty text "RegionCode" and a number
//                "RegionID", else invalidResponse("DERP map"). In ascending
//                identifier order, the relay region is the first whose code
//                is the relay's; none, or one identifier twice ("7" and "07"),
//                is relayUnavailable.
// Status or DERP-map text that is not JSON throws the reader's json::JsonError
// (numbers beyond 64 bits are read as doubles); then the payload's own
// PrivilegedHelperContractError (more than 64 regions, an identifier 0 or
// over 4096).
[[nodiscard]] std::string payloadFromDocuments(std::string_view preferences, std::string_view status,
                                               std::string_view derpMap);

}  // namespace tarnel::TailscaleCompatibility
