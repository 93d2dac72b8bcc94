#include "common/contract/tunnel_configuration_validator.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "common/base/ip_literal.hpp"
#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "common/contract/interface_names.hpp"

namespace tarnel::PrivilegedTunnelConfigurationValidator {

namespace {

using json::Value;

constexpr std::string_view kProxyTagPrefix = "tarnel-";
constexpr std::size_t kMaximumCredentialSize = 4096;

// ---------------------------------------------------------------------------
// Common value checks. Each one rejects with its own fixed reason.

[[noreturn]] void reject(std::string reason) {
    throw PrivilegedHelperContractError::invalidConfiguration(std::move(reason));
}

std::string joined(std::string_view first, std::string_view second) {
    std::string text(first);
    text += second;
    return text;
}

// A member of an object. A key whose value is null is present: null is a
// value of the wrong type for every field, never a way to leave one out.
const Value* member(const Value& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const Value& requireObject(const Value& value, std::string_view path) {
    if (!value.is_object()) reject(joined(path, " must be an object"));
    return value;
}

void onlyKeys(const Value& object, std::initializer_list<std::string_view> allowed, std::string_view path) {
    for (const auto& item : object.items()) {
        if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end()) {
            reject(joined(path, " fields are not permitted"));
        }
    }
}

void keysExactly(const Value& object, std::initializer_list<std::string_view> allowed,
                 std::initializer_list<std::string_view> required, std::string_view path) {
    onlyKeys(object, allowed, path);
    for (const auto key : required) {
        if (member(object, key) == nullptr) reject(joined(path, " fields are not permitted"));
    }
}

const Value& requiredKey(const Value& object, std::string_view key) {
    const Value* value = member(object, key);
    if (value == nullptr) reject(joined("missing field ", key));
    return *value;
}

bool containsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// A string of 1..maximum UTF-8 bytes without NUL. (The JSON reader has already
// refused text that is not UTF-8, so the byte count is the UTF-8 length.)
const std::string& boundedString(const Value& value, std::size_t maximum, std::string_view label) {
    if (!value.is_string()) reject(joined(label, " must be a bounded string"));
    const auto& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > maximum || containsNul(text)) {
        reject(joined(label, " must be a bounded string"));
    }
    return text;
}

// A required key holding a bounded string, labelled by the key.
const std::string& requiredString(const Value& object, std::string_view key, std::size_t maximum) {
    return boundedString(requiredKey(object, key), maximum, key);
}

const Value& boundedArray(const Value& value, std::size_t maximum, std::string_view label) {
    if (!value.is_array() || value.size() > maximum) reject(joined(label, " must be a bounded array"));
    return value;
}

bool boolean(const Value& object, std::string_view key) {
    const Value* value = member(object, key);
    if (value == nullptr || !value->is_boolean()) reject(joined(key, " must be a boolean"));
    return value->get<bool>();
}

// A JSON number with an integral value in minimum..maximum. The value decides,
// not the way it is written: 1400, 1400.0 and 1.4e3 all pass; 1400.5, true and
// "1400" are not integers. (The builder only ever writes integer literals; a
// runtime that insists on them refuses such a file at start, which fails the
// start rather than weakening it.)
std::int64_t boundedInteger(const Value& object, std::string_view key, std::int64_t minimum, std::int64_t maximum) {
    const Value* value = member(object, key);
    const std::string reason = joined(key, " must be a bounded integer");
    if (value == nullptr || !value->is_number()) reject(reason);
    std::int64_t number = 0;
    if (value->is_number_unsigned()) {
        const auto wide = value->get<std::uint64_t>();
        if (wide > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) reject(reason);
        number = static_cast<std::int64_t>(wide);
    } else if (value->is_number_integer()) {
        number = value->get<std::int64_t>();
    } else {
        const double real = value->get<double>();
        // Bounds are small, so comparing in double is exact; the cast below
        // only ever sees a whole number inside them.
        if (!std::isfinite(real) || std::trunc(real) != real || real < static_cast<double>(minimum) ||
            real > static_cast<double>(maximum)) {
            reject(reason);
        }
        number = static_cast<std::int64_t>(real);
    }
    if (number < minimum || number > maximum) reject(reason);
    return number;
}

const std::string& credential(const Value& object, std::string_view key, bool mayBeEmpty) {
    const Value* value = member(object, key);
    const std::string reason = joined(key, " is not a bounded credential");
    if (value == nullptr || !value->is_string()) reject(reason);
    const auto& text = value->get_ref<const std::string&>();
    if (text.size() > kMaximumCredentialSize || containsNul(text) || (!mayBeEmpty && text.empty())) {
        reject(reason);
    }
    return text;
}

// Whole-string match of [A-Za-z0-9._:-]+, 1..253 bytes, without "..".
bool isHostLike(std::string_view text) {
    if (text.empty() || text.size() > 253 || text.find("..") != std::string_view::npos) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == ':' || c == '-';
    });
}

