#include "app/tunnel/sing_box_config.hpp"

#include <gtest/gtest.h>

#include "common/contract/helper_contract.hpp"
#include "common/contract/tunnel_configuration_validator.hpp"
#include "tests/support/test_support.hpp"
#include "tests/tunnel/sample_routes.hpp"

namespace tarnel {
namespace {

namespace Validator = PrivilegedTunnelConfigurationValidator;
using json::Value;
using testing::sampleRoute;

std::size_t occurrences(std::string_view text, std::string_view needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

const Value& tenPrivateRanges() {
    static const Value ranges = json::parse(R"(["10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "100.64.0.0/10",
        "169.254.0.0/16", "224.0.0.0/4", "255.255.255.255/32", "fc00::/7", "ff00::/8", "fe80::/10"])",
                                            json::TopLevel::array);
    return ranges;
}

// "accepted", or the validator's reason.
std::string validatorOutcome(std::string_view document) {
    try {
        static_cast<void>(Validator::validate(document));
        return "accepted";
    } catch (const PrivilegedHelperContractError& error) {
        return error.reason();
    }
}

struct KindCase {
    RouteTransport transport;
    std::optional<std::string> defaultInterface;
    std::string tag;
    // The server's host prefix when the server is an IP literal.
    std::optional<std::string> serverPrefix;
    // The route's outbounds as the document must hold them.
    std::string outbounds;
};

// Every transport kind with its full outbound, written out by hand.
const std::vector<KindCase>& kindCases() {
    static const std::vector<KindCase> cases = {
        {RouteTransport::vless, "en0", "tarnel-vless", "198.51.100.10/32",
         R"([{"type": "vless", "tag": "tarnel-vless", "server": "198.51.100.10", "server_port": 443,
              "uuid": "0b8e6e3c-2f6d-4c1a-9d3e-5a7b8c9d0e1f", "flow": "xtls-rprx-vision",
              "tls": {"enabled": true, "server_name": "www.example.com",
                      "utls": {"enabled": true, "fingerprint": "chrome"},
                      "reality": {"enabled": true, "public_key": "reality-public-key", "short_id": "0123abcd"}}}])"},
        {RouteTransport::hysteria2, std::nullopt, "tarnel-hysteria2", std::nullopt,
         R"([{"type": "hysteria2", "tag": "tarnel-hysteria2", "server": "hy2.example.net", "server_port": 8443,
              "password": "hy2-secret",
              "tls": {"enabled": true, "server_name": "hy2.example.net", "insecure": false, "alpn": ["h3"]},
              "up_mbps": 50, "down_mbps": 200, "obfs": {"type": "salamander", "password": "obfs-secret"}}])"},
        {RouteTransport::anyTLS, "en1", "tarnel-anytls", "2001:db8::20/128",
         R"([{"type": "anytls", "tag": "tarnel-anytls", "server": "2001:db8::20", "server_port": 443,
              "password": "anytls-secret",
              "tls": {"enabled": true, "server_name": "any.example.org", "insecure": false,
                      "utls": {"enabled": true, "fingerprint": "firefox"}}}])"},
        {RouteTransport::naive, std::nullopt, "tarnel-naive", std::nullopt,
         R"([{"type": "naive", "tag": "tarnel-naive", "server": "naive.example.com", "server_port": 443,
              "username": "naive-user", "password": "naive-secret", "quic": false,
              "tls": {"enabled": true, "server_name": "naive.example.com"},
              "insecure_concurrency": 2, "udp_over_tcp": {"enabled": true}}])"},
        {RouteTransport::shadowsocks, "en0", "tarnel-shadowsocks", "203.0.113.30/32",
         R"([{"type": "shadowsocks", "tag": "tarnel-shadowsocks", "server": "203.0.113.30", "server_port": 8388,
              "method": "2022-blake3-aes-256-gcm", "password": "c2hhZG93c29ja3Mta2V5LXNhbXBsZS0zMi1ieXRlcyE="}])"},
        {RouteTransport::shadowTLS, std::nullopt, "tarnel-shadowtls-ss", std::nullopt,
         R"([{"type": "shadowsocks", "tag": "tarnel-shadowtls-ss", "method": "2022-blake3-aes-128-gcm",
              "password": "c2hhZG93c29ja3Mta2V5IQ==", "detour": "tarnel-shadowtls-carrier"},
             {"type": "shadowtls", "tag": "tarnel-shadowtls-carrier", "server": "stls.example.net",
              "server_port": 443, "version": 3, "password": "carrier-secret",
              "tls": {"enabled": true, "server_name": "www.example.org",
                      "utls": {"enabled": true, "fingerprint": "chrome"}}}])"},
        {RouteTransport::trojan, "en0", "tarnel-trojan", "203.0.113.7/32",
         R"([{"type": "trojan", "tag": "tarnel-trojan", "server": "203.0.113.7", "server_port": 443,
              "password": "correct-horse",
              "tls": {"enabled": true, "server_name": "cdn.example.com", "insecure": true, "alpn": ["h2", "http/1.1"],
                      "utls": {"enabled": true, "fingerprint": "safari"}}}])"},
        {RouteTransport::tuic, std::nullopt, "tarnel-tuic", std::nullopt,
         R"([{"type": "tuic", "tag": "tarnel-tuic", "server": "tuic.example.org", "server_port": 443,
              "uuid": "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f", "password": "tuic-secret",
              "congestion_control": "cubic", "udp_relay_mode": "quic", "zero_rtt_handshake": false,
              "tls": {"enabled": true, "server_name": "tuic.example.org", "insecure": false, "alpn": ["h3"]}}])"},
        {RouteTransport::vmessWS, "en0", "tarnel-vmess-ws", std::nullopt,
         R"([{"type": "vmess", "tag": "tarnel-vmess-ws", "server": "vmess.example.com", "server_port": 443,
              "uuid": "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7", "security": "auto", "alter_id": 0,
              "transport": {"type": "ws", "path": "/ws/path", "headers": {"Host": "cdn.example.com"}},
              "tls": {"enabled": true, "server_name": "cdn.example.com", "insecure": false,
                      "utls": {"enabled": true, "fingerprint": "chrome"}}}])"},
        {RouteTransport::vlessGRPC, std::nullopt, "tarnel-vless-grpc", "198.51.100.40/32",
         R"([{"type": "vless", "tag": "tarnel-vless-grpc", "server": "198.51.100.40", "server_port": 443,
              "uuid": "1a2b3c4d-5e6f-4a7b-8c9d-0e1f2a3b4c5d",
              "transport": {"type": "grpc", "service_name": "tunnel-grpc"},
              "tls": {"enabled": true, "server_name": "grpc.example.com", "insecure": false, "alpn": ["h2"],
                      "utls": {"enabled": true, "fingerprint": "chrome"}}}])"},
        {RouteTransport::hysteria, "en0", "tarnel-hysteria", std::nullopt,
         R"([{"type": "hysteria", "tag": "tarnel-hysteria", "server": "hy.example.com", "server_port": 443,
              "auth_str": "hy-auth", "up_mbps": 100, "down_mbps": 100,
              "tls": {"enabled": true, "server_name": "hy.example.com", "insecure": false, "alpn": ["h3"]},
              "obfs": "hy-obfs"}])"},
    };
    return cases;
}

