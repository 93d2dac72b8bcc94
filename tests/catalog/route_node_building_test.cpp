#include <gtest/gtest.h>

#include "app/catalog/manifest_errors.hpp"
#include "app/catalog/transport_manifest.hpp"

namespace tarnel {
namespace {

// Every endpoint key set; a kind must take only the values of its own row.
constexpr const char* kEveryValue = R"({"uuid": "U", "flow": "F", "public_key": "PK", "short_id": "SID",
  "fingerprint": "firefox", "password": "PW", "username": "UN", "insecure": true, "alpn": ["h3"],
  "obfs_type": "salamander", "obfs_password": "OP", "up_mbps": 10, "down_mbps": 20, "quic": true,
  "udp_over_tcp": true, "insecure_concurrency": 4, "method": "M", "shadowtls_password": "STP",
  "congestion_control": "cubic", "udp_relay_mode": "quic", "path": "/ws", "host": "H", "service_name": "SVC",
  "auth_str": "AUTH", "obfs": "OB"})";

ManifestTransport transportOf(const std::string& kind, const json::Value& values, const std::string& label = "Label") {
    json::Value endpoint = {{"server", "s.example.net"}, {"port", 443}, {"server_name", "sn.example.net"}};
    endpoint.update(values);
    return ManifestTransport::fromJson({{"id", "t-1"},
                                        {"transport_id", "tid"},
                                        {"label", label},
                                        {"kind", kind},
                                        {"priority", 1},
                                        {"endpoint", endpoint}});
}

// The route's fields besides the ones every kind fills the same way.
std::string kindFields(const RouteNode& route) {
    json::Value fields = route.toJson();
    for (const char* common : {"id", "transport", "title", "nodeCode", "server", "port", "serverName"}) {
        fields.erase(common);
    }
    return json::writeCanonical(fields);
}

struct KindCase {
    const char* kind;
    const char* prefix;
    RouteTransport transport;
    std::string endpoint;  // values added to server, port and server name
    const char* expected;  // kindFields of the route
};

