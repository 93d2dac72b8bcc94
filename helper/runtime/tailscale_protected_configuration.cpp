#include "helper/runtime/tailscale_protected_configuration.hpp"

#include <algorithm>
#include <optional>

#include "common/base/ip_literal.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"

namespace tarnel::PrivilegedTunnelConfigurationValidator {
namespace {

[[noreturn]] void reject(std::string reason) {
    throw PrivilegedHelperContractError::invalidConfiguration(std::move(reason));
}

bool isArrayOfObjects(const json::Value& value) {
    return value.is_array() && std::all_of(value.begin(), value.end(), [](const json::Value& e) { return e.is_object(); });
}

bool isArrayOfStrings(const json::Value& value) {
    return value.is_array() && std::all_of(value.begin(), value.end(), [](const json::Value& e) { return e.is_string(); });
}

}  // namespace

std::vector<std::string> underlayExclusions(const std::vector<TailscaleUnderlayEndpoint>& endpoints) {
    std::vector<std::string> prefixes;
    for (const std::string& address : TailscaleUnderlayEndpoint::validatedAddresses(endpoints)) {
        const std::optional<IPAddressFamily> family = ipLiteralFamily(address);
        if (!family) reject("Tailscale underlay address is invalid");
        prefixes.push_back(address + (*family == IPAddressFamily::ipv4 ? "/32" : "/128"));
    }
    std::sort(prefixes.begin(), prefixes.end());
    prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
    return prefixes;
}

std::string protectedConfiguration(std::string_view configuration, std::string_view tailscaleInterface,
                                   const std::vector<TailscaleUnderlayEndpoint>& underlayEndpoints) {
    (void)validate(configuration);
    PrivilegedHelperContract::validateProtectedDNSInterface(tailscaleInterface);

    json::Value document = json::parse(configuration);
    if (!document.contains("inbounds") || !isArrayOfObjects(document["inbounds"]) ||
        document["inbounds"].size() != 1 || !document.contains("route") || !document["route"].is_object() ||
        !document["route"].contains("rules") || !isArrayOfObjects(document["route"]["rules"])) {
        reject("Tailscale protected configuration is invalid");
    }

    json::Value& inbound = document["inbounds"][0];
    const json::Value& rules = document["route"]["rules"];
    const bool ruleNamesProcessPath =
        std::any_of(rules.begin(), rules.end(), [](const json::Value& rule) { return rule.contains("process_path"); });
    if (inbound.contains("exclude_interface") || !inbound.contains("route_exclude_address") ||
        !isArrayOfStrings(inbound["route_exclude_address"]) || ruleNamesProcessPath) {
        reject("Tailscale compatibility fields must be helper-owned");
    }

    inbound["exclude_interface"] = json::Value::array({std::string(tailscaleInterface)});
    json::Value& exclusions = inbound["route_exclude_address"];
    const json::Value existing = exclusions;
    for (const std::string& prefix : underlayExclusions(underlayEndpoints)) {
        if (std::find(existing.begin(), existing.end(), prefix) == existing.end()) exclusions.push_back(prefix);
    }

    std::string output = json::writePretty(document, json::Slashes::unescaped);
    if (output.size() > maximumConfigurationSize) reject("Tailscale protected configuration is too large");
    return output;
}

}  // namespace tarnel::PrivilegedTunnelConfigurationValidator