Value expectedRoute(const RouteNode& route, const KindCase& c) {
    Value serverRule = c.serverPrefix ? Value{{"ip_cidr", {*c.serverPrefix}}, {"outbound", "direct"}}
                                      : Value{{"domain", {route.server}}, {"outbound", "direct"}};
    Value object{{"rules", {serverRule, Value{{"ip_cidr", tenPrivateRanges()}, {"outbound", "direct"}}}},
                 {"final", c.tag}};
    if (c.defaultInterface) {
        object["default_interface"] = *c.defaultInterface;
    } else {
        object["auto_detect_interface"] = true;
    }
    return object;
}

Value expectedDNS(const std::string& tag) {
    return Value{{"strategy", "ipv4_only"},
                 {"final", "cloudflare"},
                 {"servers", Value::array({Value{{"type", "tcp"},
                                                 {"tag", "cloudflare"},
                                                 {"server", "1.1.1.1"},
                                                 {"detour", tag}}})}};
}

TEST(SingBoxConfig, EveryTransportKindBuildsATunnelDocumentTheValidatorAccepts) {
    ASSERT_EQ(kindCases().size(), kAllRouteTransports.size());
    for (const KindCase& c : kindCases()) {
        SCOPED_TRACE(std::string(rawValue(c.transport)));
        const RouteNode route = sampleRoute(c.transport);
        const std::string text = SingBoxConfig::tunnelConfiguration(route, c.defaultInterface);

        // The shared gate accepts it and reads the route's own endpoint back.
        const Validator::Result expectedResult{route.server, static_cast<int>(route.port), c.defaultInterface};
        EXPECT_EQ(Validator::validate(text), expectedResult);

        const Value document = json::parse(text);
        Value exclusions = tenPrivateRanges();
        if (c.serverPrefix) exclusions.insert(exclusions.begin(), *c.serverPrefix);
        Value outboundList = json::parse(c.outbounds, json::TopLevel::array);
        outboundList.push_back(Value{{"type", "direct"}, {"tag", "direct"}});
        const Value expected{
            {"log", {{"level", "info"}, {"timestamp", true}}},
            {"dns", expectedDNS(c.tag)},
            {"inbounds", Value::array({Value{{"type", "tun"},
                                             {"tag", "tarnel-tun"},
                                             {"address", {"172.19.0.1/30"}},
                                             {"mtu", 1400},
                                             {"auto_route", true},
                                             {"strict_route", true},
                                             {"route_exclude_address", exclusions},
                                             {"stack", "gvisor"},
                                             {"dns_mode", "hijack"}}})},
            {"outbounds", outboundList},
            {"route", expectedRoute(route, c)},
        };
        EXPECT_EQ(document, expected) << text;
        EXPECT_EQ(SingBoxConfig::outboundTag(route), c.tag);
    }
}

