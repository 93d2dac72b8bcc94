#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/uuid.hpp"
#include "platform/ipc/wire.hpp"

namespace tarnel {

struct PrivilegedHelperIdentity;
struct PrivilegedTunnelStartResult;

// Every operation of the application's client of the privileged helper, as
// the application state calls them: `PrivilegedHelperClient` is the real
// one, and tests put a scripted one in its place. Each call blocks until
// the helper answers or the call's time-out passes, and fails with the
// client's errors (PrivilegedHelperClient documents them); any of them may
// run on several threads at once.
class PrivilegedHelperOperations {
public:
    // The request that a boolean request sends, acknowledged with a flag.
    using Work = ipc::Request;

    virtual ~PrivilegedHelperOperations() = default;

    [[nodiscard]] virtual PrivilegedHelperIdentity helperIdentity(double timeout) const = 0;
    [[nodiscard]] virtual std::optional<std::int32_t> tunnelStatus(double timeout) const = 0;
    [[nodiscard]] virtual bool tunnelProtectionStatus(double timeout) const = 0;
    [[nodiscard]] virtual std::string prepareRuntime(const Uuid& attemptID, double deadlineUptime) const = 0;
    [[nodiscard]] virtual PrivilegedTunnelStartResult startTunnel(
        const std::string& configuration, const std::optional<std::string>& tailscaleCompatibility,
        const std::string& preparedRuntimeToken, const Uuid& attemptID, double deadlineUptime) const = 0;
    virtual void performBooleanRequest(const Work& work, double timeout, bool checkVersion = false) const = 0;
    [[nodiscard]] virtual bool performVersionCheckedBooleanRequest(const Work& work, double timeout) const = 0;
    virtual void disableSystemProxy(double timeout, bool checkVersion = false) const = 0;
    virtual void enableSystemProxy(std::string_view serviceName, double timeout, bool checkVersion = true) const = 0;
    virtual void disconnectTunnel(double timeout, bool checkVersion = false) const = 0;
    virtual void renewTunnelProtectionLease(double timeout, bool checkVersion = true) const = 0;

protected:
    PrivilegedHelperOperations() = default;
    PrivilegedHelperOperations(const PrivilegedHelperOperations&) = default;
    PrivilegedHelperOperations& operator=(const PrivilegedHelperOperations&) = default;
};

}  // namespace tarnel
