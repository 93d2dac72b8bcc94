#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "app/catalog/route_model.hpp"
#include "common/base/clock.hpp"
#include "common/base/uuid.hpp"

// The application's sing-box configuration files, in the private folder
// "Tarnel Direct" of the user's Application Support directory, and the
// machine's default IPv4 interface that the configurations bind sing-box to.
//
// A namespace of plain blocking functions: nothing is kept between calls. The
// interface detection runs `netstat -rn -f inet` through the bounded command
// runner, so a call may block up to its deadline (plus the runner's bounded
// wind-down of a tool that outlives it).
namespace tarnel::TunnelRuntimeFiles {

inline constexpr std::string_view kDirectoryName = "Tarnel Direct";
inline constexpr std::string_view kTunnelConfigurationName = "tun-config.json";
inline constexpr std::string_view kProxyConfigurationName = "proxy-config.json";
// Time the fixed files give the interface detection when no deadline is given.
inline constexpr double kInterfaceDetectionSeconds = 2.0;
// The most output of `netstat` that is read.
inline constexpr std::int64_t kNetstatOutputCap = 262'144;

// The folder; only computes the path (throws what
// UserDirectories::applicationSupport throws).
[[nodiscard]] std::filesystem::path directoryURL();
// "tun-config.json" in the folder: the TUN configuration written on demand.
[[nodiscard]] std::filesystem::path tunnelConfigurationURL();
// "proxy-config.json" in the folder: the proxy-mode configuration.
[[nodiscard]] std::filesystem::path proxyConfigurationURL();
// "tun-config-" + the attempt's canonical upper-case UUID text + ".json" in
// the folder: the TUN configuration of one connection attempt.
[[nodiscard]] std::filesystem::path attemptConfigurationURL(const Uuid& attemptID);

// Creates the folder, and missing directories above it, with mode 0700. A
// folder that exists keeps its mode. Throws SystemError.
void createDirectory();

// Writes a configuration file whole: atomically (a temporary file created with
// mode 0600 that replaces the target), then sets the file's mode to 0600.
// Throws SystemError; when only the mode change fails, the new file is already
// in place.
void writeConfigurationFile(const std::filesystem::path& url, std::string_view contents);

// Writes the TUN configuration of `route` to "tun-config.json", bound to the
// default IPv4 interface found before `detectInterface` (system uptime; none:
// 2.0 s from now), or to automatic detection when none is found. Gives the
// file's path. Throws SystemError (folder, write), SingBoxConfigError (route),
// and TailscaleCompatibilityError startupDeadlineExceeded when `netstat`
// outlives the deadline; nothing is written then.
std::filesystem::path writeTunnelConfiguration(const RouteNode& route,
                                               std::optional<double> detectInterface = std::nullopt,
                                               const Clock& clock = SystemClock::shared());

// Writes the proxy-mode configuration of `route` to "proxy-config.json",
// bound to the default IPv4 interface found within 2.0 s; any failure to find
// one counts as none (automatic detection). Gives the file's path. Throws
// SystemError (folder, write) and SingBoxConfigError (route).
std::filesystem::path writeProxyConfiguration(const RouteNode& route, const Clock& clock = SystemClock::shared());

// The physical interface of the default IPv4 route (see
// defaultIPv4InterfaceFromNetstat), read before `deadlineUptime` (system
// uptime), for a connection attempt. Throws only CancellationError (a stop
// request) and TailscaleCompatibilityError startupDeadlineExceeded (the
// deadline); a tool that cannot be started, fails, or prints more than 262144
// bytes gives none.
[[nodiscard]] std::optional<std::string> defaultIPv4Interface(double deadlineUptime, const std::stop_token& stop,
                                                              const Clock& clock = SystemClock::shared());

// The interface that the output of `netstat -rn -f inet` names for the
// default route: the output is read as UTF-8 (ill-formed sequences replaced),
// split into lines at every line break (LF, CR, CR LF, VT, FF, NEL, LS, PS)
// and each line into fields at blanks and tabs. The first line of at least
// four fields whose first field is "default", whose second is a dotted quad
// (an IPv4 gateway, not "link#N") and whose last begins with "en" gives its
// last field. Nothing when no line does.
[[nodiscard]] std::optional<std::string> defaultIPv4InterfaceFromNetstat(std::string_view output);

}  // namespace tarnel::TunnelRuntimeFiles