TEST(SingBoxConfig, EveryTransportKindBuildsAProxyDocumentOnTheLocalMixedInbound) {
    const Value mixed{{"type", "mixed"}, {"tag", "tarnel-mixed"}, {"listen", "127.0.0.1"}, {"listen_port", 2080}};
    for (const KindCase& c : kindCases()) {
        SCOPED_TRACE(std::string(rawValue(c.transport)));
        const RouteNode route = sampleRoute(c.transport);
        const std::string text = SingBoxConfig::proxyConfiguration(route, c.defaultInterface);
        const Value document = json::parse(text);

        Value outboundList = json::parse(c.outbounds, json::TopLevel::array);
        outboundList.push_back(Value{{"type", "direct"}, {"tag", "direct"}});
        outboundList.push_back(Value{{"type", "block"}, {"tag", "block"}});
        const Value expected{
            {"log", {{"level", "warn"}, {"timestamp", true}}},
            {"dns", expectedDNS(c.tag)},
            {"inbounds", Value::array({mixed})},
            {"outbounds", outboundList},
            {"route", expectedRoute(route, c)},
        };
        EXPECT_EQ(document, expected) << text;
        EXPECT_EQ(text.find("\"tun\""), std::string::npos);
        EXPECT_EQ(SingBoxConfig::proxyConfiguration(route, c.defaultInterface), text);
    }
}

// Documents written out by hand, byte for byte: the accepted TUN shapes shared
// with the validator's tests, and one proxy document.
TEST(SingBoxConfig, WritesTheHandWrittenDocumentsByteForByte) {
    RouteNode trojan;
    trojan.transport = RouteTransport::trojan;
    trojan.server = "198.51.100.7";
    trojan.port = 443;
    trojan.password = "correct-horse";
    trojan.serverName = "cdn.example.com";
    trojan.alpn = {"h2", "http/1.1"};
    trojan.fingerprint = "chrome";

    RouteNode vmess;
    vmess.transport = RouteTransport::vmessWS;
    vmess.server = "node.example.net";
    vmess.port = 8443;
    vmess.uuid = "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7";
    vmess.serverName = "cdn.example.net";
    vmess.fingerprint = "firefox";
    vmess.transportPath = "/tunnel";
    vmess.transportHost = "cdn.example.net";

    RouteNode shadowTLS;
    shadowTLS.transport = RouteTransport::shadowTLS;
    shadowTLS.server = "2001:db8::7";
    shadowTLS.port = 443;
    shadowTLS.method = "2022-blake3-aes-128-gcm";
    shadowTLS.password = "c2hhZG93c29ja3Mta2V5IQ==";
    shadowTLS.shadowTLSPassword = "carrier-secret";
    shadowTLS.serverName = "www.example.org";
    shadowTLS.fingerprint = "chrome";

    EXPECT_EQ(SingBoxConfig::tunnelConfiguration(trojan, "en0"), testing::readFixture("tunnel-config/plain-pinned-interface.json"));
    EXPECT_EQ(SingBoxConfig::tunnelConfiguration(vmess, std::nullopt), testing::readFixture("tunnel-config/automatic-interface.json"));
    EXPECT_EQ(SingBoxConfig::tunnelConfiguration(shadowTLS, "en0"), testing::readFixture("tunnel-config/shadowtls.json"));

    RouteNode proxied = shadowTLS;
    proxied.server = "node.example";
    proxied.udpOverTcp = true;
    EXPECT_EQ(SingBoxConfig::proxyConfiguration(proxied, std::nullopt),
              testing::readFixture("sing-box-proxy/shadowtls-proxy.json"));
}

