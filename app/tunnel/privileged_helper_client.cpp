#include "app/tunnel/privileged_helper_client.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "common/contract/helper_contract.hpp"
#include "common/contract/tailscale_compatibility_error.hpp"
#include "common/process/cancellation_error.hpp"
#include "platform/ipc/client.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/ipc/server.hpp"

namespace tarnel {

std::string PrivilegedHelperClientError::message() const {
    switch (case_) {
    case Case::helperRejected:
        return helperMessage_;
    case Case::incompatibleProtocol:
        return "The privileged helper is incompatible (expected version " + std::to_string(expected_) +
               ", received " + std::to_string(actual_) + ").";
    case Case::invalidProxy:
        return "The privileged helper interface is unavailable.";
    case Case::invalidReply:
        return "The privileged helper returned an invalid response.";
    case Case::timedOut:
        return "The privileged helper did not respond in time.";
    case Case::connectionInterrupted:
        return "The privileged helper connection was interrupted.";
    case Case::connectionInvalidated:
        return "The privileged helper connection was closed.";
    case Case::invalidHelperIdentity:
        return "The privileged helper returned an invalid live process identity.";
    case Case::runtimePreparationRequired:
        return "The signed tunnel runtime must be prepared again before connecting.";
    case Case::runtimePreparationDeadlineExceeded:
        return "Preparing the signed tunnel runtime exceeded its deadline.";
    }
    return {};
}

HelperEndpoint HelperEndpoint::production() {
    return HelperEndpoint{ipc::socketPath(ipc::defaultSocketDirectory, PrivilegedHelperProtocol::serviceName), 0,
                          &SystemClock::shared()};
}

namespace {

namespace Protocol = PrivilegedHelperProtocol;
using ClientError = PrivilegedHelperClientError;
using ipc::Dictionary;
using ipc::IPCError;

[[noreturn]] void fail(ClientError::Case errorCase) { throw ClientError(errorCase); }

// A failure of the channel up to the helper's hello. A hello that is not
// this channel's means the other end is no helper this client can talk to.
ClientError connectFailure(const IPCError& error) {
    switch (error.errorCase()) {
    case IPCError::Case::timedOut:
        return ClientError(ClientError::Case::timedOut);
    case IPCError::Case::invalidReply:
    case IPCError::Case::invalidRequest:
        return ClientError(ClientError::Case::invalidProxy);
    case IPCError::Case::interrupted:
        return ClientError(ClientError::Case::connectionInterrupted);
    case IPCError::Case::connectFailed:
    case IPCError::Case::refused:
    case IPCError::Case::untrustedService:
    case IPCError::Case::unsafeSocketDirectory:
        break;
    }
    return ClientError(ClientError::Case::connectionInvalidated);
}

// A failure of the channel after the hello, around one request.
ClientError requestFailure(const IPCError& error) {
    switch (error.errorCase()) {
    case IPCError::Case::timedOut:
        return ClientError(ClientError::Case::timedOut);
    case IPCError::Case::interrupted:
        return ClientError(ClientError::Case::connectionInterrupted);
    case IPCError::Case::invalidReply:
        return ClientError(ClientError::Case::invalidReply);
    case IPCError::Case::invalidRequest:  // nothing was sent
        return ClientError(ClientError::Case::invalidProxy);
    case IPCError::Case::connectFailed:
    case IPCError::Case::refused:
    case IPCError::Case::untrustedService:
    case IPCError::Case::unsafeSocketDirectory:
        break;
    }
    return ClientError(ClientError::Case::connectionInvalidated);
}

// A reply value: nothing when it is nil; a value of another kind is an
// invalid reply.
template <typename T>
std::optional<T> value(const Dictionary& reply, std::string_view key) {
    const auto entry = reply.find(key);
    if (entry == reply.end()) return std::nullopt;
    const T* typed = std::get_if<T>(&entry->second);
    if (typed == nullptr) fail(ClientError::Case::invalidReply);
    return *typed;
}

// A number value: a double, or an integer that a double holds exactly.
std::optional<double> number(const Dictionary& reply, std::string_view key) {
    const auto entry = reply.find(key);
    if (entry == reply.end()) return std::nullopt;
    if (const auto* real = std::get_if<double>(&entry->second)) return *real;
    constexpr std::int64_t exactLimit = std::int64_t{1} << 53;
    if (const auto* integer = std::get_if<std::int64_t>(&entry->second);
        integer != nullptr && *integer >= -exactLimit && *integer <= exactLimit) {
        return static_cast<double>(*integer);
    }
    fail(ClientError::Case::invalidReply);
}

bool fitsProcessIdentifier(std::int64_t value) {
    return value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
}

// The helper's error text, whenever a reply carries one, is its rejection.
void rejectOnError(const Dictionary& reply) {
    if (auto text = value<std::string>(reply, Protocol::reply::error)) {
        throw ClientError::helperRejected(std::move(*text));
    }
}

// A version reply: the error text, then exactly the client's version (a
// missing version reads as 0).
void checkVersion(const Dictionary& reply) {
    rejectOnError(reply);
    const std::int64_t version = value<std::int64_t>(reply, Protocol::reply::version).value_or(0);
    if (version != PrivilegedHelperClient::protocolVersion) {
        throw ClientError::incompatibleProtocol(PrivilegedHelperClient::protocolVersion, version);
    }
}

// An identity reply: the version reply's rules, then a live process
// identifier, 1 to the largest 32-bit one (a missing one reads as 0).
PrivilegedHelperIdentity judgeIdentity(const Dictionary& reply) {
    checkVersion(reply);
    const std::int64_t process = value<std::int64_t>(reply, Protocol::reply::processIdentifier).value_or(0);
    if (process <= 0 || !fitsProcessIdentifier(process)) fail(ClientError::Case::invalidHelperIdentity);
    return PrivilegedHelperIdentity{PrivilegedHelperClient::protocolVersion, static_cast<std::int32_t>(process)};
}

// A strict acknowledgement: the error text, else true; false is no answer.
void acknowledge(const Dictionary& reply) {
    rejectOnError(reply);
    if (value<bool>(reply, Protocol::reply::ok) != true) fail(ClientError::Case::invalidReply);
}

// A flag that is the answer itself, false included.
bool answeredFlag(const Dictionary& reply, std::string_view key) {
    rejectOnError(reply);
    const auto flag = value<bool>(reply, key);
    if (!flag) fail(ClientError::Case::invalidReply);
    return *flag;
}

// The failure of a preparation or start, when its reply carries a message.
void rejectOnErrorMessage(const Dictionary& reply) {
    if (const auto message = value<std::string>(reply, Protocol::reply::errorMessage)) {
        std::rethrow_exception(PrivilegedHelperClient::mapHelperErrorCode(
            value<std::string>(reply, Protocol::reply::errorCode), *message));
    }
}

ipc::Request request(std::string_view selector, Dictionary arguments = {}) {
    return ipc::Request{std::string(selector), std::move(arguments)};
}

// One connection, for one call: every wait of it ends at the call's deadline.
class Connection {
public:
    Connection(const HelperEndpoint& endpoint, double deadline)
        : connection_(open(endpoint, deadline)), deadline_(deadline) {}

