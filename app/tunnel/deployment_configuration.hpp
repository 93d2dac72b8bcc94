#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/uuid.hpp"

namespace tarnel {

// Where the traffic checks go. Each target has its own port, so that tests can
// point every check at servers of their own on loopback.
struct TrafficCheckEndpoints {
    // The IP route check connects to this address (an IP literal).
    std::string ipRouteAddress;
    std::uint16_t ipRoutePort = 443;
    // The DNS check connects to "<random label>.1-1-1-1.<domain>", a name that
    // only this wildcard-DNS service answers, with the IP route address.
    std::string wildcardDNSDomain;
    std::uint16_t wildcardDNSPort = 443;
    // The HTTPS check and the local proxy's probe request
    // "https://<host>/cdn-cgi/trace?tarnel_probe=<UUID>" here.
    std::string traceHost;
    std::uint16_t tracePort = 443;
};

// The account service: the host that serves the account portal and its API,
// and the address the support mail goes to.
struct AccountServiceEndpoints {
    std::string host;  // a host name: ASCII letters, digits, "." and "-"
    std::string supportEmailAddress;

    // The keys of the application's information property list that hold
    // them, and what stands in for a value that is absent or unusable: names
    // under the reserved ".invalid" domain, which never resolve.
    static constexpr std::string_view kHostInfoKey = "TarnelAccountServiceHost";
    static constexpr std::string_view kSupportEmailAddressInfoKey = "TarnelSupportEmailAddress";
    static constexpr std::string_view kUnconfiguredHost = "account.tarnel.invalid";
    static constexpr std::string_view kUnconfiguredSupportEmailAddress = "support@tarnel.invalid";

    // The endpoints that the property list at `infoPlist` names. A key that
    // is absent or not a string, a host that is not a host name, or no
    // property list at all gives the unconfigured value.
    [[nodiscard]] static AccountServiceEndpoints fromInfoPlist(const std::optional<std::filesystem::path>& infoPlist);
};

// The outside endpoints the application reaches, in one place. A plain value:
// the application takes `production()`, tests build their own with loopback
// endpoints and never call it.
struct DeploymentConfiguration {
    TrafficCheckEndpoints trafficChecks;
    AccountServiceEndpoints accountService;

    // The account service comes from the running bundle's information
    // property list, read once.
    [[nodiscard]] static DeploymentConfiguration production();
};

// "https://" + host + "/cdn-cgi/trace?tarnel_probe=" + the probe's upper-case
// UUID text: a trace request no cache can answer. An IPv6 literal host is
// written in brackets.
[[nodiscard]] std::string traceProbeURL(std::string_view host, const Uuid& probe);

}  // namespace tarnel
