#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/clock.hpp"
#include "common/process/child_process.hpp"
#include "common/process/startup_control.hpp"
#include "platform/network_interfaces.hpp"
#include "platform/process_info.hpp"

// The operating-system helpers that the helper's tunnel start, stop, status
// and launch recovery share: who a process is, which tunnel interfaces exist,
// the wait for them to go, the stop of a launched runtime and the `route` tool.
namespace tarnel::RuntimeHost {

// The IPv4 address of the tunnel's own interface.
inline constexpr std::string_view tunnelInterfaceAddress = "172.19.0.1";
inline constexpr double tunnelInterfaceDisappearanceTimeout = 3.0;
inline constexpr double tunnelInterfacePollInterval = 0.05;
inline constexpr std::int64_t routeOutputLimit = 65536;

// The identity of a live process; nothing for identifiers below 2 (launchd's 1
// included) and for processes that are gone.
[[nodiscard]] std::optional<ProcessIdentity> processIdentity(std::int32_t processIdentifier);

// The numeric host text of a socket address (see NetworkInterfaces).
[[nodiscard]] std::optional<std::string> numericHostAddress(const sockaddr* address);

// True for "utun" followed by one or more ASCII digits and nothing else
// (InterfaceNames::isTunnel).
[[nodiscard]] bool isTunnelInterfaceName(std::string_view name) noexcept;

// The names among `addresses` of interfaces that are tunnel interfaces: a
// tunnel name, up, and carrying 172.19.0.1. Each name once.
[[nodiscard]] std::set<std::string> tunnelInterfaces(const std::vector<NetworkInterfaces::InterfaceAddress>& addresses);

// The tunnel interfaces of this machine; empty when the list cannot be read.
[[nodiscard]] std::set<std::string> activeTunnelInterfaces();

// Returns as soon as no tunnel interface exists, checking every 0.05 s; throws
// PrivilegedRuntimeError tunnelInterfaceDidNotDisappear when one still exists
// after 3.0 s on the clock.
void waitForTunnelInterfacesToDisappear(const Clock& clock = SystemClock::shared(),
                                        const std::function<std::set<std::string>()>& list = activeTunnelInterfaces);

// Stops a process that the helper launched: SIGTERM, up to 0.5 s for it to
// exit, SIGKILL, up to 0.5 s more. True when it is no longer running.
bool stopLaunchedProcess(ChildProcess& process, const Clock& clock = SystemClock::shared());

struct RouteResult {
    std::int32_t terminationStatus = 0;
    std::string output;  // standard output, invalid UTF-8 replaced by U+FFFD

    friend bool operator==(const RouteResult&, const RouteResult&) = default;
};

// Runs the `route` tool (SystemTools::route) with these arguments through the
// bounded command runner, output capped at 65536 bytes and bounded by the
// start's control. The control's errors pass unchanged; any other failure of
// the runner throws PrivilegedRuntimeError protectedDNSRouteFailed. The caller
// judges the status and the text.
RouteResult runRoute(const std::vector<std::string>& arguments, const PrivilegedTunnelStartupControl& control,
                     const Clock& clock = SystemClock::shared());

}  // namespace tarnel::RuntimeHost
