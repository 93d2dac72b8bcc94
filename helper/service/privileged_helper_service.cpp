#include "helper/service/privileged_helper_service.hpp"

#include <unistd.h>

#include <cmath>
#include <exception>
#include <utility>

#include "common/base/error.hpp"
#include "common/process/runtime_error.hpp"

namespace tarnel {

namespace {

using Case = PrivilegedRuntimeError::Case;

[[noreturn]] void invalidRequest() {
    throw PrivilegedHelperContractError(PrivilegedHelperContractError::Case::invalidStartupRequest);
}

// The reply code and message of whatever was thrown.
std::pair<std::optional<std::string>, std::string> codeAndMessageOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return {PrivilegedHelperService::replyErrorCode(error), errorMessage(error)};
    } catch (...) {
        return {std::nullopt, errorMessage(failure)};
    }
}

}  // namespace

PrivilegedHelperService::PrivilegedHelperService(PrivilegedRuntimeEnvironment environment,
                                                 const ClientCodeValidator::ValidatedApplication& validatedApplication,
                                                 std::uint32_t clientUserIdentifier, Shared shared)
    : PrivilegedHelperService(
          PrivilegedRuntime::forApplication(std::move(environment), validatedApplication, clientUserIdentifier),
          shared) {}

PrivilegedHelperService::PrivilegedHelperService(PrivilegedRuntime runtime, Shared shared)
    : runtime_(std::move(runtime)), shared_(shared) {
    if (shared_.operationLock == nullptr) shared_.operationLock = &operationLock();
    if (shared_.registry == nullptr) shared_.registry = &PrivilegedTunnelStartRegistry::shared();
    if (shared_.clock == nullptr) shared_.clock = &SystemClock::shared();
}

std::mutex& PrivilegedHelperService::operationLock() {
    static std::mutex lock;
    return lock;
}

std::optional<std::string> PrivilegedHelperService::replyErrorCode(const std::exception& error) {
    const auto* runtimeError = dynamic_cast<const PrivilegedRuntimeError*>(&error);
    if (runtimeError == nullptr) return std::nullopt;
    const std::optional<std::string_view> code = runtimeError->replyCode();
    if (!code) return std::nullopt;
    return std::string(*code);
}

Uuid PrivilegedHelperService::checkedAttempt(std::string_view attemptIdentifier, double deadlineUptime, double extra,
                                             double window) const {
    const double current = now();
    const std::optional<Uuid> attempt = PrivilegedHelperContract::parseCanonicalAttemptID(attemptIdentifier);
    if (!attempt) invalidRequest();
    if (!std::isfinite(deadlineUptime) || !(current < deadlineUptime) || deadlineUptime + extra - current > window) {
        invalidRequest();
    }
    return *attempt;
}