TEST(SingBoxConfig, TrojanToAnIPv4ServerPinnedToEn0) {
    const RouteNode route = sampleRoute(RouteTransport::trojan);
    ASSERT_EQ(route.server, "203.0.113.7");
    ASSERT_EQ(route.port, 443);
    const std::string text = SingBoxConfig::tunnelConfiguration(route, "en0");

    EXPECT_EQ(occurrences(text, R"("203.0.113.7\/32")"), 2U);
    EXPECT_EQ(occurrences(text, "203.0.113.7/32"), 0U);
    const Value document = json::parse(text);
    const Value& exclusions = document["inbounds"][0]["route_exclude_address"];
    ASSERT_EQ(exclusions.size(), 11U);
    EXPECT_EQ(exclusions[0], "203.0.113.7/32");
    EXPECT_EQ(document["route"]["rules"][0],
              json::parse(R"({"ip_cidr": ["203.0.113.7/32"], "outbound": "direct"})"));
    EXPECT_EQ(document["route"]["default_interface"], "en0");
    EXPECT_FALSE(document["route"].contains("auto_detect_interface"));
    EXPECT_EQ(SingBoxConfig::tunnelConfiguration(route, "en0"), text);
}

TEST(SingBoxConfig, IPv6ServerIsOneAddressPrefixInBothPlaces) {
    RouteNode route = sampleRoute(RouteTransport::hysteria2);
    route.server = "2001:db8::1";
    const std::string text = SingBoxConfig::tunnelConfiguration(route, std::nullopt);
    EXPECT_EQ(occurrences(text, R"("2001:db8::1\/128")"), 2U);
    const Value document = json::parse(text);
    EXPECT_EQ(document["inbounds"][0]["route_exclude_address"][0], "2001:db8::1/128");
    EXPECT_EQ(document["route"]["rules"][0]["ip_cidr"], Value::array({"2001:db8::1/128"}));
    EXPECT_EQ(Validator::validate(text), (Validator::Result{"2001:db8::1", 8443, std::nullopt}));
}

TEST(SingBoxConfig, ShadowTLSProxyDocumentRidesOnTheShadowsocksOutbound) {
    RouteNode route = sampleRoute(RouteTransport::shadowTLS);
    route.server = "node.example";
    const Value document = json::parse(SingBoxConfig::proxyConfiguration(route, std::nullopt));

    std::vector<std::string> tags;
    for (const Value& outbound : document["outbounds"]) tags.push_back(outbound["tag"]);
    EXPECT_EQ(tags, (std::vector<std::string>{"tarnel-shadowtls-ss", "tarnel-shadowtls-carrier", "direct", "block"}));
    EXPECT_EQ(document["dns"]["servers"][0]["detour"], "tarnel-shadowtls-ss");
    EXPECT_EQ(document["route"]["final"], "tarnel-shadowtls-ss");
    ASSERT_EQ(document["inbounds"].size(), 1U);
    EXPECT_EQ(document["inbounds"][0]["listen"], "127.0.0.1");
    EXPECT_EQ(document["inbounds"][0]["listen_port"], 2080);
    EXPECT_EQ(document["inbounds"][0]["tag"], "tarnel-mixed");
    EXPECT_EQ(document["route"]["auto_detect_interface"], true);
    EXPECT_FALSE(document["route"].contains("default_interface"));
    EXPECT_EQ(document["route"]["rules"][0], json::parse(R"({"domain": ["node.example"], "outbound": "direct"})"));
}