    Dictionary send(const ipc::Request& request) {
        try {
            return connection_.call(request, deadline_);
        } catch (const IPCError& error) {
            throw requestFailure(error);
        }
    }

    // The helper speaks this client's version and reports a live process.
    void checkHelper() {
        checkVersion(send(request(Protocol::selector::protocolVersion)));
        (void)judgeIdentity(send(request(Protocol::selector::helperIdentity)));
    }

private:
    static ipc::ClientConnection open(const HelperEndpoint& endpoint, double deadline) {
        try {
            return ipc::ClientConnection::open(endpoint.socketPath, deadline, endpoint.serviceUser, *endpoint.clock);
        } catch (const IPCError& error) {
            throw connectFailure(error);
        }
    }

    ipc::ClientConnection connection_;
    double deadline_;
};

// One call: connect, pre-check when asked, send the request and judge its
// reply, all by `deadline`. The connection closes when the call returns.
template <typename Judge>
auto exchange(const HelperEndpoint& endpoint, double deadline, bool preCheck, const ipc::Request& request,
              Judge&& judge) {
    Connection connection(endpoint, deadline);
    if (preCheck) connection.checkHelper();
    return judge(connection.send(request));
}

bool lost(ClientError::Case errorCase) {
    return errorCase == ClientError::Case::timedOut || errorCase == ClientError::Case::connectionInterrupted ||
           errorCase == ClientError::Case::connectionInvalidated;
}

// Runs a preparation or start; when it was lost on the way, so that the
// helper may still be at work on it, asks the helper to cancel the attempt
// (whatever that answers) before the error is thrown.
template <typename Call>
auto cancellingLostCall(const PrivilegedHelperClient& client, const Uuid& attemptID, Call&& call) {
    try {
        return call();
    } catch (const ClientError& error) {
        if (lost(error.errorCase())) {
            ignoringFailure([&] {
                client.performBooleanRequest(PrivilegedHelperClient::requestCancelTunnelStart(attemptID),
                                             PrivilegedHelperClient::lostStartCancelTimeout);
            });
        }
        throw;
    }
}

// Refuses a deadline that is not finite or not after now, or whose end (the
// deadline with its allowances) lies more than `window` ahead.
void checkWindow(double now, double deadline, double end, double window) {
    if (!(std::isfinite(deadline) && now < deadline && end - now <= window)) {
        throw PrivilegedHelperContractError(PrivilegedHelperContractError::Case::invalidStartupRequest);
    }
}

// The deadline of a call that waits for work the helper may take until
// `end`: one second past it, at least 1.05 s, from the moment the call goes
// out.
double workDeadline(const Clock& clock, double end) {
    const double sent = clock.uptime();
    return sent + std::max(end - sent, 0.05) + 1.0;
}

}  // namespace

PrivilegedHelperClient::PrivilegedHelperClient(HelperEndpoint endpoint) : endpoint_(std::move(endpoint)) {}

PrivilegedHelperClient::Work PrivilegedHelperClient::requestCancelTunnelStart(const Uuid& attemptID) {
    return request(Protocol::selector::cancelTunnelStart,
                   {{std::string(Protocol::argument::attemptIdentifier), attemptID.text()}});
}

PrivilegedHelperClient::Work PrivilegedHelperClient::requestStopTunnelForAttempt(const Uuid& attemptID) {
    return request(Protocol::selector::stopTunnelForAttempt,
                   {{std::string(Protocol::argument::attemptIdentifier), attemptID.text()}});
}

PrivilegedHelperIdentity PrivilegedHelperClient::helperIdentity(double timeout) const {
    return exchange(endpoint_, endpoint_.clock->uptime() + timeout, false,
                    request(Protocol::selector::helperIdentity), judgeIdentity);
}

std::optional<std::int32_t> PrivilegedHelperClient::tunnelStatus(double timeout) const {
    return exchange(endpoint_, endpoint_.clock->uptime() + timeout, false, request(Protocol::selector::tunnelStatus),
                    [](const Dictionary& reply) -> std::optional<std::int32_t> {
                        rejectOnError(reply);
                        const auto process = value<std::int64_t>(reply, Protocol::reply::processIdentifier);
                        if (!process) return std::nullopt;
                        if (!fitsProcessIdentifier(*process)) fail(ClientError::Case::invalidReply);
                        return static_cast<std::int32_t>(*process);
                    });
}

bool PrivilegedHelperClient::tunnelProtectionStatus(double timeout) const {
    return exchange(endpoint_, endpoint_.clock->uptime() + timeout, false,
                    request(Protocol::selector::tunnelProtectionStatus),
                    [](const Dictionary& reply) { return answeredFlag(reply, Protocol::reply::active); });
}

std::string PrivilegedHelperClient::prepareRuntime(const Uuid& attemptID, double deadlineUptime) const {
    const PrivilegedRuntimePreparationRequest preparation{attemptID, deadlineUptime};
    const Clock& clock = *endpoint_.clock;
    // The identifier's text is canonical by construction; the deadline is
    // judged here, before anything is sent.
    checkWindow(clock.uptime(), preparation.deadlineUptime, preparation.deadlineUptime,
                Protocol::preparationWindow);
    const ipc::Request prepare =
        request(Protocol::selector::prepareRuntime,
                {{std::string(Protocol::argument::attemptIdentifier), preparation.attemptID.text()},
                 {std::string(Protocol::argument::deadlineUptime), preparation.deadlineUptime}});
    return cancellingLostCall(*this, attemptID, [&] {
        return exchange(endpoint_, workDeadline(clock, preparation.deadlineUptime), true, prepare,
                        [](const Dictionary& reply) {
                            rejectOnErrorMessage(reply);
                            auto token = value<std::string>(reply, Protocol::reply::token);
                            if (!token || !PrivilegedHelperContract::parseCanonicalAttemptID(*token)) {
                                fail(ClientError::Case::invalidReply);
                            }
                            return std::move(*token);
                        });
    });
}

PrivilegedTunnelStartResult PrivilegedHelperClient::startTunnel(
    const std::string& configuration, const std::optional<std::string>& tailscaleCompatibility,
    const std::string& preparedRuntimeToken, const Uuid& attemptID, double deadlineUptime) const {
    const PrivilegedTunnelStartupRequest startup{attemptID, deadlineUptime, tailscaleCompatibility.has_value()};
    const double allowance = startup.hasTailscaleCompatibility ? Protocol::tailscaleAllowance : 0.0;
    const double end = startup.deadlineUptime + allowance + Protocol::startGrace;
    const Clock& clock = *endpoint_.clock;
    checkWindow(clock.uptime(), startup.deadlineUptime, end, Protocol::startWindow);

    Dictionary arguments{
        {std::string(Protocol::argument::configuration), ipc::Data(configuration)},
        {std::string(Protocol::argument::preparedRuntimeToken), preparedRuntimeToken},
        {std::string(Protocol::argument::attemptIdentifier), startup.attemptID.text()},
        {std::string(Protocol::argument::deadlineUptime), startup.deadlineUptime},
    };
    // Absent data stays nil; empty data travels as empty data.
    if (tailscaleCompatibility) {
        arguments.emplace(std::string(Protocol::argument::tailscaleCompatibility), ipc::Data(*tailscaleCompatibility));
    }
    const ipc::Request start = request(Protocol::selector::startTunnel, std::move(arguments));
    return cancellingLostCall(*this, attemptID, [&] {
        return exchange(endpoint_, workDeadline(clock, end), true, start, [&](const Dictionary& reply) {
            rejectOnErrorMessage(reply);
            const auto process = value<std::int64_t>(reply, Protocol::reply::processIdentifier);
            const auto routeDeadline = number(reply, Protocol::reply::routeDeadline);
            if (!process || !routeDeadline || !fitsProcessIdentifier(*process) || !std::isfinite(*routeDeadline) ||
                !(*routeDeadline > 0.0)) {
                fail(ClientError::Case::invalidReply);
            }
            const bool withinAllowance = startup.hasTailscaleCompatibility
                                             ? *routeDeadline <= startup.deadlineUptime + Protocol::tailscaleAllowance
                                             : *routeDeadline == startup.deadlineUptime;
            if (!withinAllowance) fail(ClientError::Case::invalidReply);
            return PrivilegedTunnelStartResult{static_cast<std::int32_t>(*process), *routeDeadline};
        });
    });
}

void PrivilegedHelperClient::performBooleanRequest(const Work& work, double timeout, bool checkVersion) const {
    exchange(endpoint_, endpoint_.clock->uptime() + timeout, checkVersion, work, acknowledge);
}

bool PrivilegedHelperClient::performVersionCheckedBooleanRequest(const Work& work, double timeout) const {
    return exchange(endpoint_, endpoint_.clock->uptime() + timeout, true, work,
                    [](const Dictionary& reply) { return answeredFlag(reply, Protocol::reply::ok); });
}

void PrivilegedHelperClient::disableSystemProxy(double timeout, bool checkVersion) const {
    performBooleanRequest(request(Protocol::selector::disableSystemProxy), timeout, checkVersion);
}

void PrivilegedHelperClient::enableSystemProxy(std::string_view serviceName, double timeout, bool checkVersion) const {
    performBooleanRequest(
        request(Protocol::selector::enableSystemProxy,
                {{std::string(Protocol::argument::serviceName), std::string(serviceName)}}),
        timeout, checkVersion);
}

void PrivilegedHelperClient::disconnectTunnel(double timeout, bool checkVersion) const {
    performBooleanRequest(request(Protocol::selector::disconnectTunnel), timeout, checkVersion);
}

void PrivilegedHelperClient::renewTunnelProtectionLease(double timeout, bool checkVersion) const {
    performBooleanRequest(request(Protocol::selector::renewTunnelProtectionLease), timeout, checkVersion);
}

std::exception_ptr PrivilegedHelperClient::mapHelperErrorCode(const std::optional<std::string>& code,
                                                             const std::string& message) {
    switch (helperErrorCodeIndex(code)) {
    case 0:
        return std::make_exception_ptr(CancellationError());
    case 1:
        return std::make_exception_ptr(ClientError(ClientError::Case::runtimePreparationRequired));
    case 2:
        return std::make_exception_ptr(ClientError(ClientError::Case::runtimePreparationDeadlineExceeded));
    case 3:
        return std::make_exception_ptr(TailscaleCompatibilityError(TailscaleCompatibilityError::Case::commandFailed));
    case 4:
        return std::make_exception_ptr(
            TailscaleCompatibilityError(TailscaleCompatibilityError::Case::validationFailed));
    default:
        return std::make_exception_ptr(ClientError::helperRejected(message));
    }
}

std::size_t PrivilegedHelperClient::helperErrorCodeIndex(const std::optional<std::string_view>& code) noexcept {
    const auto& codes = Protocol::replyCode::all;
    if (!code) return codes.size();
    return static_cast<std::size_t>(std::find(codes.begin(), codes.end(), *code) - codes.begin());
}

}  // namespace tarnel