// Whether a JSON array holds exactly these strings, in this order.
template <typename Strings>
bool holdsExactly(const Value& array, const Strings& expected) {
    if (array.size() != std::size(expected)) return false;
    std::size_t index = 0;
    for (const auto& text : expected) {
        const Value& element = array[index++];
        if (!element.is_string() || element.get_ref<const std::string&>() != text) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Nested objects of the proxy outbounds.

void checkEndpointFields(const Value& outbound, const std::string& path) {
    if (!isHostLike(requiredString(outbound, "server", 253))) reject(path + ".server is not a host");
    static_cast<void>(boundedInteger(outbound, "server_port", 1, 65535));
    if (!requiredString(outbound, "tag", 64).starts_with(kProxyTagPrefix)) reject(path + ".tag is not permitted");
}

void checkTLS(const Value& outbound, const std::string& path) {
    const std::string tlsPath = path + ".tls";
    const Value& tls = requireObject(requiredKey(outbound, "tls"), tlsPath);
    keysExactly(tls, {"enabled", "server_name", "insecure", "alpn", "utls", "reality"}, {"enabled", "server_name"},
                tlsPath);
    if (!boolean(tls, "enabled")) reject(tlsPath + " must be enabled");
    if (!isHostLike(requiredString(tls, "server_name", 253))) reject(tlsPath + ".server_name is not permitted");
    if (member(tls, "insecure") != nullptr) static_cast<void>(boolean(tls, "insecure"));
    if (const Value* alpn = member(tls, "alpn")) {
        const std::string label = tlsPath + ".alpn";
        for (const Value& protocol : boundedArray(*alpn, 8, label))
            static_cast<void>(boundedString(protocol, 32, label));
    }
    if (const Value* utlsValue = member(tls, "utls")) {
        const std::string utlsPath = tlsPath + ".utls";
        const Value& utls = requireObject(*utlsValue, utlsPath);
        onlyKeys(utls, {"enabled", "fingerprint"}, utlsPath);
        if (!boolean(utls, "enabled")) reject("uTLS must be enabled");
        static_cast<void>(credential(utls, "fingerprint", false));
    }
    if (const Value* realityValue = member(tls, "reality")) {
        const std::string realityPath = tlsPath + ".reality";
        const Value& reality = requireObject(*realityValue, realityPath);
        onlyKeys(reality, {"enabled", "public_key", "short_id"}, realityPath);
        if (!boolean(reality, "enabled")) reject("Reality must be enabled");
        static_cast<void>(credential(reality, "public_key", false));
        static_cast<void>(credential(reality, "short_id", true));
    }
}

enum class TransportKind { grpc, webSocket };

void checkTransport(const Value& value, const std::string& path, TransportKind expected) {
    const std::string transportPath = path + ".transport";
    const Value& transport = requireObject(value, transportPath);
    switch (expected) {
        case TransportKind::grpc:
            onlyKeys(transport, {"type", "service_name"}, transportPath);
            if (requiredString(transport, "type", 16) != "grpc") reject("gRPC transport is not permitted");
            static_cast<void>(credential(transport, "service_name", false));
            return;
        case TransportKind::webSocket: {
            onlyKeys(transport, {"type", "path", "headers"}, transportPath);
            if (requiredString(transport, "type", 16) != "ws") reject("WebSocket transport is not permitted");
            if (!requiredString(transport, "path", 2048).starts_with('/')) reject("WebSocket path is not permitted");
            if (const Value* headersValue = member(transport, "headers")) {
                const std::string headersPath = transportPath + ".headers";
                const Value& headers = requireObject(*headersValue, headersPath);
                onlyKeys(headers, {"Host"}, headersPath);
                if (!isHostLike(requiredString(headers, "Host", 253))) reject("WebSocket host is not permitted");
            }
            return;
        }
    }
}

void checkUDPOverTCP(const Value& value, const std::string& path) {
    const std::string udpPath = path + ".udp_over_tcp";
    const Value& udp = requireObject(value, udpPath);
    onlyKeys(udp, {"enabled"}, udpPath);
    if (!boolean(udp, "enabled")) reject(udpPath + " must be enabled");
}

// ---------------------------------------------------------------------------
// Proxy outbounds, one rule per type.

void checkVLESS(const Value& outbound, const std::string& path) {
    keysExactly(outbound, {"type", "tag", "server", "server_port", "uuid", "tls", "flow", "transport"},
                {"type", "tag", "server", "server_port", "uuid", "tls"}, path);
    checkEndpointFields(outbound, path);
    static_cast<void>(credential(outbound, "uuid", false));
    checkTLS(outbound, path);
    if (const Value* flow = member(outbound, "flow")) {
        if (boundedString(*flow, 64, path + ".flow") != "xtls-rprx-vision") reject("VLESS flow is not permitted");
    }
    if (const Value* transport = member(outbound, "transport")) checkTransport(*transport, path, TransportKind::grpc);
}

void checkHysteria2(const Value& outbound, const std::string& path) {
    keysExactly(outbound, {"type", "tag", "server", "server_port", "password", "tls", "up_mbps", "down_mbps", "obfs"},
                {"type", "tag", "server", "server_port", "password", "tls", "up_mbps", "down_mbps"}, path);
    checkEndpointFields(outbound, path);
    static_cast<void>(credential(outbound, "password", false));
    checkTLS(outbound, path);
    static_cast<void>(boundedInteger(outbound, "up_mbps", 1, 10000));
    static_cast<void>(boundedInteger(outbound, "down_mbps", 1, 10000));
    if (const Value* obfsValue = member(outbound, "obfs")) {
        const std::string obfsPath = path + ".obfs";
        const Value& obfs = requireObject(*obfsValue, obfsPath);
        onlyKeys(obfs, {"type", "password"}, obfsPath);
        static_cast<void>(credential(obfs, "type", false));
        static_cast<void>(credential(obfs, "password", false));
    }
}

// AnyTLS and Trojan share one shape.
void checkPasswordWithTLS(const Value& outbound, const std::string& path) {
    onlyKeys(outbound, {"type", "tag", "server", "server_port", "password", "tls"}, path);
    checkEndpointFields(outbound, path);
    static_cast<void>(credential(outbound, "password", false));
    checkTLS(outbound, path);
}

void checkNaive(const Value& outbound, const std::string& path) {
    keysExactly(outbound,
                {"type", "tag", "server", "server_port", "username", "password", "quic", "tls", "insecure_concurrency",
                 "udp_over_tcp"},
                {"type", "tag", "server", "server_port", "username", "password", "quic", "tls"}, path);
    checkEndpointFields(outbound, path);
    static_cast<void>(credential(outbound, "username", false));
    static_cast<void>(credential(outbound, "password", false));
    static_cast<void>(boolean(outbound, "quic"));
    checkTLS(outbound, path);
    if (member(outbound, "insecure_concurrency") != nullptr) {
        static_cast<void>(boundedInteger(outbound, "insecure_concurrency", 1, 64));
    }
    if (const Value* udp = member(outbound, "udp_over_tcp")) checkUDPOverTCP(*udp, path);
}

// Answers whether this is the Shadowsocks half of a ShadowTLS pairing (it has
// a detour through the carrier instead of server fields of its own).
bool checkShadowsocks(const Value& outbound, const std::string& path) {
    keysExactly(outbound, {"type", "tag", "server", "server_port", "method", "password", "detour", "udp_over_tcp"},
                {"type", "tag", "method", "password"}, path);
    static_cast<void>(credential(outbound, "method", false));
    static_cast<void>(credential(outbound, "password", false));
    const Value* detour = member(outbound, "detour");
    if (detour == nullptr) {
        checkEndpointFields(outbound, path);
    } else {
        if (boundedString(*detour, 64, path + ".detour") != shadowTLSCarrierTag ||
            member(outbound, "server") != nullptr || member(outbound, "server_port") != nullptr) {
            reject("ShadowTLS detour is not permitted");
        }
        // Without server fields the endpoint rule does not run, yet this tag
        // is the one that DNS and the final route point at: it must be a
        // proxy tag like any other, never "direct".
        if (!requiredString(outbound, "tag", 64).starts_with(kProxyTagPrefix)) {
            reject(path + ".tag is not permitted");
        }
    }
    if (const Value* udp = member(outbound, "udp_over_tcp")) checkUDPOverTCP(*udp, path);
    return detour != nullptr;
}

void checkTUIC(const Value& outbound, const std::string& path) {
    onlyKeys(outbound,
             {"type", "tag", "server", "server_port", "uuid", "password", "congestion_control", "udp_relay_mode",
              "zero_rtt_handshake", "tls"},
             path);
    checkEndpointFields(outbound, path);
    for (const auto key : {"uuid", "password", "congestion_control", "udp_relay_mode"}) {
        static_cast<void>(credential(outbound, key, false));
    }
    if (boolean(outbound, "zero_rtt_handshake")) reject("TUIC zero-RTT is not permitted");
    checkTLS(outbound, path);
}

void checkVMess(const Value& outbound, const std::string& path) {
    onlyKeys(outbound, {"type", "tag", "server", "server_port", "uuid", "security", "alter_id", "transport", "tls"},
             path);
    checkEndpointFields(outbound, path);
    static_cast<void>(credential(outbound, "uuid", false));
    if (requiredString(outbound, "security", 16) != "auto") reject("VMess settings are not permitted");
    static_cast<void>(boundedInteger(outbound, "alter_id", 0, 0));
    checkTransport(requiredKey(outbound, "transport"), path, TransportKind::webSocket);
    checkTLS(outbound, path);
}

void checkShadowTLS(const Value& outbound, const std::string& path) {
    onlyKeys(outbound, {"type", "tag", "server", "server_port", "version", "password", "tls"}, path);
    checkEndpointFields(outbound, path);
    static_cast<void>(boundedInteger(outbound, "version", 3, 3));
    static_cast<void>(credential(outbound, "password", false));
    checkTLS(outbound, path);
}

void checkHysteria(const Value& outbound, const std::string& path) {
    keysExactly(outbound, {"type", "tag", "server", "server_port", "auth_str", "up_mbps", "down_mbps", "tls", "obfs"},
                {"type", "tag", "server", "server_port", "auth_str", "up_mbps", "down_mbps", "tls"}, path);
    checkEndpointFields(outbound, path);
    static_cast<void>(credential(outbound, "auth_str", false));
    static_cast<void>(boundedInteger(outbound, "up_mbps", 1, 10000));
    static_cast<void>(boundedInteger(outbound, "down_mbps", 1, 10000));
    checkTLS(outbound, path);
    if (member(outbound, "obfs") != nullptr) static_cast<void>(credential(outbound, "obfs", false));
}

// ---------------------------------------------------------------------------
// The top-level objects.

// Where the tunnel's traffic goes, as the outbounds define it.
struct RoutePolicy {
    std::string endpoint;
    int endpointPort = 0;
    std::optional<std::string> endpointCIDR;
    std::string outboundTag;
};

void checkLog(const Value& value) {
    const Value& log = requireObject(value, "log");
    onlyKeys(log, {"level", "timestamp"}, "log");
    const std::string& level = requiredString(log, "level", 16);
    const bool timestamp = boolean(log, "timestamp");
    if ((level != "info" && level != "warn") || !timestamp) reject("log settings are not permitted");
}

RoutePolicy checkOutbounds(const Value& value) {
    const Value& outbounds = boundedArray(value, 4, "outbounds");
    if (outbounds.size() < 2 || outbounds.size() > 3) reject("outbound count is not permitted");

    int directCount = 0;
    int proxyCount = 0;
    bool hasShadowTLS = false;
    bool hasDetouredShadowsocks = false;
    std::string carrierTag;
    std::set<std::string> servers;
    std::set<std::int64_t> ports;
    std::set<std::string> tags;

    for (std::size_t index = 0; index < outbounds.size(); ++index) {
        const std::string path = "outbounds[" + std::to_string(index) + "]";
        const Value& outbound = requireObject(outbounds[index], path);
        const std::string& type = requiredString(outbound, "type", 32);
        if (type == "direct") {
            onlyKeys(outbound, {"type", "tag"}, path);
            if (requiredString(outbound, "tag", 64) != "direct") reject("direct outbound tag is not permitted");
            ++directCount;
            continue;
        }
        if (type == "vless") {
            checkVLESS(outbound, path);
        } else if (type == "hysteria2") {
            checkHysteria2(outbound, path);
        } else if (type == "anytls" || type == "trojan") {
            checkPasswordWithTLS(outbound, path);
        } else if (type == "naive") {
            checkNaive(outbound, path);
        } else if (type == "shadowsocks") {
            if (checkShadowsocks(outbound, path)) hasDetouredShadowsocks = true;
        } else if (type == "tuic") {
            checkTUIC(outbound, path);
        } else if (type == "vmess") {
            checkVMess(outbound, path);
        } else if (type == "shadowtls") {
            checkShadowTLS(outbound, path);
            hasShadowTLS = true;
            carrierTag = requiredString(outbound, "tag", 64);
        } else if (type == "hysteria") {
            checkHysteria(outbound, path);
        } else {
            reject("unsupported outbound type " + type);
        }
        ++proxyCount;
        if (const Value* server = member(outbound, "server"); server != nullptr && server->is_string()) {
            servers.insert(server->get<std::string>());
            ports.insert(boundedInteger(outbound, "server_port", 1, 65535));
        }
        if (type != "shadowtls") tags.insert(requiredString(outbound, "tag", 64));
    }

    const bool rolesHold = directCount == 1 && proxyCount == (hasShadowTLS ? 2 : 1) && servers.size() == 1 &&
                           ports.size() == 1 && tags.size() == 1 && hasDetouredShadowsocks == hasShadowTLS;
    if (!rolesHold) reject("outbound roles are not permitted");
    // In the pairing the Shadowsocks detour names the carrier: the carrier must
    // carry that tag, and the Shadowsocks outbound another one, or the detour
    // would point nowhere or at the Shadowsocks outbound itself.
    if (hasShadowTLS && (carrierTag != shadowTLSCarrierTag || *tags.begin() == shadowTLSCarrierTag)) {
        reject("outbound roles are not permitted");
    }

    RoutePolicy policy;
    policy.endpoint = *servers.begin();
    policy.endpointPort = static_cast<int>(*ports.begin());
    policy.endpointCIDR = oneAddressPrefix(policy.endpoint);
    policy.outboundTag = *tags.begin();
    return policy;
}

void checkDNS(const Value& value, const RoutePolicy& policy) {
    const Value& dns = requireObject(value, "dns");
    onlyKeys(dns, {"strategy", "servers", "final"}, "dns");
    if (requiredString(dns, "strategy", 32) != "ipv4_only") reject("DNS policy is not permitted");
    if (requiredString(dns, "final", 64) != "cloudflare") reject("DNS policy is not permitted");
    const Value& servers = boundedArray(requiredKey(dns, "servers"), 2, "dns.servers");
    if (servers.size() != 1) reject("exactly one DNS server is required");
    const Value& server = requireObject(servers[0], "dns.servers[0]");
    onlyKeys(server, {"type", "tag", "server", "detour"}, "dns.servers[0]");
    if (requiredString(server, "type", 16) != "tcp" || requiredString(server, "tag", 64) != "cloudflare" ||
        requiredString(server, "server", 64) != "1.1.1.1" ||
        requiredString(server, "detour", 64) != policy.outboundTag) {
        reject("DNS server is not permitted");
    }
}

void checkInbounds(const Value& value, const RoutePolicy& policy) {
    const Value& inbounds = boundedArray(value, 1, "inbounds");
    if (inbounds.size() != 1) reject("exactly one TUN inbound is required");
    const Value& tun = requireObject(inbounds[0], "inbounds[0]");
    onlyKeys(
        tun,
        {"type", "tag", "address", "mtu", "auto_route", "strict_route", "route_exclude_address", "stack", "dns_mode"},
        "inbounds[0]");
    if (requiredString(tun, "type", 16) != "tun" || requiredString(tun, "tag", 64) != "tarnel-tun") {
        reject("TUN settings are not permitted");
    }
    static_cast<void>(boundedInteger(tun, "mtu", 1280, 1500));
    const bool autoRoute = boolean(tun, "auto_route");
    const bool strictRoute = boolean(tun, "strict_route");
    if (!autoRoute || !strictRoute) reject("TUN settings are not permitted");
    if (requiredString(tun, "stack", 16) != "gvisor" || requiredString(tun, "dns_mode", 16) != "hijack") {
        reject("TUN settings are not permitted");
    }

    constexpr std::string_view addressLabel = "inbounds[0].address";
    const Value& address = boundedArray(requiredKey(tun, "address"), 1, addressLabel);
    for (const Value& element : address) static_cast<void>(boundedString(element, 64, addressLabel));
    if (!holdsExactly(address, std::array<std::string_view, 1>{"172.19.0.1/30"})) {
        reject("inbounds[0].address is not permitted");
    }

    constexpr std::string_view exclusionsLabel = "inbounds[0].route_exclude_address";
    const Value& exclusions = boundedArray(requiredKey(tun, "route_exclude_address"), 16, exclusionsLabel);
    for (const Value& element : exclusions) static_cast<void>(boundedString(element, 64, exclusionsLabel));
    std::vector<std::string> expected;
    if (policy.endpointCIDR) expected.push_back(*policy.endpointCIDR);
    expected.insert(expected.end(), privateRanges.begin(), privateRanges.end());
    if (!holdsExactly(exclusions, expected)) reject("route exclusions are not permitted");
}

void checkRouteRule(const Value& rules, std::size_t index, std::string_view key,
                    const std::vector<std::string>& expected, std::size_t elementMaximum) {
    const std::string path = "route.rules[" + std::to_string(index) + "]";
    const Value& rule = requireObject(rules[index], path);
    onlyKeys(rule, {key, "outbound"}, path);
    const std::string label = path + "." + std::string(key);
    const Value& list = boundedArray(requiredKey(rule, key), expected.size(), label);
    for (const Value& element : list) static_cast<void>(boundedString(element, elementMaximum, label));
    if (!holdsExactly(list, expected)) reject(path + " is not permitted");
    if (requiredString(rule, "outbound", 16) != "direct") reject(path + " is not permitted");
}

std::optional<std::string> checkRoute(const Value& value, const RoutePolicy& policy) {
    const Value& route = requireObject(value, "route");
    keysExactly(route, {"rules", "final", "default_interface", "auto_detect_interface"}, {"rules", "final"}, "route");
    if (requiredString(route, "final", 64) != policy.outboundTag) reject("route.final is not permitted");

    std::optional<std::string> defaultInterface;
    const Value* pinned = member(route, "default_interface");
    const Value* automatic = member(route, "auto_detect_interface");
    if ((pinned == nullptr) == (automatic == nullptr)) reject("exactly one interface policy is required");
    // Like every other field, a value of the wrong type gets its field's
    // general reason, a well-typed wrong value the specific one.
    if (automatic != nullptr) {
        if (!boolean(route, "auto_detect_interface")) reject("automatic interface detection must be enabled");
    } else {
        const std::string& name = boundedString(*pinned, 16, "default_interface");
        if (!InterfaceNames::isPhysical(name)) reject("default interface is not permitted");
        defaultInterface = name;
    }

    const Value& rules = boundedArray(requiredKey(route, "rules"), 8, "route.rules");
    if (rules.size() != 2) reject("route rules are not permitted");
    if (policy.endpointCIDR) {
        checkRouteRule(rules, 0, "ip_cidr", {*policy.endpointCIDR}, 64);
    } else {
        checkRouteRule(rules, 0, "domain", {policy.endpoint}, 253);
    }
    checkRouteRule(rules, 1, "ip_cidr", std::vector<std::string>(privateRanges.begin(), privateRanges.end()), 64);
    return defaultInterface;
}

}  // namespace

std::optional<std::string> oneAddressPrefix(std::string_view address) {
    const auto family = ipLiteralFamily(address);
    if (!family) return std::nullopt;
    return std::string(address) + (*family == IPAddressFamily::ipv4 ? "/32" : "/128");
}

Result validate(std::string_view configuration) {
    if (configuration.empty() || configuration.size() > maximumConfigurationSize) {
        reject("configuration size is outside the allowed range");
    }
    // A top-level array is JSON of the wrong shape, refused below with this
    // validator's reason; a top-level scalar is not a JSON document the reader
    // accepts at all and fails like any other parse error.
    const Value document = json::parse(configuration, json::TopLevel::any);
    if (!document.is_object() && !document.is_array()) throw json::JsonError(json::JsonError::Case::wrongTopLevel);

    const Value& root = requireObject(document, "configuration");
    onlyKeys(root, {"log", "dns", "inbounds", "outbounds", "route"}, "configuration");
    checkLog(requiredKey(root, "log"));
    const RoutePolicy policy = checkOutbounds(requiredKey(root, "outbounds"));
    checkDNS(requiredKey(root, "dns"), policy);
    checkInbounds(requiredKey(root, "inbounds"), policy);
    auto defaultInterface = checkRoute(requiredKey(root, "route"), policy);
    return Result{policy.endpoint, policy.endpointPort, std::move(defaultInterface)};
}

}  // namespace tarnel::PrivilegedTunnelConfigurationValidator