const KindCase kRequiredOnly[] = {
    {"vless-reality", "vless-", RouteTransport::vless, R"({"uuid":"U","public_key":"PK"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"publicKey":"PK","quic":false,"shortID":"","udpOverTcp":false,"uuid":"U"})"},
    {"hysteria2", "hysteria2-", RouteTransport::hysteria2, R"({"password":"PW"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"anytls", "anytls-", RouteTransport::anyTLS, R"({"password":"PW"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"naive", "naive-", RouteTransport::naive, R"({"username":"UN","password":"PW"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"password":"PW","quic":false,"shortID":"","udpOverTcp":false,"username":"UN"})"},
    {"tuic", "tuic-", RouteTransport::tuic, R"({"uuid":"U","password":"PW"})",
     R"({"alpn":[],"congestionControl":"bbr","fingerprint":"chrome","insecure":false,"password":"PW","quic":false,"shortID":"","udpOverTcp":false,"udpRelayMode":"native","uuid":"U"})"},
    {"trojan-tls", "trojan-", RouteTransport::trojan, R"({"password":"PW"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"shadowsocks-shadowtls", "shadowtls-", RouteTransport::shadowTLS,
     R"({"method":"M","password":"PW","shadowtls_password":"STP"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"method":"M","password":"PW","quic":false,"shadowTLSPassword":"STP","shortID":"","udpOverTcp":true})"},
    {"shadowsocks-2022", "shadowsocks-", RouteTransport::shadowsocks, R"({"method":"M","password":"PW"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"method":"M","password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"vmess-ws-tls", "vmess-ws-", RouteTransport::vmessWS, R"({"uuid":"U","path":"/ws","host":"H"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"quic":false,"shortID":"","transportHost":"H","transportPath":"/ws","udpOverTcp":false,"uuid":"U"})"},
    {"vless-grpc-tls", "vless-grpc-", RouteTransport::vlessGRPC, R"({"uuid":"U","service_name":"SVC"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"quic":false,"serviceName":"SVC","shortID":"","udpOverTcp":false,"uuid":"U"})"},
    {"hysteria-v1", "hysteria-", RouteTransport::hysteria, R"({"auth_str":"AUTH"})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"password":"AUTH","quic":false,"shortID":"","udpOverTcp":false})"},
};

const KindCase kEveryValueSet[] = {
    {"vless-reality", "vless-", RouteTransport::vless, kEveryValue,
     R"({"alpn":[],"fingerprint":"firefox","flow":"F","insecure":false,"publicKey":"PK","quic":false,"shortID":"SID","udpOverTcp":false,"uuid":"U"})"},
    {"hysteria2", "hysteria2-", RouteTransport::hysteria2, kEveryValue,
     R"({"alpn":["h3"],"downMbps":20,"fingerprint":"chrome","insecure":true,"obfsPassword":"OP","obfsType":"salamander","password":"PW","quic":false,"shortID":"","udpOverTcp":false,"upMbps":10})"},
    {"anytls", "anytls-", RouteTransport::anyTLS, kEveryValue,
     R"({"alpn":["h3"],"fingerprint":"firefox","insecure":true,"password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"naive", "naive-", RouteTransport::naive, R"({"insecure":false})",
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"insecureConcurrency":4,"password":"PW","quic":true,"shortID":"","udpOverTcp":true,"username":"UN"})"},
    {"tuic", "tuic-", RouteTransport::tuic, kEveryValue,
     R"({"alpn":["h3"],"congestionControl":"cubic","fingerprint":"chrome","insecure":true,"password":"PW","quic":false,"shortID":"","udpOverTcp":false,"udpRelayMode":"quic","uuid":"U"})"},
    {"trojan-tls", "trojan-", RouteTransport::trojan, kEveryValue,
     R"({"alpn":["h3"],"fingerprint":"firefox","insecure":true,"password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"shadowsocks-shadowtls", "shadowtls-", RouteTransport::shadowTLS, R"({"udp_over_tcp":false})",
     R"({"alpn":[],"fingerprint":"firefox","insecure":false,"method":"M","password":"PW","quic":false,"shadowTLSPassword":"STP","shortID":"","udpOverTcp":false})"},
    {"shadowsocks-2022", "shadowsocks-", RouteTransport::shadowsocks, kEveryValue,
     R"({"alpn":[],"fingerprint":"chrome","insecure":false,"method":"M","password":"PW","quic":false,"shortID":"","udpOverTcp":false})"},
    {"vmess-ws-tls", "vmess-ws-", RouteTransport::vmessWS, kEveryValue,
     R"({"alpn":["h3"],"fingerprint":"firefox","insecure":true,"quic":false,"shortID":"","transportHost":"H","transportPath":"/ws","udpOverTcp":false,"uuid":"U"})"},
    {"vless-grpc-tls", "vless-grpc-", RouteTransport::vlessGRPC, kEveryValue,
     R"({"alpn":["h3"],"fingerprint":"firefox","insecure":true,"quic":false,"serviceName":"SVC","shortID":"","udpOverTcp":false,"uuid":"U"})"},
    {"hysteria-v1", "hysteria-", RouteTransport::hysteria, kEveryValue,
     R"({"alpn":["h3"],"downMbps":20,"fingerprint":"chrome","insecure":true,"obfs":"OB","password":"AUTH","quic":false,"shortID":"","udpOverTcp":false,"upMbps":10})"},
};

void checkKindCase(const KindCase& row, json::Value values) {
    SCOPED_TRACE(row.kind);
    const RouteNode route = TarnelTransportManifest::routeNode("RO", transportOf(row.kind, values));
    EXPECT_EQ(route.id, std::string(row.prefix) + "RO \u00B7 Label-s.example.net-443");
    EXPECT_EQ(route.transport, row.transport);
    EXPECT_EQ(route.title, "RO \u00B7 Label");
    EXPECT_EQ(route.nodeCode, "RO");
    EXPECT_EQ(route.server, "s.example.net");
    EXPECT_EQ(route.port, 443);
    EXPECT_EQ(route.serverName, "sn.example.net");
    EXPECT_EQ(kindFields(route), row.expected);
}

TEST(RouteNodeBuilding, EachKindTakesItsValuesAndDefaults) {
    for (const KindCase& row : kRequiredOnly) checkKindCase(row, json::parse(row.endpoint));
}

TEST(RouteNodeBuilding, EachKindIgnoresTheValuesOfOtherKinds) {
    for (const KindCase& row : kEveryValueSet) {
        json::Value values = json::parse(kEveryValue);
        values.update(json::parse(row.endpoint));
        checkKindCase(row, values);
    }
}

template <typename Body>
void expectError(Body body, TransportManifestError::Case expected, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "accepted; expected: " << message;
    } catch (const TransportManifestError& error) {
        EXPECT_EQ(error.errorCase(), expected);
        EXPECT_EQ(error.message(), message);
    }
}

