#include <gtest/gtest.h>

#include <functional>

#include "app/tunnel/sing_box_config.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "tests/tunnel/sample_routes.hpp"

namespace tarnel {
namespace {

using json::Value;
using testing::sampleRoute;

struct VariantCase {
    const char* name;
    RouteTransport transport;
    std::function<void(RouteNode&)> change;
    // The proxy outbound as the document must hold it.
    const char* expected;
};

// Defaults, omissions and the fields a transport ignores. Each variant's
// whole outbound is compared, so a stray or missing key fails, and its TUN
// document must still pass the shared gate.
TEST(SingBoxOutbounds, DefaultsAndOmissionsPerTransport) {
    const VariantCase cases[] = {
        {"hysteria2 without bandwidth gets 20 up and 80 down", RouteTransport::hysteria2,
         [](RouteNode& r) {
             r.upMbps.reset();
             r.downMbps.reset();
         },
         R"({"type": "hysteria2", "tag": "tarnel-hysteria2", "server": "hy2.example.net", "server_port": 8443,
             "password": "hy2-secret",
             "tls": {"enabled": true, "server_name": "hy2.example.net", "insecure": false, "alpn": ["h3"]},
             "up_mbps": 20, "down_mbps": 80, "obfs": {"type": "salamander", "password": "obfs-secret"}})"},
        {"hysteria2 with an obfuscation type but no password gets no obfs", RouteTransport::hysteria2,
         [](RouteNode& r) { r.obfsPassword.reset(); },
         R"({"type": "hysteria2", "tag": "tarnel-hysteria2", "server": "hy2.example.net", "server_port": 8443,
             "password": "hy2-secret",
             "tls": {"enabled": true, "server_name": "hy2.example.net", "insecure": false, "alpn": ["h3"]},
             "up_mbps": 50, "down_mbps": 200})"},
        {"hysteria v1 without bandwidth or obfs gets 100 and 100", RouteTransport::hysteria,
         [](RouteNode& r) {
             r.obfs.reset();
             r.upMbps.reset();
             r.downMbps.reset();
         },
         R"({"type": "hysteria", "tag": "tarnel-hysteria", "server": "hy.example.com", "server_port": 443,
             "auth_str": "hy-auth", "up_mbps": 100, "down_mbps": 100,
             "tls": {"enabled": true, "server_name": "hy.example.com", "insecure": false, "alpn": ["h3"]}})"},
        {"hysteria v1 keeps its own bandwidth", RouteTransport::hysteria,
         [](RouteNode& r) {
             r.upMbps = 30;
             r.downMbps = 90;
         },
         R"({"type": "hysteria", "tag": "tarnel-hysteria", "server": "hy.example.com", "server_port": 443,
             "auth_str": "hy-auth", "up_mbps": 30, "down_mbps": 90,
             "tls": {"enabled": true, "server_name": "hy.example.com", "insecure": false, "alpn": ["h3"]},
             "obfs": "hy-obfs"})"},
        {"naive over QUIC drops concurrency and always relays UDP", RouteTransport::naive,
         [](RouteNode& r) {
             r.quic = true;
             r.insecureConcurrency = 4;
             r.udpOverTcp = false;
         },
         R"({"type": "naive", "tag": "tarnel-naive", "server": "naive.example.com", "server_port": 443,
             "username": "naive-user", "password": "naive-secret", "quic": true,
             "tls": {"enabled": true, "server_name": "naive.example.com"},
             "udp_over_tcp": {"enabled": true}})"},
        {"naive over HTTP/2 keeps concurrency and relays UDP only when asked", RouteTransport::naive,
         [](RouteNode& r) {
             r.quic = false;
             r.insecureConcurrency = 4;
             r.udpOverTcp = false;
         },
         R"({"type": "naive", "tag": "tarnel-naive", "server": "naive.example.com", "server_port": 443,
             "username": "naive-user", "password": "naive-secret", "quic": false,
             "tls": {"enabled": true, "server_name": "naive.example.com"},
             "insecure_concurrency": 4})"},
        {"tuic without its modes gets bbr and native", RouteTransport::tuic,
         [](RouteNode& r) {
             r.congestionControl.reset();
             r.udpRelayMode.reset();
         },
         R"({"type": "tuic", "tag": "tarnel-tuic", "server": "tuic.example.org", "server_port": 443,
             "uuid": "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f", "password": "tuic-secret",
             "congestion_control": "bbr", "udp_relay_mode": "native", "zero_rtt_handshake": false,
             "tls": {"enabled": true, "server_name": "tuic.example.org", "insecure": false, "alpn": ["h3"]}})"},
        {"an empty ALPN list writes no key", RouteTransport::trojan, [](RouteNode& r) { r.alpn.clear(); },
         R"({"type": "trojan", "tag": "tarnel-trojan", "server": "203.0.113.7", "server_port": 443,
             "password": "correct-horse",
             "tls": {"enabled": true, "server_name": "cdn.example.com", "insecure": true,
                     "utls": {"enabled": true, "fingerprint": "safari"}}})"},
        {"vless without flow has no flow key", RouteTransport::vless, [](RouteNode& r) { r.flow.reset(); },
         R"({"type": "vless", "tag": "tarnel-vless", "server": "198.51.100.10", "server_port": 443,
             "uuid": "0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f",
             "tls": {"enabled": true, "server_name": "www.example.com",
                     "utls": {"enabled": true, "fingerprint": "chrome"},
                     "reality": {"enabled": true, "public_key": "reality-public-key", "short_id": "0123abcd"}}})"},
        {"an empty string counts as present", RouteTransport::vless, [](RouteNode& r) { r.shortID.clear(); },
         R"({"type": "vless", "tag": "tarnel-vless", "server": "198.51.100.10", "server_port": 443,
             "uuid": "0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f", "flow": "xtls-rprx-vision",
             "tls": {"enabled": true, "server_name": "www.example.com",
                     "utls": {"enabled": true, "fingerprint": "chrome"},
                     "reality": {"enabled": true, "public_key": "reality-public-key", "short_id": ""}}})"},
        {"shadowtls relays UDP over TCP on the Shadowsocks outbound when asked", RouteTransport::shadowTLS,
         [](RouteNode& r) { r.udpOverTcp = true; },
         R"({"type": "shadowsocks", "tag": "tarnel-shadowtls-ss", "method": "2022-blake3-aes-128-gcm",
             "password": "c2hhZG93c29ja3Mta2V5IQ==", "detour": "tarnel-shadowtls-carrier",
             "udp_over_tcp": {"enabled": true}})"},
        {"the WebSocket header is Host with a capital H", RouteTransport::vmessWS,
         [](RouteNode& r) {
             r.transportHost = "ws.example.com";
             r.alpn = {"http/1.1"};
         },
         R"({"type": "vmess", "tag": "tarnel-vmess-ws", "server": "vmess.example.com", "server_port": 443,
             "uuid": "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7", "security": "auto", "alter_id": 0,
             "transport": {"type": "ws", "path": "/ws/path", "headers": {"Host": "ws.example.com"}},
             "tls": {"enabled": true, "server_name": "cdn.example.com", "insecure": false, "alpn": ["http/1.1"],
                     "utls": {"enabled": true, "fingerprint": "chrome"}}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RouteNode route = sampleRoute(c.transport);
        c.change(route);
        EXPECT_EQ(SingBoxConfig::proxyOutbound(route), json::parse(c.expected));
        const std::string text = SingBoxConfig::tunnelConfiguration(route, std::nullopt);
        EXPECT_EQ(PrivilegedTunnelConfigurationValidator::validate(text).endpoint, route.server);
    }
}