std::function<bool()> PrivilegedHelperService::cancellationQuery(const Uuid& attempt) const {
    return [this, attempt] { return shared_.registry->isCancelled(attempt, now()); };
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::flagUnderLock(const std::function<void()>& body) const {
    const std::lock_guard lock(*shared_.operationLock);
    try {
        body();
        return FlagReply{true, std::nullopt};
    } catch (...) {
        return FlagReply{false, errorMessage(std::current_exception())};
    }
}

PrivilegedHelperService::VersionReply PrivilegedHelperService::protocolVersionQuery() const {
    return VersionReply{protocolVersion, std::nullopt};
}

PrivilegedHelperService::IdentityReply PrivilegedHelperService::helperIdentity() const {
    return IdentityReply{protocolVersion, static_cast<std::int32_t>(::getpid()), std::nullopt};
}

PrivilegedHelperService::StatusReply PrivilegedHelperService::tunnelStatus() const {
    const std::lock_guard lock(*shared_.operationLock);
    try {
        return StatusReply{runtime_.tunnelStatus(), std::nullopt};
    } catch (...) {
        return StatusReply{std::nullopt, errorMessage(std::current_exception())};
    }
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::tunnelProtectionStatus() const {
    const std::lock_guard lock(*shared_.operationLock);
    try {
        return FlagReply{runtime_.killSwitch().isProtectionActive(), std::nullopt};
    } catch (...) {
        return FlagReply{false, errorMessage(std::current_exception())};
    }
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::renewTunnelProtectionLease() const {
    return flagUnderLock([&] { runtime_.killSwitch().renewLease(); });
}

PrivilegedHelperService::PrepareReply PrivilegedHelperService::prepareRuntime(std::string_view attemptIdentifier,
                                                                             double deadlineUptime) const {
    try {
        const Uuid attempt = checkedAttempt(attemptIdentifier, deadlineUptime, 0.0, preparationWindow);
        // A refusal (cancelled before it began, already running, or no room)
        // is a cancellation to the application; no phase was opened.
        if (!shared_.registry->begin(attempt, deadlineUptime, now())) {
            throw PrivilegedRuntimeError(Case::tunnelStartupCancelled);
        }
        std::exception_ptr failure;
        std::string token;
        try {
            token = runtime_.prepareRuntime(PrivilegedRuntimePreparationRequest{attempt, deadlineUptime},
                                            cancellationQuery(attempt));
        } catch (...) {
            failure = std::current_exception();
        }
        shared_.registry->finish(attempt, now());
        if (failure) std::rethrow_exception(failure);
        return PrepareReply{std::move(token), std::nullopt, std::nullopt};
    } catch (...) {
        auto [code, message] = codeAndMessageOf(std::current_exception());
        return PrepareReply{std::nullopt, std::move(code), std::move(message)};
    }
}

PrivilegedHelperService::StartReply PrivilegedHelperService::startTunnel(
    const std::string& configuration, const std::optional<std::string>& tailscaleCompatibility,
    std::string_view preparedRuntimeToken, std::string_view attemptIdentifier, double deadlineUptime) const {
    try {
        // Any Tailscale data, even empty data, asks for the Tailscale checks
        // and so for their allowance.
        const double extra = tailscaleCompatibility ? tailscaleAllowance : 0.0;
        const Uuid attempt = checkedAttempt(attemptIdentifier, deadlineUptime, extra + startGrace, startWindow);
        if (!shared_.registry->begin(attempt, deadlineUptime + extra + startGrace, now())) {
            throw PrivilegedRuntimeError(Case::tunnelStartupCancelled);
        }
        std::exception_ptr failure;
        PrivilegedRuntime::TunnelStart started;
        {
            const std::lock_guard lock(*shared_.operationLock);
            try {
                started = runtime_.startTunnel(
                    configuration, tailscaleCompatibility, preparedRuntimeToken,
                    PrivilegedTunnelStartupRequest{attempt, deadlineUptime, tailscaleCompatibility.has_value()},
                    cancellationQuery(attempt));
            } catch (...) {
                failure = std::current_exception();
            }
        }
        shared_.registry->finish(attempt, now());
        if (failure) std::rethrow_exception(failure);
        return StartReply{started.processIdentifier, started.routeDeadlineUptime, std::nullopt, std::nullopt};
    } catch (...) {
        auto [code, message] = codeAndMessageOf(std::current_exception());
        return StartReply{std::nullopt, std::nullopt, std::move(code), std::move(message)};
    }
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::cancelTunnelStart(std::string_view attemptIdentifier) const {
    try {
        shared_.registry->cancel(attemptIdentifier, now());
        return FlagReply{true, std::nullopt};
    } catch (...) {
        return FlagReply{false, errorMessage(std::current_exception())};
    }
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::stopTunnelForAttempt(
    std::string_view attemptIdentifier) const {
    const std::lock_guard lock(*shared_.operationLock);
    try {
        // The record is looked at first: with no tunnel there is nothing to
        // stop, whatever the identifier.
        if (!runtime_.hasTunnelState()) return FlagReply{true, std::nullopt};
        const PrivilegedRuntime::TunnelState state = runtime_.recordedTunnelState();
        // A tunnel of another attempt, or of none, is not this caller's to stop.
        if (!PrivilegedHelperContract::validateAttemptIdentifier(attemptIdentifier, state.startupAttemptIdentifier)) {
            return FlagReply{false, std::nullopt};
        }
        runtime_.stopTunnel();
        return FlagReply{true, std::nullopt};
    } catch (...) {
        return FlagReply{false, errorMessage(std::current_exception())};
    }
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::stopTunnel() const {
    shared_.registry->cancelAll(now());
    return flagUnderLock([&] { runtime_.stopTunnel(); });
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::disconnectTunnel() const {
    shared_.registry->cancelAll(now());
    // A tunnel that could not be stopped keeps its protection.
    return flagUnderLock([&] {
        runtime_.stopTunnel();
        runtime_.killSwitch().deactivate();
    });
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::enableSystemProxy(std::string_view serviceName) const {
    return flagUnderLock([&] { runtime_.enableSystemProxy(std::string(serviceName)); });
}

PrivilegedHelperService::FlagReply PrivilegedHelperService::disableSystemProxy() const {
    return flagUnderLock([&] { runtime_.disableSystemProxy(); });
}

}  // namespace tarnel
