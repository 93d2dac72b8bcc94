#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/tunnel/privileged_helper_operations.hpp"
#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/uuid.hpp"
#include "common/contract/privileged_helper_protocol.hpp"
#include "platform/ipc/wire.hpp"

namespace tarnel {

// How a call to the privileged helper failed. `helperRejected` carries the
// helper's own message; `incompatibleProtocol` the version expected and the
// one received.
class PrivilegedHelperClientError final : public Error {
public:
    enum class Case {
        helperRejected,
        incompatibleProtocol,
        invalidProxy,
        invalidReply,
        timedOut,
        connectionInterrupted,
        connectionInvalidated,
        invalidHelperIdentity,
        runtimePreparationRequired,
        runtimePreparationDeadlineExceeded,
    };

    // Every case but the two that carry values.
    explicit PrivilegedHelperClientError(Case errorCase) noexcept : case_(errorCase) {}
    static PrivilegedHelperClientError helperRejected(std::string message) {
        PrivilegedHelperClientError error(Case::helperRejected);
        error.helperMessage_ = std::move(message);
        return error;
    }
    static PrivilegedHelperClientError incompatibleProtocol(std::int64_t expected, std::int64_t actual) noexcept {
        PrivilegedHelperClientError error(Case::incompatibleProtocol);
        error.expected_ = expected;
        error.actual_ = actual;
        return error;
    }

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The helper's message of helperRejected; empty for the other cases.
    [[nodiscard]] const std::string& helperMessage() const noexcept { return helperMessage_; }
    // The versions of incompatibleProtocol; 0 for the other cases.
    [[nodiscard]] std::int64_t expectedVersion() const noexcept { return expected_; }
    [[nodiscard]] std::int64_t actualVersion() const noexcept { return actual_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "PrivilegedHelperClientError"; }

    friend bool operator==(const PrivilegedHelperClientError& a, const PrivilegedHelperClientError& b) noexcept {
        return a.case_ == b.case_ && a.helperMessage_ == b.helperMessage_ && a.expected_ == b.expected_ &&
               a.actual_ == b.actual_;
    }

private:
    Case case_;
    std::string helperMessage_;
    std::int64_t expected_ = 0;
    std::int64_t actual_ = 0;
};

// A live helper: the protocol version it speaks (always the client's) and
// its process identifier (always greater than 0).
struct PrivilegedHelperIdentity {
    std::int64_t protocolVersion = 0;
    std::int32_t processIdentifier = 0;

    friend bool operator==(const PrivilegedHelperIdentity&, const PrivilegedHelperIdentity&) = default;
};

// What a tunnel start reports: the runtime process the helper launched and
// the uptime by which the tunnel's routes must carry traffic.
struct PrivilegedTunnelStartResult {
    std::int32_t processIdentifier = 0;
    double routeDeadlineUptime = 0.0;

    friend bool operator==(const PrivilegedTunnelStartResult&, const PrivilegedTunnelStartResult&) = default;
};

// What the helper runs: its tunnel process, when one runs, and whether the
// kill switch is active.
struct PrivilegedTunnelRuntimeSnapshot {
    std::optional<std::int32_t> processIdentifier;
    bool protectionActive = false;

    friend bool operator==(const PrivilegedTunnelRuntimeSnapshot&, const PrivilegedTunnelRuntimeSnapshot&) = default;
};

// Where the helper listens and who it must be: the socket, the user the
// listening process must run as, and the clock that every deadline and wait
// of a call is measured on.
struct HelperEndpoint {
    std::filesystem::path socketPath;
    uid_t serviceUser = 0;
    const Clock* clock = &SystemClock::shared();

    // The installed helper: its socket in the root-owned socket directory,
    // served by root, on the system clock.
    [[nodiscard]] static HelperEndpoint production();
};

// The application's only way to reach the privileged helper. Each operation
// is one blocking call on a connection of its own: connect, check the
// helper's version and identity first where the operation asks for it, send
// the one request, wait for its reply until the call's deadline, close. Every
// reply is checked before it is trusted. Nothing is kept between calls, so
// one client may serve several threads at once.
//
// Failures throw PrivilegedHelperClientError, never the channel's own error:
//   connectionInvalidated  nothing listens, the helper turned the caller away
//                          (closed before its hello), or the listening process
//                          does not run as the endpoint's user
//   connectionInterrupted  the helper closed the connection after its hello,
//                          without the reply
//   timedOut               the call's deadline passed first
//   invalidProxy           the helper's hello is not this channel's, or the
//                          request cannot travel on it (nothing was sent)
//   invalidReply           a reply that cannot be read, or that breaks its rule
// A failed preparation or start throws what `mapHelperErrorCode` gives, and a
// request outside its deadline window throws
// PrivilegedHelperContractError::invalidStartupRequest before connecting.
class PrivilegedHelperClient final : public PrivilegedHelperOperations {
public:
    static constexpr std::int64_t protocolVersion = PrivilegedHelperProtocol::version;
    // The time given to the cancel that follows a lost preparation or start.
    static constexpr double lostStartCancelTimeout = 0.75;

