#include "common/contract/tunnel_configuration_validator.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "common/base/json.hpp"
#include "common/contract/helper_contract.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

namespace Validator = PrivilegedTunnelConfigurationValidator;
using json::Value;

std::string readFixture(const std::string& name) { return testing::readFixture("tunnel-config/" + name); }

const std::string& plainText() {
    static const std::string text = readFixture("plain-pinned-interface.json");
    return text;
}

Value plainDocument() { return json::parse(plainText()); }

// "accepted", the rejection reason, or a description of any other failure, so
// that a mismatch shows what happened instead.
std::string outcomeOfBytes(std::string_view bytes) {
    try {
        static_cast<void>(Validator::validate(bytes));
        return "accepted";
    } catch (const PrivilegedHelperContractError& error) {
        if (error.errorCase() != PrivilegedHelperContractError::Case::invalidConfiguration) {
            return "other contract error: " + error.message();
        }
        return error.reason();
    } catch (const json::JsonError& error) {
        return "JSON error: " + error.message();
    }
}

std::string outcome(const Value& document) { return outcomeOfBytes(json::writePretty(document)); }

// The text with its one occurrence of `from` replaced by `to`.
std::string replacedOnce(const std::string& text, std::string_view from, std::string_view to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
    if (at == std::string::npos) return text;
    std::string result = text;
    result.replace(at, from.size(), to);
    return result;
}

TEST(TunnelConfigurationValidator, AcceptsEachShapeTheBuilderWritesAndReportsItsRoute) {
    const struct {
        const char* fixture;
        Validator::Result expected;
    } cases[] = {
        {"plain-pinned-interface.json", {"198.51.100.7", 443, "en0"}},
        {"automatic-interface.json", {"node.example.net", 8443, std::nullopt}},
        // The endpoint of the pairing is the carrier's server, not the
        // Shadowsocks outbound's (which has none).
        {"shadowtls.json", {"2001:db8::7", 443, "en0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        EXPECT_EQ(Validator::validate(readFixture(c.fixture)), c.expected);
    }
}

TEST(TunnelConfigurationValidator, BoundsTheSizeOfTheConfiguration) {
    std::string padded = plainText();
    ASSERT_LT(padded.size(), Validator::maximumConfigurationSize);
    padded.append(Validator::maximumConfigurationSize - padded.size(), ' ');
    ASSERT_EQ(padded.size(), 524288U);
    EXPECT_EQ(outcomeOfBytes(padded), "accepted");
    EXPECT_EQ(outcomeOfBytes(padded + "\n"), "configuration size is outside the allowed range");
    EXPECT_EQ(outcomeOfBytes(""), "configuration size is outside the allowed range");
}

TEST(TunnelConfigurationValidator, RejectionsCarryTheReasonInTheContractMessage) {
    try {
        static_cast<void>(Validator::validate("[]"));
        FAIL() << "accepted";
    } catch (const PrivilegedHelperContractError& error) {
        EXPECT_EQ(error, PrivilegedHelperContractError::invalidConfiguration("configuration must be an object"));
        EXPECT_EQ(error.message(), "Privileged tunnel configuration rejected: configuration must be an object.");
    }
}

TEST(TunnelConfigurationValidator, PassesOnTheJsonReadersErrorForTextThatIsNotStrictJson) {
    using C = json::JsonError::Case;
    const std::string& plain = plainText();
    const struct {
        const char* name;
        std::string text;
        C expected;
    } cases[] = {
        {"number", "42", C::wrongTopLevel},
        {"string", "\"configuration\"", C::wrongTopLevel},
        {"boolean", "true", C::wrongTopLevel},
        {"null", "null", C::wrongTopLevel},
        {"duplicate key", R"({"log": {"level": "warn", "timestamp": true},)" + plain.substr(1), C::duplicateKey},
        {"nesting", replacedOnce(plain, "\"mtu\" : 1400", "\"mtu\" : " + std::string(80, '[') + std::string(80, ']')),
         C::nestingTooDeep},
        {"invalid UTF-8", replacedOnce(plain, "correct-horse", "correct-\xFF"), C::invalidUTF8},
        {"truncated", plain.substr(0, plain.size() - 1), C::invalidSyntax},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            static_cast<void>(Validator::validate(c.text));
            ADD_FAILURE() << "accepted";
        } catch (const json::JsonError& error) {
            EXPECT_EQ(error.errorCase(), c.expected);
            EXPECT_FALSE(error.message().starts_with("Privileged tunnel configuration rejected"));
        } catch (const std::exception& error) {
            ADD_FAILURE() << "other error: " << errorMessage(error);
        }
    }
}

using Mutation = std::function<void(Value&)>;

struct MutationCase {
    const char* name;
    Mutation mutate;
    std::string expected;
};

void expectOutcomes(const Value& base, const std::vector<MutationCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Value document = base;
        c.mutate(document);
        EXPECT_EQ(outcome(document), c.expected);
    }
}