TEST(SingBoxConfig, MissingRouteFieldFailsBothModesWithTheTransportsMessage) {
    RouteNode route = sampleRoute(RouteTransport::shadowTLS);
    route.shadowTLSPassword.reset();
    for (const bool tunnel : {true, false}) {
        SCOPED_TRACE(tunnel ? "tunnel" : "proxy");
        try {
            static_cast<void>(tunnel ? SingBoxConfig::tunnelConfiguration(route, "en0")
                                     : SingBoxConfig::proxyConfiguration(route, std::nullopt));
            ADD_FAILURE() << "built";
        } catch (const SingBoxConfigError& error) {
            EXPECT_EQ(error.errorCase(), SingBoxConfigError::Case::missingShadowTLSFields);
            EXPECT_EQ(error.message(), "Selected ShadowTLS route is missing method or password.");
            EXPECT_EQ(error.typeName(), "TarnelDirect.SingBoxConfigError");
        }
    }
}

TEST(SingBoxConfig, TextThatTheWriterCannotEncodeFailsWithTheWritersError) {
    RouteNode route = sampleRoute(RouteTransport::trojan);
    route.password = "correct-\xFF";
    try {
        static_cast<void>(SingBoxConfig::tunnelConfiguration(route, "en0"));
        FAIL() << "built";
    } catch (const json::JsonError& error) {
        EXPECT_EQ(error.errorCase(), json::JsonError::Case::invalidUTF8);
    }
}

TEST(SingBoxConfig, IPLiteralsAndHostPrefixes) {
    // A prefix is "/32" only for a whole-text dotted quad; every other text,
    // literal or not, gets "/128".
    const struct {
        const char* server;
        bool literal;
        const char* prefix;
    } cases[] = {
        {"203.0.113.7", true, "203.0.113.7/32"},
        {"999.1.1.1", true, "999.1.1.1/32"},  // octets are not range-checked
        {"01.002.3.4", true, "01.002.3.4/32"},
        {"2001:db8::1", true, "2001:db8::1/128"},
        {"FE80::ABCD", true, "FE80::ABCD/128"},
        {"::", true, "::/128"},
        {"node.example", false, "node.example/128"},
        {"1.2.3", false, "1.2.3/128"},
        {"1.2.3.4.5", false, "1.2.3.4.5/128"},
        {"1234.1.1.1", false, "1234.1.1.1/128"},
        {"1..2.3", false, "1..2.3/128"},
        {"1.2.3.4\n", false, "1.2.3.4\n/128"},
        {" 1.2.3.4", false, " 1.2.3.4/128"},
        {"[2001:db8::1]", false, "[2001:db8::1]/128"},
        {"fe80::1%en0", false, "fe80::1%en0/128"},
        {"::ffff:192.0.2.1", false, "::ffff:192.0.2.1/128"},
        {"2001:db8::1\n", false, "2001:db8::1\n/128"},
        {"\xD9\xA1.1.1.1", false, "\xD9\xA1.1.1.1/128"},  // a non-ASCII digit
        {"deadbeef", false, "deadbeef/128"},                 // hexadecimal without a colon
        {"", false, "/128"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        EXPECT_EQ(SingBoxConfig::isIPLiteral(c.server), c.literal);
        EXPECT_EQ(SingBoxConfig::hostPrefix(c.server), c.prefix);
    }
}

// Where the builder's notion of an IP literal differs from a real address
// parse, the document it writes does not pass the gate: the route is refused,
// never run with the server inside the tunnel.
TEST(SingBoxConfig, ServersTheBuilderAndTheValidatorReadDifferentlyAreRefused) {
    const struct {
        const char* server;
        const char* firstExclusion;  // what the builder writes first
    } cases[] = {
        {"999.1.1.1", "999.1.1.1/32"},       // a dotted quad that is no address
        {"::ffff:192.0.2.1", "10.0.0.0/8"},  // an address the builder reads as a name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        RouteNode route = sampleRoute(RouteTransport::trojan);
        route.server = c.server;
        const std::string text = SingBoxConfig::tunnelConfiguration(route, "en0");
        EXPECT_EQ(json::parse(text)["inbounds"][0]["route_exclude_address"][0], c.firstExclusion);
        EXPECT_EQ(validatorOutcome(text), "route exclusions are not permitted");
    }
}

}  // namespace
}  // namespace tarnel
