// The proxy outbound of each transport kind.

#include <utility>

#include "app/tunnel/sing_box_config.hpp"

namespace tarnel {

std::string SingBoxConfigError::message() const {
    switch (case_) {
        case Case::missingVLESSFields: return "Selected VLESS route is missing UUID or Reality public key.";
        case Case::missingHysteria2Fields: return "Selected Hysteria2 route is missing password.";
        case Case::missingAnyTLSFields: return "Selected AnyTLS route is missing password.";
        case Case::missingNaiveFields: return "Selected Naive route is missing username or password.";
        case Case::missingShadowTLSFields: return "Selected ShadowTLS route is missing method or password.";
        case Case::missingTrojanFields: return "Selected Trojan route is missing password.";
        case Case::missingTUICFields: return "Selected TUIC route is missing UUID or password.";
        case Case::missingShadowsocksFields: return "Selected Shadowsocks route is missing method or password.";
        case Case::missingVMessWSFields: return "Selected VMess WebSocket route is missing UUID, path, or host.";
        case Case::missingVLESSGRPCFields: return "Selected VLESS gRPC route is missing UUID or service name.";
        case Case::missingHysteriaFields: return "Selected Hysteria route is missing authentication data.";
    }
    return "Selected route is missing required fields.";
}

namespace SingBoxConfig {
namespace {

using json::Value;
using Case = SingBoxConfigError::Case;

// An absent field fails; an empty string counts as present.
template <typename... Fields>
void require(Case errorCase, const Fields&... fields) {
    if (!(fields.has_value() && ...)) throw SingBoxConfigError(errorCase);
}

// type, tag, server and server_port.
Value endpointOutbound(std::string_view type, const RouteNode& route) {
    Value outbound = Value::object();
    outbound["type"] = type;
    outbound["tag"] = outboundTag(route);
    outbound["server"] = route.server;
    outbound["server_port"] = route.port;
    return outbound;
}

Value utlsObject(const RouteNode& route) {
    return Value{{"enabled", true}, {"fingerprint", route.fingerprint}};
}

Value udpOverTcpObject() { return Value{{"enabled", true}}; }

Value vless(const RouteNode& route) {
    require(Case::missingVLESSFields, route.uuid, route.publicKey);
    Value outbound = endpointOutbound("vless", route);
    outbound["uuid"] = *route.uuid;
    outbound["tls"] = Value{
        {"enabled", true},
        {"server_name", route.serverName},
        {"utls", utlsObject(route)},
        {"reality", Value{{"enabled", true}, {"public_key", *route.publicKey}, {"short_id", route.shortID}}},
    };
    if (route.flow) outbound["flow"] = *route.flow;
    return outbound;
}

Value hysteria2(const RouteNode& route) {
    require(Case::missingHysteria2Fields, route.password);
    Value outbound = endpointOutbound("hysteria2", route);
    outbound["password"] = *route.password;
    outbound["tls"] = tlsObject(route, false);
    outbound["up_mbps"] = route.upMbps.value_or(20);
    outbound["down_mbps"] = route.downMbps.value_or(80);
    if (route.obfsType && route.obfsPassword) {
        outbound["obfs"] = Value{{"type", *route.obfsType}, {"password", *route.obfsPassword}};
    }
    return outbound;
}

Value anyTLS(const RouteNode& route) {
    require(Case::missingAnyTLSFields, route.password);
    Value outbound = endpointOutbound("anytls", route);
    outbound["password"] = *route.password;
    outbound["tls"] = tlsObject(route, true);
    return outbound;
}

Value naive(const RouteNode& route) {
    require(Case::missingNaiveFields, route.username, route.password);
    Value outbound = endpointOutbound("naive", route);
    outbound["username"] = *route.username;
    outbound["password"] = *route.password;
    outbound["quic"] = route.quic;
    outbound["tls"] = Value{{"enabled", true}, {"server_name", route.serverName}};
    // Concurrent HTTP/2 streams mean nothing over QUIC; UDP always rides
    // over the QUIC carrier.
    if (route.insecureConcurrency && !route.quic) outbound["insecure_concurrency"] = *route.insecureConcurrency;
    if (route.quic || route.udpOverTcp) outbound["udp_over_tcp"] = udpOverTcpObject();
    return outbound;
}

Value shadowsocks(const RouteNode& route) {
    require(Case::missingShadowsocksFields, route.method, route.password);
    Value outbound = endpointOutbound("shadowsocks", route);
    outbound["method"] = *route.method;
    outbound["password"] = *route.password;
    return outbound;
}

// The Shadowsocks half of a ShadowTLS route: no server of its own, it
// reaches the server through the carrier.
Value shadowTLSShadowsocks(const RouteNode& route) {
    Value outbound = Value::object();
    outbound["type"] = "shadowsocks";
    outbound["tag"] = kShadowTLSShadowsocksTag;
    outbound["method"] = *route.method;
    outbound["password"] = *route.password;
    outbound["detour"] = kShadowTLSCarrierTag;
    if (route.udpOverTcp) outbound["udp_over_tcp"] = udpOverTcpObject();
    return outbound;
}

Value shadowTLSCarrier(const RouteNode& route) {
    Value carrier = Value::object();
    carrier["type"] = "shadowtls";
    carrier["tag"] = kShadowTLSCarrierTag;
    carrier["server"] = route.server;
    carrier["server_port"] = route.port;
    carrier["version"] = 3;
    carrier["password"] = *route.shadowTLSPassword;
    carrier["tls"] = Value{{"enabled", true}, {"server_name", route.serverName}, {"utls", utlsObject(route)}};
    return carrier;
}

// The Shadowsocks fields are checked before the carrier's password; both
// report the same case.
void requireShadowTLS(const RouteNode& route) {
    require(Case::missingShadowTLSFields, route.method, route.password);
    require(Case::missingShadowTLSFields, route.shadowTLSPassword);
}

Value trojan(const RouteNode& route) {
    require(Case::missingTrojanFields, route.password);
    Value outbound = endpointOutbound("trojan", route);
    outbound["password"] = *route.password;
    outbound["tls"] = tlsObject(route, true);
    return outbound;
}

Value tuic(const RouteNode& route) {
    require(Case::missingTUICFields, route.uuid, route.password);
    Value outbound = endpointOutbound("tuic", route);
    outbound["uuid"] = *route.uuid;
    outbound["password"] = *route.password;
    outbound["congestion_control"] = route.congestionControl.value_or("bbr");
    outbound["udp_relay_mode"] = route.udpRelayMode.value_or("native");
    outbound["zero_rtt_handshake"] = false;
    outbound["tls"] = tlsObject(route, false);
    return outbound;
}

Value vmessWS(const RouteNode& route) {
    require(Case::missingVMessWSFields, route.uuid, route.transportPath, route.transportHost);
    Value outbound = endpointOutbound("vmess", route);
    outbound["uuid"] = *route.uuid;
    outbound["security"] = "auto";
    outbound["alter_id"] = 0;
    outbound["transport"] = Value{
        {"type", "ws"},
        {"path", *route.transportPath},
        {"headers", Value{{"Host", *route.transportHost}}},
    };
    outbound["tls"] = tlsObject(route, true);
    return outbound;
}

Value vlessGRPC(const RouteNode& route) {
    require(Case::missingVLESSGRPCFields, route.uuid, route.serviceName);
    Value outbound = endpointOutbound("vless", route);
    outbound["uuid"] = *route.uuid;
    outbound["transport"] = Value{{"type", "grpc"}, {"service_name", *route.serviceName}};
    outbound["tls"] = tlsObject(route, true);
    return outbound;
}

Value hysteria(const RouteNode& route) {
    require(Case::missingHysteriaFields, route.password);
    Value outbound = endpointOutbound("hysteria", route);
    outbound["auth_str"] = *route.password;
    outbound["up_mbps"] = route.upMbps.value_or(100);
    outbound["down_mbps"] = route.downMbps.value_or(100);
    outbound["tls"] = tlsObject(route, false);
    if (route.obfs) outbound["obfs"] = *route.obfs;
    return outbound;
}

}  // namespace

std::string_view outboundTag(RouteTransport transport) noexcept {
    switch (transport) {
        case RouteTransport::vless: return "tarnel-vless";
        case RouteTransport::hysteria2: return "tarnel-hysteria2";
        case RouteTransport::anyTLS: return "tarnel-anytls";
        case RouteTransport::naive: return "tarnel-naive";
        case RouteTransport::shadowsocks: return "tarnel-shadowsocks";
        case RouteTransport::shadowTLS: return kShadowTLSShadowsocksTag;
        case RouteTransport::trojan: return "tarnel-trojan";
        case RouteTransport::tuic: return "tarnel-tuic";
        case RouteTransport::vmessWS: return "tarnel-vmess-ws";
        case RouteTransport::vlessGRPC: return "tarnel-vless-grpc";
        case RouteTransport::hysteria: return "tarnel-hysteria";
    }
    return "tarnel-vless";
}

std::string_view outboundTag(const RouteNode& route) noexcept { return outboundTag(route.transport); }

Value tlsObject(const RouteNode& route, bool withUTLS) {
    Value tls{{"enabled", true}, {"server_name", route.serverName}, {"insecure", route.insecure}};
    if (!route.alpn.empty()) tls["alpn"] = route.alpn;
    if (withUTLS) tls["utls"] = utlsObject(route);
    return tls;
}

Value proxyOutbound(const RouteNode& route) {
    switch (route.transport) {
        case RouteTransport::vless: return vless(route);
        case RouteTransport::hysteria2: return hysteria2(route);
        case RouteTransport::anyTLS: return anyTLS(route);
        case RouteTransport::naive: return naive(route);
        case RouteTransport::shadowsocks: return shadowsocks(route);
        case RouteTransport::shadowTLS:
            requireShadowTLS(route);
            return shadowTLSShadowsocks(route);
        case RouteTransport::trojan: return trojan(route);
        case RouteTransport::tuic: return tuic(route);
        case RouteTransport::vmessWS: return vmessWS(route);
        case RouteTransport::vlessGRPC: return vlessGRPC(route);
        case RouteTransport::hysteria: return hysteria(route);
    }
    // Unreachable for a valid enumerator; refuse rather than build nothing.
    throw SingBoxConfigError(Case::missingVLESSFields);
}

Value outbounds(const RouteNode& route) {
    Value list = Value::array();
    list.push_back(proxyOutbound(route));
    if (route.transport == RouteTransport::shadowTLS) list.push_back(shadowTLSCarrier(route));
    return list;
}

}  // namespace SingBoxConfig
}  // namespace tarnel