Value& proxy(Value& document) { return document["outbounds"][0]; }
Value& tun(Value& document) { return document["inbounds"][0]; }

TEST(TunnelConfigurationValidator, RefusesEachDeviationFromThePlainShapeWithItsOwnReason) {
    const Value trojan = plainDocument()["outbounds"][0];
    const Value direct = plainDocument()["outbounds"][1];
    expectOutcomes(
        plainDocument(),
        {
            {"top-level array", [](Value& d) { d = Value::array({d}); }, "configuration must be an object"},
            {"extra top-level field", [](Value& d) { d["experimental"] = Value::object(); },
             "configuration fields are not permitted"},
            {"log missing", [](Value& d) { d.erase("log"); }, "missing field log"},
            {"log missing among others",
             [](Value& d) {
                 d.erase("log");
                 d.erase("dns");
                 d.erase("route");
             },
             "missing field log"},
            {"dns missing", [](Value& d) { d.erase("dns"); }, "missing field dns"},
            {"log null", [](Value& d) { d["log"] = nullptr; }, "log must be an object"},
            {"log level debug", [](Value& d) { d["log"]["level"] = "debug"; }, "log settings are not permitted"},
            {"log level empty", [](Value& d) { d["log"]["level"] = ""; }, "level must be a bounded string"},
            {"timestamp 1", [](Value& d) { d["log"]["timestamp"] = 1; }, "timestamp must be a boolean"},
            {"timestamp missing", [](Value& d) { d["log"].erase("timestamp"); }, "timestamp must be a boolean"},
            {"timestamp false", [](Value& d) { d["log"]["timestamp"] = false; }, "log settings are not permitted"},
            {"mtu 1400.5", [](Value& d) { tun(d)["mtu"] = 1400.5; }, "mtu must be a bounded integer"},
            {"mtu true", [](Value& d) { tun(d)["mtu"] = true; }, "mtu must be a bounded integer"},
            {"insecure as text", [](Value& d) { proxy(d)["tls"]["insecure"] = "true"; }, "insecure must be a boolean"},
            {"direct outbound with the proxy tag", [](Value& d) { d["outbounds"][1]["tag"] = "tarnel-trojan"; },
             "direct outbound tag is not permitted"},
            {"proxy outbound with the direct tag",
             [](Value& d) {
                 proxy(d)["tag"] = "direct";
                 d["dns"]["servers"][0]["detour"] = "direct";
                 d["route"]["final"] = "direct";
             },
             "outbounds[0].tag is not permitted"},
            {"server a..b", [](Value& d) { proxy(d)["server"] = "a..b"; }, "outbounds[0].server is not a host"},
            {"two plain proxies",
             [&](Value& d) {
                 d["outbounds"] = {trojan, trojan, direct};
             },
             "outbound roles are not permitted"},
            {"two direct outbounds",
             [&](Value& d) {
                 d["outbounds"] = {trojan, direct, direct};
             },
             "outbound roles are not permitted"},
            {"no proxy",
             [&](Value& d) {
                 d["outbounds"] = {direct, direct};
             },
             "outbound roles are not permitted"},
            {"one outbound", [&](Value& d) { d["outbounds"] = Value::array({trojan}); },
             "outbound count is not permitted"},
            {"four outbounds",
             [&](Value& d) {
                 d["outbounds"] = {trojan, trojan, direct, direct};
             },
             "outbound count is not permitted"},
            {"five outbounds",
             [&](Value& d) {
                 d["outbounds"] = {trojan, trojan, trojan, direct, direct};
             },
             "outbounds must be a bounded array"},
            {"block outbound",
             [&](Value& d) {
                 d["outbounds"] = {trojan, direct, {{"type", "block"}, {"tag", "block"}}};
             },
             "unsupported outbound type block"},
            {"route exclusions reordered",
             [](Value& d) { std::swap(tun(d)["route_exclude_address"][1], tun(d)["route_exclude_address"][2]); },
             "route exclusions are not permitted"},
            {"route exclusions without the endpoint", [](Value& d) { tun(d)["route_exclude_address"].erase(0); },
             "route exclusions are not permitted"},
            {"both interface policies", [](Value& d) { d["route"]["auto_detect_interface"] = true; },
             "exactly one interface policy is required"},
            {"no interface policy", [](Value& d) { d["route"].erase("default_interface"); },
             "exactly one interface policy is required"},
            {"tunnel interface pinned", [](Value& d) { d["route"]["default_interface"] = "utun3"; },
             "default interface is not permitted"},
            {"pinned interface as a number", [](Value& d) { d["route"]["default_interface"] = 0; },
             "default_interface must be a bounded string"},
            {"automatic detection as text",
             [](Value& d) {
                 d["route"].erase("default_interface");
                 d["route"]["auto_detect_interface"] = "true";
             },
             "auto_detect_interface must be a boolean"},
            {"automatic detection disabled",
             [](Value& d) {
                 d["route"].erase("default_interface");
                 d["route"]["auto_detect_interface"] = false;
             },
             "automatic interface detection must be enabled"},
            {"inbound field outside the allow-list", [](Value& d) { tun(d)["exclude_interface"] = {"utun4"}; },
             "inbounds[0] fields are not permitted"},
            {"DNS strategy", [](Value& d) { d["dns"]["strategy"] = "prefer_ipv4"; }, "DNS policy is not permitted"},
            {"DNS final", [](Value& d) { d["dns"]["final"] = "local"; }, "DNS policy is not permitted"},
            {"DNS server bypasses the proxy", [](Value& d) { d["dns"]["servers"][0]["detour"] = "direct"; },
             "DNS server is not permitted"},
            {"DNS server over UDP", [](Value& d) { d["dns"]["servers"][0]["type"] = "udp"; },
             "DNS server is not permitted"},
            {"two DNS servers", [](Value& d) { d["dns"]["servers"].push_back(d["dns"]["servers"][0]); },
             "exactly one DNS server is required"},
            {"three DNS servers",
             [](Value& d) {
                 d["dns"]["servers"].push_back(d["dns"]["servers"][0]);
                 d["dns"]["servers"].push_back(d["dns"]["servers"][0]);
             },
             "dns.servers must be a bounded array"},
            {"no inbound", [](Value& d) { d["inbounds"] = Value::array(); }, "exactly one TUN inbound is required"},
            {"two inbounds", [](Value& d) { d["inbounds"].push_back(tun(d)); }, "inbounds must be a bounded array"},
            {"mixed inbound", [](Value& d) { tun(d)["type"] = "mixed"; }, "TUN settings are not permitted"},
            {"loose routing", [](Value& d) { tun(d)["strict_route"] = false; }, "TUN settings are not permitted"},
            {"auto_route as text", [](Value& d) { tun(d)["auto_route"] = "true"; }, "auto_route must be a boolean"},
            {"system stack", [](Value& d) { tun(d)["stack"] = "system"; }, "TUN settings are not permitted"},
            {"mtu below range", [](Value& d) { tun(d)["mtu"] = 1279; }, "mtu must be a bounded integer"},
            {"mtu above range", [](Value& d) { tun(d)["mtu"] = 1501; }, "mtu must be a bounded integer"},
            {"tunnel address", [](Value& d) { tun(d)["address"] = {"172.19.0.1/24"}; },
             "inbounds[0].address is not permitted"},
            {"no tunnel address", [](Value& d) { tun(d)["address"] = Value::array(); },
             "inbounds[0].address is not permitted"},
            {"route final direct", [](Value& d) { d["route"]["final"] = "direct"; }, "route.final is not permitted"},
            {"route without final", [](Value& d) { d["route"].erase("final"); }, "route fields are not permitted"},
            {"three route rules", [](Value& d) { d["route"]["rules"].push_back(d["route"]["rules"][1]); },
             "route rules are not permitted"},
            {"nine route rules",
             [](Value& d) { d["route"]["rules"] = Value(std::vector<Value>(9, d["route"]["rules"][1])); },
             "route.rules must be a bounded array"},
            {"endpoint rule by domain for an IP endpoint",
             [](Value& d) {
                 d["route"]["rules"][0] = {{"domain", {"198.51.100.7"}}, {"outbound", "direct"}};
             },
             "route.rules[0] fields are not permitted"},
            {"private ranges through the proxy", [](Value& d) { d["route"]["rules"][1]["outbound"] = "tarnel-trojan"; },
             "route.rules[1] is not permitted"},
            {"private ranges shortened", [](Value& d) { d["route"]["rules"][1]["ip_cidr"].erase(9); },
             "route.rules[1] is not permitted"},
            {"endpoint through the proxy", [](Value& d) { d["route"]["rules"][0]["outbound"] = "tarnel-trojan"; },
             "route.rules[0] is not permitted"},
            // Every object is an allow-list: one unknown key anywhere refuses
            // the whole configuration.
            {"log written to a file", [](Value& d) { d["log"]["output"] = "/tmp/sing-box.log"; },
             "log fields are not permitted"},
            {"DNS rules", [](Value& d) { d["dns"]["rules"] = Value::array(); }, "dns fields are not permitted"},
            {"DNS server resolver", [](Value& d) { d["dns"]["servers"][0]["domain_resolver"] = "local"; },
             "dns.servers[0] fields are not permitted"},
            {"DNS server address", [](Value& d) { d["dns"]["servers"][0]["server"] = "8.8.8.8"; },
             "DNS server is not permitted"},
            {"direct outbound bound elsewhere", [](Value& d) { d["outbounds"][1]["bind_interface"] = "en1"; },
             "outbounds[1] fields are not permitted"},
            {"route rule sets", [](Value& d) { d["route"]["rule_set"] = Value::array(); },
             "route fields are not permitted"},
            {"route rule by process",
             [](Value& d) {
                 d["route"]["rules"][1]["process_path"] = {"/Applications/Tailscale.app/Contents/MacOS/Tailscale"};
             },
             "route.rules[1] fields are not permitted"},
        });
}