TEST(RouteNodeBuilding, EveryRequiredValueIsNeeded) {
    for (const KindCase& row : kRequiredOnly) {
        const json::Value required = json::parse(row.endpoint);
        for (const auto& [key, value] : required.items()) {
            SCOPED_TRACE(std::string(row.kind) + " without " + key);
            for (const bool asNull : {false, true}) {
                json::Value values = required;
                if (asNull) values[key] = nullptr;
                else values.erase(key);
                expectError([&] { (void)TarnelTransportManifest::routeNode("RO", transportOf(row.kind, values)); },
                            TransportManifestError::Case::invalidEndpoint, "Transport endpoint t-1 is incomplete.");
            }
        }
    }
}

TEST(RouteNodeBuilding, RefusesUnusableEndpointsBeforeLookingAtTheKind) {
    const struct {
        const char* name;
        const char* kind;
        const char* values;
        TransportManifestError::Case expected;
        const char* message;
    } cases[] = {
        {"port 0 of an unknown kind", "wireguard", R"({"port":0})", TransportManifestError::Case::invalidEndpoint,
         "Transport endpoint t-1 is incomplete."},
        {"negative port", "tuic", R"({"port":-443,"uuid":"U","password":"PW"})",
         TransportManifestError::Case::invalidEndpoint, "Transport endpoint t-1 is incomplete."},
        {"port above 65535", "tuic", R"({"port":65536,"uuid":"U","password":"PW"})",
         TransportManifestError::Case::invalidEndpoint, "Transport endpoint t-1 is incomplete."},
        {"empty server", "wireguard", R"({"server":""})", TransportManifestError::Case::invalidEndpoint,
         "Transport endpoint t-1 is incomplete."},
        {"insecure naive", "naive", R"({"username":"UN","password":"PW","insecure":true})",
         TransportManifestError::Case::invalidEndpoint, "Transport endpoint t-1 is incomplete."},
        {"unknown kind", "wireguard", R"({"port":51820})", TransportManifestError::Case::unsupportedTransport,
         "Transport wireguard is not supported by this app version."},
        {"kind in another case", "Naive", R"({"username":"UN","password":"PW"})",
         TransportManifestError::Case::unsupportedTransport, "Transport Naive is not supported by this app version."},
        {"kind with spaces", " naive ", R"({"username":"UN","password":"PW"})",
         TransportManifestError::Case::unsupportedTransport,
         "Transport  naive  is not supported by this app version."},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        expectError(
            [&] {
                (void)TarnelTransportManifest::routeNode("RO",
                                                         transportOf(testCase.kind, json::parse(testCase.values)));
            },
            testCase.expected, testCase.message);
    }
}

TEST(RouteNodeBuilding, AcceptsBoundaryValues) {
    const auto route = [](const char* kind, const char* values) {
        return TarnelTransportManifest::routeNode("EE", transportOf(kind, json::parse(values)));
    };
    EXPECT_FALSE(route("naive", R"({"username":"UN","password":"PW","insecure":false})").insecure);
    EXPECT_EQ(route("vless-reality", R"({"uuid":"","public_key":""})").uuid, "");  // empty counts as present
    EXPECT_EQ(route("hysteria2", R"({"password":"PW","fingerprint":"firefox"})").fingerprint, "chrome");
    EXPECT_EQ(route("trojan-tls", R"({"password":"PW","port":65535})").port, 65535);
    EXPECT_EQ(route("trojan-tls", R"({"password":"PW","port":1})").id, "trojan-EE \u00B7 Label-s.example.net-1");
}

TEST(RouteNodeBuilding, LabelsTellRoutesOnOneServerApart) {
    const json::Value values = json::parse(R"({"username":"UN","password":"PW"})");
    const RouteNode h2 = TarnelTransportManifest::routeNode("RO", transportOf("naive", values, "Naive H2"));
    const RouteNode h3 = TarnelTransportManifest::routeNode("RO", transportOf("naive", values, "Naive H3"));
    EXPECT_EQ(h2.id, "naive-RO \u00B7 Naive H2-s.example.net-443");
    EXPECT_EQ(h3.id, "naive-RO \u00B7 Naive H3-s.example.net-443");
}

}  // namespace
}  // namespace tarnel
