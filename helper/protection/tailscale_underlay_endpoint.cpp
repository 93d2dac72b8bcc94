#include "helper/protection/tailscale_underlay_endpoint.hpp"

#include <algorithm>
#include <functional>

#include "common/base/ip_literal.hpp"
#include "common/contract/helper_contract.hpp"

namespace tarnel {

std::string_view rawValue(TailscaleUnderlayTransport transport) noexcept {
    return transport == TailscaleUnderlayTransport::tcp ? "tcp" : "udp";
}

std::optional<TailscaleUnderlayTransport> tailscaleUnderlayTransport(std::string_view raw) noexcept {
    if (raw == "tcp") return TailscaleUnderlayTransport::tcp;
    if (raw == "udp") return TailscaleUnderlayTransport::udp;
    return std::nullopt;
}

std::strong_ordering operator<=>(const TailscaleUnderlayEndpoint& a, const TailscaleUnderlayEndpoint& b) {
    if (const auto order = rawValue(a.transport) <=> rawValue(b.transport); order != 0) return order;
    if (const auto order = a.port <=> b.port; order != 0) return order;
    return a.address <=> b.address;
}

json::OrderedValue TailscaleUnderlayEndpoint::toJSON() const {
    json::OrderedValue value = json::OrderedValue::object();
    value["address"] = address;
    value["port"] = port;
    value["transport"] = std::string(rawValue(transport));
    return value;
}

TailscaleUnderlayEndpoint TailscaleUnderlayEndpoint::fromJSON(const json::Value& value, std::string_view path) {
    const json::ObjectReader reader(value, std::string(path));
    TailscaleUnderlayEndpoint endpoint;
    endpoint.address = reader.string("address");
    endpoint.port = reader.integer<std::int64_t>("port");
    const auto transport = tailscaleUnderlayTransport(reader.string("transport"));
    if (!transport) throw json::JsonError(json::JsonError::Case::typeMismatch, reader.pathOf("transport"));
    endpoint.transport = *transport;
    return endpoint;
}

std::vector<TailscaleUnderlayEndpoint> TailscaleUnderlayEndpoint::validatedList(
    const std::vector<TailscaleUnderlayEndpoint>& endpoints) {
    if (endpoints.empty() || endpoints.size() > maximumCount) {
        throw PrivilegedHelperContractError::invalidConfiguration("Tailscale underlay endpoint count is invalid");
    }
    for (const auto& endpoint : endpoints) {
        if (!isIPLiteral(endpoint.address) || endpoint.port < 1 || endpoint.port > 65535) {
            throw PrivilegedHelperContractError::invalidConfiguration("Tailscale underlay endpoint is invalid");
        }
    }
    std::vector<TailscaleUnderlayEndpoint> canonical = endpoints;
    std::sort(canonical.begin(), canonical.end());
    canonical.erase(std::unique(canonical.begin(), canonical.end()), canonical.end());
    return canonical;
}

std::vector<std::string> TailscaleUnderlayEndpoint::validatedAddresses(
    const std::vector<TailscaleUnderlayEndpoint>& endpoints) {
    std::vector<std::string> addresses;
    for (auto& endpoint : validatedList(endpoints)) addresses.push_back(std::move(endpoint.address));
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

std::size_t TailscaleUnderlayEndpointHash::operator()(const TailscaleUnderlayEndpoint& endpoint) const noexcept {
    std::size_t hash = std::hash<std::string>{}(endpoint.address);
    const auto combine = [&hash](std::size_t value) { hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2); };
    combine(std::hash<std::int64_t>{}(endpoint.port));
    combine(std::hash<std::string_view>{}(rawValue(endpoint.transport)));
    return hash;
}

}  // namespace tarnel