TEST(TunnelConfigurationValidator, ReadsIntegersByValueNotByHowTheyAreWritten) {
    const std::string& plain = plainText();
    const struct {
        const char* written;
        const char* expected;
    } cases[] = {
        {"1400.0", "accepted"},
        {"1.4e3", "accepted"},
        {"14000e-1", "accepted"},
        {"1400.5", "mtu must be a bounded integer"},
        {"1400.0000001", "mtu must be a bounded integer"},
        {"true", "mtu must be a bounded integer"},
        {"\"1400\"", "mtu must be a bounded integer"},
        {"null", "mtu must be a bounded integer"},
        {"-1400", "mtu must be a bounded integer"},
        // An integer beyond 64 bits is refused by the JSON reader before any field is read.
        {"18446744073709551616", "JSON error: The JSON number is out of range at \"18446744073709551616\"."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(outcomeOfBytes(replacedOnce(plain, "\"mtu\" : 1400", std::string("\"mtu\" : ") + c.written)),
                  c.expected);
    }
    EXPECT_EQ(outcomeOfBytes(replacedOnce(plain, "\"server_port\" : 443", "\"server_port\" : 4.43e2")), "accepted");
    EXPECT_EQ(outcomeOfBytes(replacedOnce(plain, "\"server_port\" : 443", "\"server_port\" : 65536")),
              "server_port must be a bounded integer");
}

TEST(TunnelConfigurationValidator, MatchesNamesAndHostsAsWholeStrings) {
    const struct {
        const char* name;
        const char* interfaceName;
        const char* expected;
    } interfaces[] = {
        {"line feed", "en0\n", "default interface is not permitted"},
        {"leading space", " en0", "default interface is not permitted"},
        {"trailing space", "en0 ", "default interface is not permitted"},
        {"no digits", "en", "default interface is not permitted"},
        {"letter after digits", "en0a", "default interface is not permitted"},
        {"other family", "eth0", "default interface is not permitted"},
        {"tunnel", "utun3 ", "default interface is not permitted"},
        {"longer than 16 bytes", "en123456789012345", "default_interface must be a bounded string"},
        {"16 bytes", "en12345678901234", "accepted"},
    };
    for (const auto& c : interfaces) {
        SCOPED_TRACE(c.name);
        Value document = plainDocument();
        document["route"]["default_interface"] = c.interfaceName;
        EXPECT_EQ(outcome(document), c.expected);
    }

    Value pinnedTwelve = plainDocument();
    pinnedTwelve["route"]["default_interface"] = "en12";
    EXPECT_EQ(Validator::validate(json::writePretty(pinnedTwelve)).defaultInterface, "en12");

    expectOutcomes(
        plainDocument(),
        {
            {"server with line feed", [](Value& d) { proxy(d)["server"] = "198.51.100.7\n"; },
             "outbounds[0].server is not a host"},
            {"server with slash", [](Value& d) { proxy(d)["server"] = "198.51.100.7/32"; },
             "outbounds[0].server is not a host"},
            {"server with NUL", [](Value& d) { proxy(d)["server"] = std::string("198.51.100.7\0", 13); },
             "server must be a bounded string"},
            {"server name with line feed", [](Value& d) { proxy(d)["tls"]["server_name"] = "cdn.example.com\n"; },
             "outbounds[0].tls.server_name is not permitted"},
            {"server name 254 bytes", [](Value& d) { proxy(d)["tls"]["server_name"] = std::string(254, 'a'); },
             "server_name must be a bounded string"},
            {"server name 253 bytes", [](Value& d) { proxy(d)["tls"]["server_name"] = std::string(253, 'a'); },
             "accepted"},
        });
}

TEST(TunnelConfigurationValidator, TiesTheRouteRulesAndExclusionsToTheKindOfEndpoint) {
    // A host-name endpoint: a domain rule and exactly the ten private ranges.
    const Value hostName = json::parse(readFixture("automatic-interface.json"));
    expectOutcomes(hostName,
                   {
                       {"endpoint rule by address",
                        [](Value& d) {
                            d["route"]["rules"][0] = {{"ip_cidr", {"node.example.net/32"}}, {"outbound", "direct"}};
                        },
                        "route.rules[0] fields are not permitted"},
                       {"another domain", [](Value& d) { d["route"]["rules"][0]["domain"] = {"other.example.net"}; },
                        "route.rules[0] is not permitted"},
                       {"two domains", [](Value& d) { d["route"]["rules"][0]["domain"].push_back("node.example.net"); },
                        "route.rules[0].domain must be a bounded array"},
                       {"exclusion for the host name",
                        [](Value& d) {
                            tun(d)["route_exclude_address"].insert(tun(d)["route_exclude_address"].begin(),
                                                                   "node.example.net/32");
                        },
                        "route exclusions are not permitted"},
                   });

    // An IPv6 endpoint: its /128 prefix in both places.
    const Value ipv6 = json::parse(readFixture("shadowtls.json"));
    EXPECT_EQ(ipv6["route"]["rules"][0]["ip_cidr"][0], "2001:db8::7/128");
    expectOutcomes(ipv6,
                   {
                       {"endpoint as /32", [](Value& d) { d["route"]["rules"][0]["ip_cidr"] = {"2001:db8::7/32"}; },
                        "route.rules[0] is not permitted"},
                   });

    const struct {
        const char* address;
        std::optional<std::string> expected;
    } prefixes[] = {
        {"198.51.100.7", "198.51.100.7/32"},
        {"2001:db8::7", "2001:db8::7/128"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1/128"},
        {"node.example.net", std::nullopt},
        {"999.1.1.1", std::nullopt},
        {"198.51.100.7 ", std::nullopt},
        {"[2001:db8::7]", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : prefixes) {
        EXPECT_EQ(Validator::oneAddressPrefix(c.address), c.expected) << c.address;
    }
}

// One outbound of every kind, in the shape the configuration builder writes it,
// all pointing at the plain fixture's server.
Value sampleOutbound(std::string_view kind) {
    static const Value samples = json::parse(R"({
      "vless": {"type": "vless", "tag": "tarnel-vless", "server": "198.51.100.7", "server_port": 443,
                "uuid": "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7", "flow": "xtls-rprx-vision",
                "tls": {"enabled": true, "server_name": "www.example.com",
                        "utls": {"enabled": true, "fingerprint": "chrome"},
                        "reality": {"enabled": true, "public_key": "jNXHt1yRo0vDuchQlIP6Z0ZvjT3KtzVI-T4E7RoLJS0",
                                    "short_id": ""}}},
      "vless-grpc": {"type": "vless", "tag": "tarnel-vless-grpc", "server": "198.51.100.7", "server_port": 443,
                     "uuid": "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7",
                     "transport": {"type": "grpc", "service_name": "tunnel"},
                     "tls": {"enabled": true, "server_name": "grpc.example.com", "insecure": true, "alpn": ["h2"],
                             "utls": {"enabled": true, "fingerprint": "chrome"}}},
      "hysteria2": {"type": "hysteria2", "tag": "tarnel-hysteria2", "server": "198.51.100.7", "server_port": 443,
                    "password": "secret", "up_mbps": 20, "down_mbps": 80,
                    "obfs": {"type": "salamander", "password": "obfs-secret"},
                    "tls": {"enabled": true, "server_name": "h2.example.com", "insecure": false}},
      "anytls": {"type": "anytls", "tag": "tarnel-anytls", "server": "198.51.100.7", "server_port": 443,
                 "password": "secret",
                 "tls": {"enabled": true, "server_name": "any.example.com", "insecure": false,
                         "utls": {"enabled": true, "fingerprint": "safari"}}},
      "naive-quic": {"type": "naive", "tag": "tarnel-naive", "server": "198.51.100.7", "server_port": 443,
                     "username": "user", "password": "secret", "quic": true,
                     "tls": {"enabled": true, "server_name": "naive.example.com"},
                     "udp_over_tcp": {"enabled": true}},
      "naive-tcp": {"type": "naive", "tag": "tarnel-naive", "server": "198.51.100.7", "server_port": 443,
                    "username": "user", "password": "secret", "quic": false, "insecure_concurrency": 4,
                    "tls": {"enabled": true, "server_name": "naive.example.com"}},
      "shadowsocks": {"type": "shadowsocks", "tag": "tarnel-shadowsocks", "server": "198.51.100.7",
                      "server_port": 443, "method": "2022-blake3-aes-128-gcm", "password": "c2hhZG93c29ja3Mta2V5IQ=="},
      "trojan": {"type": "trojan", "tag": "tarnel-trojan", "server": "198.51.100.7", "server_port": 443,
                 "password": "secret",
                 "tls": {"enabled": true, "server_name": "trojan.example.com", "insecure": false,
                         "utls": {"enabled": true, "fingerprint": "chrome"}}},
      "tuic": {"type": "tuic", "tag": "tarnel-tuic", "server": "198.51.100.7", "server_port": 443,
               "uuid": "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7", "password": "secret",
               "congestion_control": "bbr", "udp_relay_mode": "native", "zero_rtt_handshake": false,
               "tls": {"enabled": true, "server_name": "tuic.example.com", "insecure": false, "alpn": ["h3"]}},
      "vmess": {"type": "vmess", "tag": "tarnel-vmess-ws", "server": "198.51.100.7", "server_port": 443,
                "uuid": "6f1c2a3b-4d5e-4f60-8a71-92b3c4d5e6f7", "security": "auto", "alter_id": 0,
                "transport": {"type": "ws", "path": "/ws?ed=2048", "headers": {"Host": "cdn.example.net"}},
                "tls": {"enabled": true, "server_name": "cdn.example.net", "insecure": false,
                        "utls": {"enabled": true, "fingerprint": "chrome"}}},
      "hysteria": {"type": "hysteria", "tag": "tarnel-hysteria", "server": "198.51.100.7", "server_port": 443,
                   "auth_str": "secret", "up_mbps": 100, "down_mbps": 100, "obfs": "xplus",
                   "tls": {"enabled": true, "server_name": "hy.example.com", "insecure": false}}
    })");
    return samples.at(std::string(kind));
}

// The plain fixture with its proxy outbound replaced; DNS and the final route
// follow the new outbound's tag.
Value withProxyOutbound(const Value& outbound) {
    Value document = plainDocument();
    proxy(document) = outbound;
    if (outbound.contains("tag") && outbound["tag"].is_string()) {
        document["dns"]["servers"][0]["detour"] = outbound["tag"];
        document["route"]["final"] = outbound["tag"];
    }
    return document;
}

TEST(TunnelConfigurationValidator, AcceptsEveryOutboundKindTheBuilderWrites) {
    for (const char* kind : {"vless", "vless-grpc", "hysteria2", "anytls", "naive-quic", "naive-tcp", "shadowsocks",
                             "trojan", "tuic", "vmess", "hysteria"}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(outcome(withProxyOutbound(sampleOutbound(kind))), "accepted");
    }
}

TEST(TunnelConfigurationValidator, HoldsEachOutboundKindToItsOwnRule) {
    const struct {
        const char* name;
        const char* kind;
        Mutation mutate;
        std::string expected;
    } cases[] = {
        {"VLESS without uuid", "vless", [](Value& o) { o.erase("uuid"); }, "outbounds[0] fields are not permitted"},
        {"VLESS other flow", "vless", [](Value& o) { o["flow"] = "xtls-rprx-direct"; }, "VLESS flow is not permitted"},
        {"VLESS empty flow", "vless", [](Value& o) { o["flow"] = ""; }, "outbounds[0].flow must be a bounded string"},
        {"VLESS empty uuid", "vless", [](Value& o) { o["uuid"] = ""; }, "uuid is not a bounded credential"},
        {"Reality disabled", "vless", [](Value& o) { o["tls"]["reality"]["enabled"] = false; },
         "Reality must be enabled"},
        {"Reality without key", "vless", [](Value& o) { o["tls"]["reality"]["public_key"] = ""; },
         "public_key is not a bounded credential"},
        {"Reality extra field", "vless", [](Value& o) { o["tls"]["reality"]["private_key"] = "x"; },
         "outbounds[0].tls.reality fields are not permitted"},
        {"uTLS disabled", "vless", [](Value& o) { o["tls"]["utls"]["enabled"] = false; }, "uTLS must be enabled"},
        {"uTLS as text", "vless", [](Value& o) { o["tls"]["utls"] = "chrome"; },
         "outbounds[0].tls.utls must be an object"},
        {"gRPC given a WebSocket", "vless-grpc", [](Value& o) { o["transport"]["type"] = "ws"; },
         "gRPC transport is not permitted"},
        {"gRPC without service", "vless-grpc", [](Value& o) { o["transport"].erase("service_name"); },
         "service_name is not a bounded credential"},
        {"gRPC extra field", "vless-grpc", [](Value& o) { o["transport"]["idle_timeout"] = "15s"; },
         "outbounds[0].transport fields are not permitted"},
        {"TLS disabled", "trojan", [](Value& o) { o["tls"]["enabled"] = false; }, "outbounds[0].tls must be enabled"},
        {"TLS enabled as text", "trojan", [](Value& o) { o["tls"]["enabled"] = "true"; }, "enabled must be a boolean"},
        {"TLS without server name", "trojan", [](Value& o) { o["tls"].erase("server_name"); },
         "outbounds[0].tls fields are not permitted"},
        {"TLS server name with space", "trojan", [](Value& o) { o["tls"]["server_name"] = "a b"; },
         "outbounds[0].tls.server_name is not permitted"},
        {"TLS with certificate", "trojan", [](Value& o) { o["tls"]["certificate"] = "x"; },
         "outbounds[0].tls fields are not permitted"},
        {"nine ALPN protocols", "trojan", [](Value& o) { o["tls"]["alpn"] = Value(std::vector<std::string>(9, "h2")); },
         "outbounds[0].tls.alpn must be a bounded array"},
        {"empty ALPN protocol", "trojan", [](Value& o) { o["tls"]["alpn"] = {""}; },
         "outbounds[0].tls.alpn must be a bounded string"},
        {"Trojan without TLS", "trojan", [](Value& o) { o.erase("tls"); }, "missing field tls"},
        {"Trojan without server", "trojan", [](Value& o) { o.erase("server"); }, "missing field server"},
        {"Trojan extra field", "trojan", [](Value& o) { o["multiplex"] = Value::object(); },
         "outbounds[0] fields are not permitted"},
        {"proxy tag without prefix", "trojan", [](Value& o) { o["tag"] = "trojan"; },
         "outbounds[0].tag is not permitted"},
        {"port 0", "trojan", [](Value& o) { o["server_port"] = 0; }, "server_port must be a bounded integer"},
        {"password with NUL", "trojan", [](Value& o) { o["password"] = std::string("se\0cret", 7); },
         "password is not a bounded credential"},
        {"password of 4097 bytes", "trojan", [](Value& o) { o["password"] = std::string(4097, 'p'); },
         "password is not a bounded credential"},
        {"password of 4096 bytes", "trojan", [](Value& o) { o["password"] = std::string(4096, 'p'); }, "accepted"},
        {"Hysteria2 no upload", "hysteria2", [](Value& o) { o["up_mbps"] = 0; }, "up_mbps must be a bounded integer"},
        {"Hysteria2 huge download", "hysteria2", [](Value& o) { o["down_mbps"] = 10001; },
         "down_mbps must be a bounded integer"},
        {"Hysteria2 obfs extra field", "hysteria2", [](Value& o) { o["obfs"]["salt"] = "x"; },
         "outbounds[0].obfs fields are not permitted"},
        {"Hysteria2 obfs null", "hysteria2", [](Value& o) { o["obfs"] = nullptr; },
         "outbounds[0].obfs must be an object"},
        {"Naive UDP over TCP disabled", "naive-quic", [](Value& o) { o["udp_over_tcp"]["enabled"] = false; },
         "outbounds[0].udp_over_tcp must be enabled"},
        {"Naive quic as text", "naive-quic", [](Value& o) { o["quic"] = "yes"; }, "quic must be a boolean"},
        {"Naive concurrency 65", "naive-tcp", [](Value& o) { o["insecure_concurrency"] = 65; },
         "insecure_concurrency must be a bounded integer"},
        {"Shadowsocks detour without carrier", "shadowsocks",
         [](Value& o) {
             o.erase("server");
             o.erase("server_port");
             o["detour"] = "tarnel-shadowtls-carrier";
         },
         "outbound roles are not permitted"},
        {"Shadowsocks detour beside server fields", "shadowsocks",
         [](Value& o) { o["detour"] = "tarnel-shadowtls-carrier"; }, "ShadowTLS detour is not permitted"},
        {"Shadowsocks without method", "shadowsocks", [](Value& o) { o.erase("method"); },
         "outbounds[0] fields are not permitted"},
        {"TUIC zero-RTT", "tuic", [](Value& o) { o["zero_rtt_handshake"] = true; }, "TUIC zero-RTT is not permitted"},
        {"TUIC empty congestion control", "tuic", [](Value& o) { o["congestion_control"] = ""; },
         "congestion_control is not a bounded credential"},
        {"VMess alter_id 1", "vmess", [](Value& o) { o["alter_id"] = 1; }, "alter_id must be a bounded integer"},
        {"VMess without encryption", "vmess", [](Value& o) { o["security"] = "none"; },
         "VMess settings are not permitted"},
        {"VMess without transport", "vmess", [](Value& o) { o.erase("transport"); }, "missing field transport"},
        {"WebSocket given gRPC", "vmess", [](Value& o) { o["transport"]["type"] = "grpc"; },
         "WebSocket transport is not permitted"},
        {"WebSocket relative path", "vmess", [](Value& o) { o["transport"]["path"] = "ws"; },
         "WebSocket path is not permitted"},
        {"WebSocket host a..b", "vmess", [](Value& o) { o["transport"]["headers"]["Host"] = "a..b"; },
         "WebSocket host is not permitted"},
        {"WebSocket extra header", "vmess", [](Value& o) { o["transport"]["headers"]["User-Agent"] = "x"; },
         "outbounds[0].transport.headers fields are not permitted"},
        {"uTLS extra field", "trojan", [](Value& o) { o["tls"]["utls"]["random"] = true; },
         "outbounds[0].tls.utls fields are not permitted"},
        {"ALPN protocol of 33 bytes", "trojan", [](Value& o) { o["tls"]["alpn"] = {std::string(33, 'h')}; },
         "outbounds[0].tls.alpn must be a bounded string"},
        {"Hysteria2 obfs without password", "hysteria2", [](Value& o) { o["obfs"].erase("password"); },
         "password is not a bounded credential"},
        {"UDP over TCP extra field", "naive-quic", [](Value& o) { o["udp_over_tcp"]["version"] = 2; },
         "outbounds[0].udp_over_tcp fields are not permitted"},
        {"WebSocket without headers", "vmess", [](Value& o) { o["transport"].erase("headers"); }, "accepted"},
        {"Hysteria empty obfs", "hysteria", [](Value& o) { o["obfs"] = ""; }, "obfs is not a bounded credential"},
        {"Hysteria without auth", "hysteria", [](Value& o) { o.erase("auth_str"); },
         "outbounds[0] fields are not permitted"},
        {"type in capitals", "vless", [](Value& o) { o["type"] = "VLESS"; }, "unsupported outbound type VLESS"},
        {"type missing", "vless", [](Value& o) { o.erase("type"); }, "missing field type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Value outbound = sampleOutbound(c.kind);
        c.mutate(outbound);
        EXPECT_EQ(outcome(withProxyOutbound(outbound)), c.expected);
    }

    // A ShadowTLS carrier whose version is not 3.
    Value shadowTLS = json::parse(readFixture("shadowtls.json"));
    shadowTLS["outbounds"][1]["version"] = 2;
    EXPECT_EQ(outcome(shadowTLS), "version must be a bounded integer");
}

TEST(TunnelConfigurationValidator, AcceptsOnlyTheCompleteShadowTLSPairing) {
    const Value pairing = json::parse(readFixture("shadowtls.json"));
    const Value shadowsocks = pairing["outbounds"][0];
    const Value carrier = pairing["outbounds"][1];
    const Value direct = pairing["outbounds"][2];
    expectOutcomes(
        pairing,
        {
            {"pairing in another order",
             [&](Value& d) {
                 d["outbounds"] = {direct, carrier, shadowsocks};
             },
             "accepted"},
            {"carrier without Shadowsocks",
             [&](Value& d) {
                 d["outbounds"] = {carrier, direct};
             },
             "outbound roles are not permitted"},
            {"Shadowsocks with server fields", [](Value& d) { d["outbounds"][0]["server"] = "2001:db8::7"; },
             "ShadowTLS detour is not permitted"},
            {"detour elsewhere", [](Value& d) { d["outbounds"][0]["detour"] = "direct"; },
             "ShadowTLS detour is not permitted"},
            {"DNS through the carrier", [](Value& d) { d["dns"]["servers"][0]["detour"] = "tarnel-shadowtls-carrier"; },
             "DNS server is not permitted"},
            {"route final through the carrier", [](Value& d) { d["route"]["final"] = "tarnel-shadowtls-carrier"; },
             "route.final is not permitted"},
            {"carrier without TLS", [](Value& d) { d["outbounds"][1].erase("tls"); }, "missing field tls"},
            // The Shadowsocks half has no server fields of its own, yet DNS and
            // the final route point at its tag: it must not be able to take
            // the direct outbound's tag.
            {"Shadowsocks tagged direct",
             [](Value& d) {
                 d["outbounds"][0]["tag"] = "direct";
                 d["dns"]["servers"][0]["detour"] = "direct";
                 d["route"]["final"] = "direct";
             },
             "outbounds[0].tag is not permitted"},
            // The detour must name the carrier, and only the carrier.
            {"carrier under another tag", [](Value& d) { d["outbounds"][1]["tag"] = "tarnel-carrier"; },
             "outbound roles are not permitted"},
            {"Shadowsocks under the carrier's tag",
             [](Value& d) {
                 d["outbounds"][0]["tag"] = "tarnel-shadowtls-carrier";
                 d["dns"]["servers"][0]["detour"] = "tarnel-shadowtls-carrier";
                 d["route"]["final"] = "tarnel-shadowtls-carrier";
             },
             "outbound roles are not permitted"},
        });
}

TEST(NetworkServiceName, AcceptsPlainNamesAndRefusesControlCharactersAndOverlongNames) {
    std::string euros;
    for (int i = 0; i < 43; ++i) euros += "\xE2\x82\xAC";  // 129 bytes in 43 characters
    ASSERT_EQ(euros.size(), 129U);
    const std::string euros128 = euros.substr(0, 126) + "ab";

    for (const std::string& name : {std::string("Wi-Fi"), std::string("USB 10/100/1000 LAN"), euros128,
                                    std::string("Thunderbolt Bridge \xC3\xA9")}) {
        EXPECT_NO_THROW(PrivilegedHelperContract::validateNetworkServiceName(name)) << name;
    }
    const struct {
        const char* name;
        std::string text;
    } refused[] = {
        {"tab", "Wi\tFi"},
        {"line feed", "Wi-Fi\n"},
        {"zero-width joiner",
         "Wi\xE2\x80\x8D"
         "Fi"},
        {"soft hyphen",
         "Wi\xC2\xAD"
         "Fi"},
        {"next line", "Wi-Fi\xC2\x85"},
        {"NUL", std::string("Wi\0Fi", 5)},
        {"empty", ""},
        {"129 bytes", euros},
        {"invalid UTF-8",
         "Wi\xFF"
         "Fi"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        try {
            PrivilegedHelperContract::validateNetworkServiceName(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const PrivilegedHelperContractError& error) {
            EXPECT_EQ(error.errorCase(), PrivilegedHelperContractError::Case::invalidProxyService);
            EXPECT_EQ(error.message(), "The selected network service name is not valid.");
        }
    }
}

}  // namespace
}  // namespace tarnel