TEST(SingBoxOutbounds, TheWebSocketHeaderKeyIsWrittenExactlyAsHost) {
    const std::string text = SingBoxConfig::tunnelConfiguration(sampleRoute(RouteTransport::vmessWS), "en0");
    EXPECT_NE(text.find("\"headers\" : {\n          \"Host\" : \"cdn.example.com\"\n        }"), std::string::npos)
        << text;
}

struct MissingCase {
    RouteTransport transport;
    std::function<void(RouteNode&)> remove;
    SingBoxConfigError::Case expected;
    const char* message;
};

TEST(SingBoxOutbounds, AnAbsentRequiredFieldFailsWithTheTransportsCase) {
    using C = SingBoxConfigError::Case;
    const MissingCase cases[] = {
        {RouteTransport::vless, [](RouteNode& r) { r.uuid.reset(); }, C::missingVLESSFields,
         "Selected VLESS route is missing UUID or Reality public key."},
        {RouteTransport::vless, [](RouteNode& r) { r.publicKey.reset(); }, C::missingVLESSFields,
         "Selected VLESS route is missing UUID or Reality public key."},
        {RouteTransport::hysteria2, [](RouteNode& r) { r.password.reset(); }, C::missingHysteria2Fields,
         "Selected Hysteria2 route is missing password."},
        {RouteTransport::anyTLS, [](RouteNode& r) { r.password.reset(); }, C::missingAnyTLSFields,
         "Selected AnyTLS route is missing password."},
        {RouteTransport::naive, [](RouteNode& r) { r.username.reset(); }, C::missingNaiveFields,
         "Selected Naive route is missing username or password."},
        {RouteTransport::naive, [](RouteNode& r) { r.password.reset(); }, C::missingNaiveFields,
         "Selected Naive route is missing username or password."},
        {RouteTransport::shadowTLS, [](RouteNode& r) { r.method.reset(); }, C::missingShadowTLSFields,
         "Selected ShadowTLS route is missing method or password."},
        {RouteTransport::shadowTLS, [](RouteNode& r) { r.password.reset(); }, C::missingShadowTLSFields,
         "Selected ShadowTLS route is missing method or password."},
        {RouteTransport::shadowTLS, [](RouteNode& r) { r.shadowTLSPassword.reset(); }, C::missingShadowTLSFields,
         "Selected ShadowTLS route is missing method or password."},
        {RouteTransport::trojan, [](RouteNode& r) { r.password.reset(); }, C::missingTrojanFields,
         "Selected Trojan route is missing password."},
        {RouteTransport::tuic, [](RouteNode& r) { r.uuid.reset(); }, C::missingTUICFields,
         "Selected TUIC route is missing UUID or password."},
        {RouteTransport::tuic, [](RouteNode& r) { r.password.reset(); }, C::missingTUICFields,
         "Selected TUIC route is missing UUID or password."},
        {RouteTransport::shadowsocks, [](RouteNode& r) { r.method.reset(); }, C::missingShadowsocksFields,
         "Selected Shadowsocks route is missing method or password."},
        {RouteTransport::shadowsocks, [](RouteNode& r) { r.password.reset(); }, C::missingShadowsocksFields,
         "Selected Shadowsocks route is missing method or password."},
        {RouteTransport::vmessWS, [](RouteNode& r) { r.uuid.reset(); }, C::missingVMessWSFields,
         "Selected VMess WebSocket route is missing UUID, path, or host."},
        {RouteTransport::vmessWS, [](RouteNode& r) { r.transportPath.reset(); }, C::missingVMessWSFields,
         "Selected VMess WebSocket route is missing UUID, path, or host."},
        {RouteTransport::vmessWS, [](RouteNode& r) { r.transportHost.reset(); }, C::missingVMessWSFields,
         "Selected VMess WebSocket route is missing UUID, path, or host."},
        {RouteTransport::vlessGRPC, [](RouteNode& r) { r.uuid.reset(); }, C::missingVLESSGRPCFields,
         "Selected VLESS gRPC route is missing UUID or service name."},
        {RouteTransport::vlessGRPC, [](RouteNode& r) { r.serviceName.reset(); }, C::missingVLESSGRPCFields,
         "Selected VLESS gRPC route is missing UUID or service name."},
        {RouteTransport::hysteria, [](RouteNode& r) { r.password.reset(); }, C::missingHysteriaFields,
         "Selected Hysteria route is missing authentication data."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.transport)) + " " + std::string(c.message));
        RouteNode route = sampleRoute(c.transport);
        c.remove(route);
        try {
            static_cast<void>(SingBoxConfig::outbounds(route));
            ADD_FAILURE() << "built";
        } catch (const SingBoxConfigError& error) {
            EXPECT_EQ(error.errorCase(), c.expected);
            EXPECT_EQ(error.message(), c.message);
        }
    }
}

}  // namespace
}  // namespace tarnel
