#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/clock.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/privileged_helper_protocol.hpp"
#include "common/process/start_registry.hpp"
#include "helper/runtime/client_code_validator.hpp"
#include "helper/runtime/privileged_runtime.hpp"

namespace tarnel {

// The operations the helper offers each admitted connection of the
// application. Every operation answers with exactly one reply and never
// throws: a failure becomes the reply's message, and for the preparation and
// the start also a short code that the application tells failures apart by.
//
// Operations that read or change the tunnel run one at a time in the whole
// process under the operation lock. The preparation, the cancellation and the
// two identity queries do not take it, so that a cancellation reaches a start
// that holds it; a stop or disconnect first marks every attempt cancelled and
// then waits for the lock. Lock order: the operation lock, then the start
// registry's, the kill switch's and the DNS override's own locks.
class PrivilegedHelperService {
public:
    // The protocol version both sides require.
    static constexpr std::int64_t protocolVersion = PrivilegedHelperProtocol::version;
    // How far ahead a preparation's deadline may lie.
    static constexpr double preparationWindow = PrivilegedHelperProtocol::preparationWindow;
    // How far ahead a start's deadline, with its grace and its Tailscale
    // allowance, may lie.
    static constexpr double startWindow = PrivilegedHelperProtocol::startWindow;
    static constexpr double startGrace = PrivilegedHelperProtocol::startGrace;
    static constexpr double tailscaleAllowance = PrivilegedHelperProtocol::tailscaleAllowance;

    // ---- Replies ----

    struct VersionReply {
        std::int64_t version = protocolVersion;
        std::optional<std::string> error;
        friend bool operator==(const VersionReply&, const VersionReply&) = default;
    };
    struct IdentityReply {
        std::int64_t version = protocolVersion;
        std::int32_t processIdentifier = 0;
        std::optional<std::string> error;
        friend bool operator==(const IdentityReply&, const IdentityReply&) = default;
    };
    struct StatusReply {
        std::optional<std::int32_t> processIdentifier;
        std::optional<std::string> error;
        friend bool operator==(const StatusReply&, const StatusReply&) = default;
    };
    struct FlagReply {
        bool value = false;
        std::optional<std::string> error;
        friend bool operator==(const FlagReply&, const FlagReply&) = default;
    };
    struct PrepareReply {
        std::optional<std::string> token;
        std::optional<std::string> errorCode;
        std::optional<std::string> errorMessage;
        friend bool operator==(const PrepareReply&, const PrepareReply&) = default;
    };
    struct StartReply {
        std::optional<std::int32_t> processIdentifier;
        std::optional<double> routeDeadline;
        std::optional<std::string> errorCode;
        std::optional<std::string> errorMessage;
        friend bool operator==(const StartReply&, const StartReply&) = default;
    };

    // What the service shares with every other service of the process; tests
    // give theirs a lock, a registry and a clock of their own. Left empty:
    // the process's operation lock, its start registry and the system clock.
    struct Shared {
        std::mutex* operationLock = nullptr;
        PrivilegedTunnelStartRegistry* registry = nullptr;
        // The uptime clock of every deadline check and registry call.
        const Clock* clock = nullptr;
    };

    // The only way to make a service: for the validated application that
    // connected, as the connection's effective user.
    PrivilegedHelperService(PrivilegedRuntimeEnvironment environment,
                            const ClientCodeValidator::ValidatedApplication& validatedApplication,
                            std::uint32_t clientUserIdentifier, Shared shared);
    // Over a runtime made elsewhere (tests).
    PrivilegedHelperService(PrivilegedRuntime runtime, Shared shared);

    [[nodiscard]] const PrivilegedRuntime& runtime() const noexcept { return runtime_; }

    // The lock of the process, made on first use.
    [[nodiscard]] static std::mutex& operationLock();

    // The reply code of a failure of a preparation or a start; nothing for
    // the failures the application need not tell apart.
    [[nodiscard]] static std::optional<std::string> replyErrorCode(const std::exception& error);

    // ---- The operations, in protocol order ----

    [[nodiscard]] VersionReply protocolVersionQuery() const;
    [[nodiscard]] IdentityReply helperIdentity() const;
    [[nodiscard]] StatusReply tunnelStatus() const;
    [[nodiscard]] FlagReply tunnelProtectionStatus() const;
    [[nodiscard]] FlagReply renewTunnelProtectionLease() const;
    [[nodiscard]] PrepareReply prepareRuntime(std::string_view attemptIdentifier, double deadlineUptime) const;
    [[nodiscard]] StartReply startTunnel(const std::string& configuration,
                                         const std::optional<std::string>& tailscaleCompatibility,
                                         std::string_view preparedRuntimeToken, std::string_view attemptIdentifier,
                                         double deadlineUptime) const;
    [[nodiscard]] FlagReply cancelTunnelStart(std::string_view attemptIdentifier) const;
    [[nodiscard]] FlagReply stopTunnelForAttempt(std::string_view attemptIdentifier) const;
    [[nodiscard]] FlagReply stopTunnel() const;
    [[nodiscard]] FlagReply disconnectTunnel() const;
    [[nodiscard]] FlagReply enableSystemProxy(std::string_view serviceName) const;
    [[nodiscard]] FlagReply disableSystemProxy() const;

private:
    [[nodiscard]] double now() const { return shared_.clock->uptime(); }
    // The attempt of a canonical identifier whose deadline lies after now and
    // at most `window` (with `extra`) ahead; throws invalidStartupRequest.
    [[nodiscard]] Uuid checkedAttempt(std::string_view attemptIdentifier, double deadlineUptime, double extra,
                                      double window) const;
    [[nodiscard]] std::function<bool()> cancellationQuery(const Uuid& attempt) const;
    // Runs `body` under the operation lock: (true, nothing), or (false, its message).
    [[nodiscard]] FlagReply flagUnderLock(const std::function<void()>& body) const;

    PrivilegedRuntime runtime_;
    Shared shared_;
};

}  // namespace tarnel
