#pragma once

#include "app/catalog/route_model.hpp"

namespace tarnel::testing {

// One route of `transport` with every field its outbound needs, plus a few
// that it must ignore. Servers mix IPv4, IPv6 and host names across kinds.
inline RouteNode sampleRoute(RouteTransport transport) {
    RouteNode route;
    route.transport = transport;
    route.id = std::string("sample-") + std::string(rawValue(transport));
    route.title = "Sample";
    route.port = 443;
    route.fingerprint = "chrome";
    switch (transport) {
        case RouteTransport::vless:
            route.server = "198.51.100.10";
            route.uuid = "0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f";
            route.flow = "xtls-rprx-vision";
            route.serverName = "www.example.com";
            route.publicKey = "reality-public-key";
            route.shortID = "0123abcd";
            route.alpn = {"h2"};  // not used by Reality
            route.insecure = true;  // not used by Reality
            break;
        case RouteTransport::hysteria2:
            route.server = "hy2.example.net";
            route.port = 8443;
            route.password = "hy2-secret";
            route.serverName = "hy2.example.net";
            route.alpn = {"h3"};
            route.upMbps = 50;
            route.downMbps = 200;
            route.obfsType = "salamander";
            route.obfsPassword = "obfs-secret";
            break;
        case RouteTransport::anyTLS:
            route.server = "2001:db8::20";
            route.password = "anytls-secret";
            route.serverName = "any.example.org";
            route.fingerprint = "firefox";
            break;
        case RouteTransport::naive:
            route.server = "naive.example.com";
            route.username = "naive-user";
            route.password = "naive-secret";
            route.serverName = "naive.example.com";
            route.insecureConcurrency = 2;
            route.udpOverTcp = true;
            route.alpn = {"h2"};  // not used by naive
            route.insecure = true;  // not used by naive
            break;
        case RouteTransport::shadowsocks:
            route.server = "203.0.113.30";
            route.port = 8388;
            route.method = "2022-blake3-aes-256-gcm";
            route.password = "c2hhZG93c29ja3Mta2V5LXNhbXBsZS0zMi1ieXRlcyE=";
            route.udpOverTcp = true;  // plain Shadowsocks never asks for it
            break;
        case RouteTransport::shadowTLS:
            route.server = "stls.example.net";
            route.method = "2022-blake3-aes-128-gcm";
            route.password = "c2hhZG93c29ja3Mta2V5IQ==";
            route.shadowTLSPassword = "carrier-secret";
            route.serverName = "www.example.org";
            break;
        case RouteTransport::trojan:
            route.server = "203.0.113.7";
            route.password = "correct-horse";
            route.serverName = "cdn.example.com";
            route.fingerprint = "safari";
            route.insecure = true;
            route.alpn = {"h2", "http/1.1"};
            route.flow = "xtls-rprx-vision";  // not used by Trojan
            break;
        case RouteTransport::tuic:
            route.server = "tuic.example.org";
            route.uuid = "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f";
            route.password = "tuic-secret";
            route.serverName = "tuic.example.org";
            route.congestionControl = "cubic";
            route.udpRelayMode = "quic";
            route.alpn = {"h3"};
            break;
        case RouteTransport::vmessWS:
            route.server = "vmess.example.com";
            route.uuid = "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7";
            route.serverName = "cdn.example.com";
            route.transportPath = "/ws/path";
            route.transportHost = "cdn.example.com";
            break;
        case RouteTransport::vlessGRPC:
            route.server = "198.51.100.40";
            route.uuid = "1a2b3c4d-5e6f-4a7b-8c9d-0e1f2a3b4c5d";
            route.serverName = "grpc.example.com";
            route.serviceName = "tunnel-grpc";
            route.alpn = {"h2"};
            route.flow = "xtls-rprx-vision";  // a gRPC route carries no flow
            break;
        case RouteTransport::hysteria:
            route.server = "hy.example.com";
            route.password = "hy-auth";
            route.serverName = "hy.example.com";
            route.obfs = "hy-obfs";
            route.alpn = {"h3"};
            break;
    }
    return route;
}

}  // namespace tarnel::testing
