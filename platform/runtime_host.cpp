#include "platform/runtime_host.hpp"

#include "common/base/utf8.hpp"
#include "common/contract/interface_names.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "common/process/runtime_error.hpp"
#include "common/process/system_tools.hpp"

namespace tarnel::RuntimeHost {

std::optional<ProcessIdentity> processIdentity(std::int32_t processIdentifier) {
    return ProcessInfo::identity(static_cast<pid_t>(processIdentifier));
}

std::optional<std::string> numericHostAddress(const sockaddr* address) {
    return NetworkInterfaces::numericHostAddress(address);
}

bool isTunnelInterfaceName(std::string_view name) noexcept { return InterfaceNames::isTunnel(name); }

std::set<std::string> tunnelInterfaces(const std::vector<NetworkInterfaces::InterfaceAddress>& addresses) {
    std::set<std::string> names;
    for (const auto& entry : addresses) {
        if (isTunnelInterfaceName(entry.name) && entry.isUp() && entry.address == tunnelInterfaceAddress) {
            names.insert(entry.name);
        }
    }
    return names;
}

std::set<std::string> activeTunnelInterfaces() {
    const auto addresses = NetworkInterfaces::addresses();
    return addresses ? tunnelInterfaces(*addresses) : std::set<std::string>{};
}

void waitForTunnelInterfacesToDisappear(const Clock& clock, const std::function<std::set<std::string>()>& list) {
    const double deadline = clock.uptime() + tunnelInterfaceDisappearanceTimeout;
    while (clock.uptime() < deadline) {
        if (list().empty()) {
            return;
        }
        clock.sleepFor(tunnelInterfacePollInterval);
    }
    if (!list().empty()) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelInterfaceDidNotDisappear);
    }
}

bool stopLaunchedProcess(ChildProcess& process, const Clock& clock) { return process.stop(0.5, 0.5, clock); }

RouteResult runRoute(const std::vector<std::string>& arguments, const PrivilegedTunnelStartupControl& control,
                     const Clock& clock) {
    const BoundedCommandInvocation invocation{std::string(SystemTools::route), arguments};
    try {
        auto result = BoundedCommandRunner::run(invocation, routeOutputLimit, control, clock);
        return RouteResult{result.terminationStatus, utf8::decodeReplacingInvalid(result.output)};
    } catch (const PrivilegedRuntimeError&) {
        throw;
    } catch (const Error&) {
        throw PrivilegedRuntimeError(PrivilegedRuntimeError::Case::protectedDNSRouteFailed);
    }
}

}  // namespace tarnel::RuntimeHost
