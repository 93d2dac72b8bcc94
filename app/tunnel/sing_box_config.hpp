#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/catalog/route_model.hpp"
#include "common/base/error.hpp"
#include "common/base/json.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"

namespace tarnel {

// A route lacks a field that its transport needs, so no configuration can be
// built for it. One case per transport kind, without payloads.
class SingBoxConfigError final : public Error {
public:
    enum class Case {
        missingVLESSFields,
        missingHysteria2Fields,
        missingAnyTLSFields,
        missingNaiveFields,
        missingShadowTLSFields,
        missingTrojanFields,
        missingTUICFields,
        missingShadowsocksFields,
        missingVMessWSFields,
        missingVLESSGRPCFields,
        missingHysteriaFields,
    };

    explicit SingBoxConfigError(Case errorCase) noexcept : case_(errorCase) {}

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "SingBoxConfigError"; }

    friend bool operator==(const SingBoxConfigError& a, const SingBoxConfigError& b) noexcept {
        return a.case_ == b.case_;
    }

private:
    Case case_;
};

// The sing-box configuration of one route, for the two connection modes: TUN
// mode (the helper runs sing-box as root with a TUN inbound) and proxy mode
// (the application runs sing-box as a local mixed proxy).
//
// The TUN document is exactly the shape that
// PrivilegedTunnelConfigurationValidator accepts: fixed tags and addresses,
// one DNS server, one TUN inbound, the route's outbounds plus "direct", and a
// route policy that keeps the proxy server and the private ranges out of the
// tunnel. A change on one side must be made on the other.
//
// Pure functions of their arguments: nothing is cached, no file is touched;
// callable from any thread. Route fields are copied as they are; whether a
// finished TUN document is acceptable is the validator's judgement.
namespace SingBoxConfig {

// The local mixed proxy of proxy mode.
inline constexpr std::string_view kMixedInboundTag = "tarnel-mixed";
inline constexpr std::string_view kMixedListenAddress = "127.0.0.1";
inline constexpr std::int64_t kMixedListenPort = 2080;
// The TUN inbound of TUN mode.
inline constexpr std::string_view kTunInboundTag = "tarnel-tun";
// The two outbounds of a ShadowTLS route: Shadowsocks rides on the carrier.
inline constexpr std::string_view kShadowTLSShadowsocksTag = "tarnel-shadowtls-ss";
inline constexpr std::string_view kShadowTLSCarrierTag = PrivilegedTunnelConfigurationValidator::shadowTLSCarrierTag;

// The TUN-mode document: the pretty form (keys sorted, two-space indent,
// `"key" : value`, "/" written as "\/"), identical bytes for identical
// arguments. `defaultInterface` pins the route to that interface; without it
// the document asks for automatic interface detection.
// Throws SingBoxConfigError when the route lacks a field its transport needs
// (before anything else is built), or the writer's json::JsonError unchanged
// (for example a route field that is not well-formed UTF-8).
[[nodiscard]] std::string tunnelConfiguration(const RouteNode& route,
                                              const std::optional<std::string>& defaultInterface);

// The proxy-mode document: a mixed inbound on 127.0.0.1:2080 in place of the
// TUN inbound, log level "warn", and a "block" outbound after "direct".
// Same form, determinism and failures as tunnelConfiguration.
[[nodiscard]] std::string proxyConfiguration(const RouteNode& route,
                                             const std::optional<std::string>& defaultInterface);

// The route object: the two rules, "final" on the route's outbound tag, and
// either "default_interface" (when an interface is given) or
// "auto_detect_interface": true, never both.
[[nodiscard]] json::Value routeObject(const RouteNode& route, const std::optional<std::string>& defaultInterface);

// The two route rules, in order: the server rule (the server's host prefix as
// "ip_cidr" when the server is an IP literal, else the server as "domain"),
// then the private ranges as "ip_cidr"; both go to "direct".
[[nodiscard]] json::Value routeRules(const RouteNode& route);

// Whether the configuration treats the server as an IP literal: four groups
// of one to three ASCII digits joined by dots (values are not range-checked,
// so "999.1.1.1" counts), or a text with at least one ":" made only of ASCII
// hexadecimal digits and colons (no brackets, zone or embedded dotted quad).
// The whole text must match; a trailing line break never does.
[[nodiscard]] bool isIPLiteral(std::string_view server);

// Four groups of one to three ASCII digits joined by dots, the whole text
// (values are not range-checked).
[[nodiscard]] bool isDottedQuad(std::string_view text) noexcept;

// The server as a one-address prefix: + "/32" for a dotted quad as above,
// otherwise + "/128".
[[nodiscard]] std::string hostPrefix(std::string_view server);

// The tag under which the document refers to the route's proxy outbound
// (for ShadowTLS, the Shadowsocks outbound). Total.
[[nodiscard]] std::string_view outboundTag(RouteTransport transport) noexcept;
[[nodiscard]] std::string_view outboundTag(const RouteNode& route) noexcept;

// The route's proxy outbound (for ShadowTLS, the Shadowsocks outbound that
// rides on the carrier). Throws SingBoxConfigError.
[[nodiscard]] json::Value proxyOutbound(const RouteNode& route);

// The route's outbounds as a JSON array: the proxy outbound alone, or for
// ShadowTLS the proxy outbound followed by its carrier. Throws
// SingBoxConfigError.
[[nodiscard]] json::Value outbounds(const RouteNode& route);

// The plain TLS object: enabled, the route's server name and insecure flag,
// its ALPN list only when not empty, and with `withUTLS` the uTLS
// fingerprint.
[[nodiscard]] json::Value tlsObject(const RouteNode& route, bool withUTLS);

}  // namespace SingBoxConfig
}  // namespace tarnel