    explicit PrivilegedHelperClient(HelperEndpoint endpoint = HelperEndpoint::production());

    [[nodiscard]] const HelperEndpoint& endpoint() const noexcept { return endpoint_; }

    // Cancels the start of an attempt, whether it runs or has not arrived.
    [[nodiscard]] static Work requestCancelTunnelStart(const Uuid& attemptID);
    // Stops the helper's tunnel only when it belongs to the attempt.
    [[nodiscard]] static Work requestStopTunnelForAttempt(const Uuid& attemptID);

    // The helper's version and live process; no pre-check: the identity is
    // judged as the pre-check judges it.
    [[nodiscard]] PrivilegedHelperIdentity helperIdentity(double timeout) const override;
    // The helper's running tunnel process, or nothing when none runs.
    [[nodiscard]] std::optional<std::int32_t> tunnelStatus(double timeout) const override;
    // Whether the kill switch is active.
    [[nodiscard]] bool tunnelProtectionStatus(double timeout) const override;

    // Has the helper prepare the signed runtime for the attempt; returns the
    // prepared-runtime token (canonical upper-case UUID text) as received.
    // The deadline must lie after now and at most 47 s ahead. The call waits
    // until 1 s after the deadline (at least 1.05 s); a call lost on the way
    // (timed out, interrupted, closed) is followed by a cancel of the
    // attempt's start before its error is thrown.
    [[nodiscard]] std::string prepareRuntime(const Uuid& attemptID, double deadlineUptime) const override;
    // Has the helper start the tunnel; the route deadline it reports equals
    // the deadline, or with Tailscale compatibility data (even empty data)
    // lies at most 5 s after it. The deadline with its 5 s of grace (and 5 s
    // more with data) must lie after now and at most 32 s ahead. Waits, and
    // cancels after a lost call, as the preparation does.
    [[nodiscard]] PrivilegedTunnelStartResult startTunnel(const std::string& configuration,
                                                          const std::optional<std::string>& tailscaleCompatibility,
                                                          const std::string& preparedRuntimeToken,
                                                          const Uuid& attemptID, double deadlineUptime) const override;

    // One request acknowledged with true; false without a message is an
    // invalid reply, a message is the helper's rejection.
    void performBooleanRequest(const Work& work, double timeout, bool checkVersion = false) const override;
    // One version-checked request whose flag is the answer, false included.
    [[nodiscard]] bool performVersionCheckedBooleanRequest(const Work& work, double timeout) const override;
    void disableSystemProxy(double timeout, bool checkVersion = false) const override;
    // The caller checks the name beforehand; a name that cannot travel (not
    // UTF-8) is invalidProxy.
    void enableSystemProxy(std::string_view serviceName, double timeout, bool checkVersion = true) const override;
    void disconnectTunnel(double timeout, bool checkVersion = false) const override;
    void renewTunnelProtectionLease(double timeout, bool checkVersion = true) const override;

    // The error of a failed preparation or start from its reply code and
    // message: CancellationError, runtimePreparationRequired,
    // runtimePreparationDeadlineExceeded, TailscaleCompatibilityError
    // commandFailed or validationFailed; helperRejected(message) for any
    // other code and for none.
    [[nodiscard]] static std::exception_ptr mapHelperErrorCode(const std::optional<std::string>& code,
                                                               const std::string& message);
    // The code's place among the protocol's reply codes (0 to 4, exact,
    // case-sensitive match); 5 for any other code and for none.
    [[nodiscard]] static std::size_t helperErrorCodeIndex(const std::optional<std::string_view>& code) noexcept;

private:
    HelperEndpoint endpoint_;
};

}  // namespace tarnel
