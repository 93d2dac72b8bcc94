#include "helper/service/privileged_helper_protocol.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace tarnel::PrivilegedHelperProtocol {

namespace {

using ipc::Argument;
using ipc::Dictionary;
using ipc::Kind;
using Service = PrivilegedHelperService;

// Sets `key` when the value is present; nil stays absent.
template <typename T>
void put(Dictionary& values, std::string_view key, const std::optional<T>& value) {
    if (value) values.emplace(std::string(key), *value);
}

Dictionary flagReply(const Service::FlagReply& result, std::string_view flag) {
    Dictionary values{{std::string(flag), result.value}};
    put(values, reply::error, result.error);
    return values;
}

std::optional<std::int64_t> widened(const std::optional<std::int32_t>& value) {
    if (!value) return std::nullopt;
    return static_cast<std::int64_t>(*value);
}

std::optional<std::string> optionalData(const Dictionary& arguments, std::string_view key) {
    const auto* data = ipc::find<ipc::Data>(arguments, key);
    if (data == nullptr) return std::nullopt;
    return data->bytes;
}

Dictionary dispatch(const Service& service, const ipc::Request& request) {
    const Dictionary& arguments = request.arguments;
    const std::string_view name = request.selector;
    const auto text = [&](std::string_view key) { return ipc::textOrEmpty(arguments, key); };
    const auto number = [&](std::string_view key) { return ipc::numberOrZero(arguments, key); };

    if (name == selector::protocolVersion) {
        const auto result = service.protocolVersionQuery();
        Dictionary values{{std::string(reply::version), result.version}};
        put(values, reply::error, result.error);
        return values;
    }
    if (name == selector::helperIdentity) {
        const auto result = service.helperIdentity();
        Dictionary values{{std::string(reply::version), result.version},
                          {std::string(reply::processIdentifier), static_cast<std::int64_t>(result.processIdentifier)}};
        put(values, reply::error, result.error);
        return values;
    }
    if (name == selector::tunnelStatus) {
        const auto result = service.tunnelStatus();
        Dictionary values;
        put(values, reply::processIdentifier, widened(result.processIdentifier));
        put(values, reply::error, result.error);
        return values;
    }
    if (name == selector::tunnelProtectionStatus) return flagReply(service.tunnelProtectionStatus(), reply::active);
    if (name == selector::renewTunnelProtectionLease) return flagReply(service.renewTunnelProtectionLease(), reply::ok);
    if (name == selector::prepareRuntime) {
        const auto result =
            service.prepareRuntime(text(argument::attemptIdentifier), number(argument::deadlineUptime));
        Dictionary values;
        put(values, reply::token, result.token);
        put(values, reply::errorCode, result.errorCode);
        put(values, reply::errorMessage, result.errorMessage);
        return values;
    }
    if (name == selector::startTunnel) {
        const auto result = service.startTunnel(optionalData(arguments, argument::configuration).value_or(""),
                                                optionalData(arguments, argument::tailscaleCompatibility),
                                                text(argument::preparedRuntimeToken),
                                                text(argument::attemptIdentifier), number(argument::deadlineUptime));
        Dictionary values;
        put(values, reply::processIdentifier, widened(result.processIdentifier));
        put(values, reply::routeDeadline, result.routeDeadline);
        put(values, reply::errorCode, result.errorCode);
        put(values, reply::errorMessage, result.errorMessage);
        return values;
    }
    if (name == selector::cancelTunnelStart) {
        return flagReply(service.cancelTunnelStart(text(argument::attemptIdentifier)), reply::ok);
    }
    if (name == selector::stopTunnelForAttempt) {
        return flagReply(service.stopTunnelForAttempt(text(argument::attemptIdentifier)), reply::ok);
    }
    if (name == selector::stopTunnel) return flagReply(service.stopTunnel(), reply::ok);
    if (name == selector::disconnectTunnel) return flagReply(service.disconnectTunnel(), reply::ok);
    if (name == selector::enableSystemProxy) {
        return flagReply(service.enableSystemProxy(text(argument::serviceName)), reply::ok);
    }
    if (name == selector::disableSystemProxy) return flagReply(service.disableSystemProxy(), reply::ok);
    // The interface admits no other selector; should one slip through, its
    // connection closes without a reply.
    throw std::logic_error("no operation for selector " + std::string(name));
}

Argument nullable(std::string_view name, Kind kind) { return Argument{std::string(name), kind, true}; }

}  // namespace

const ipc::Interface& interface() {
    static const ipc::Interface operations({
        {std::string(selector::protocolVersion), {}},
        {std::string(selector::helperIdentity), {}},
        {std::string(selector::tunnelStatus), {}},
        {std::string(selector::tunnelProtectionStatus), {}},
        {std::string(selector::renewTunnelProtectionLease), {}},
        {std::string(selector::prepareRuntime),
         {nullable(argument::attemptIdentifier, Kind::text), nullable(argument::deadlineUptime, Kind::number)}},
        {std::string(selector::startTunnel),
         {nullable(argument::configuration, Kind::data), nullable(argument::tailscaleCompatibility, Kind::data),
          nullable(argument::preparedRuntimeToken, Kind::text), nullable(argument::attemptIdentifier, Kind::text),
          nullable(argument::deadlineUptime, Kind::number)}},
        {std::string(selector::cancelTunnelStart), {nullable(argument::attemptIdentifier, Kind::text)}},
        {std::string(selector::stopTunnelForAttempt), {nullable(argument::attemptIdentifier, Kind::text)}},
        {std::string(selector::stopTunnel), {}},
        {std::string(selector::disconnectTunnel), {}},
        {std::string(selector::enableSystemProxy), {nullable(argument::serviceName, Kind::text)}},
        {std::string(selector::disableSystemProxy), {}},
    });
    return operations;
}

ipc::Handler handler(std::shared_ptr<const PrivilegedHelperService> service) {
    return [service = std::move(service)](const ipc::Request& request) { return dispatch(*service, request); };
}

}  // namespace tarnel::PrivilegedHelperProtocol
