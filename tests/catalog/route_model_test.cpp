#include "app/catalog/route_model.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "common/base/utf8.hpp"

namespace tarnel {
namespace {

// A trojan route as a route builder would make it, with no optional field set.
RouteNode trojanRoute() {
    RouteNode node;
    node.id = "EE-trojan";
    node.transport = RouteTransport::trojan;
    node.title = "Estonia";
    node.server = "203.0.113.7";
    node.port = 443;
    node.serverName = "ee.example.net";
    node.fingerprint = "chrome";
    node.alpn = {"h2", "http/1.1"};
    return node;
}

// A route of the given kind with every field set.
RouteNode fullRoute(RouteTransport transport) {
    RouteNode node = trojanRoute();
    node.id = "RO-" + std::string(rawValue(transport));
    node.transport = transport;
    node.title = "Bucharest \"2\" / ро";
    node.nodeCode = "RO";
    node.uuid = "0d1f5a6e-3f1c-4d7e-9b3a-5c2e7f8a9b10";
    node.flow = "xtls-rprx-vision";
    node.publicKey = "pk";
    node.shortID = "0123abcd";
    node.password = "secret";
    node.username = "user";
    node.insecure = true;
    node.obfsType = "salamander";
    node.obfsPassword = "obfs-secret";
    node.upMbps = 50;
    node.downMbps = 200;
    node.quic = true;
    node.udpOverTcp = true;
    node.insecureConcurrency = 4;
    node.method = "2022-blake3-aes-128-gcm";
    node.shadowTLSPassword = "stls";
    node.congestionControl = "bbr";
    node.udpRelayMode = "native";
    node.transportPath = "/ws";
    node.transportHost = "cdn.example.net";
    node.serviceName = "grpc";
    node.obfs = "hy1-obfs";
    return node;
}

RouteNode decodeText(std::string_view text) { return RouteNode::fromJson(json::parse(text)); }

std::string encodeText(const RouteNode& node) { return json::writeCanonical(node.toJson()); }

// ---------------------------------------------------------------------------
// Enumerations

TEST(RouteTransport, RawValuesAndDisplayNamesInDeclarationOrder) {
    const struct {
        RouteTransport transport;
        std::string_view raw;
        std::string_view name;
        std::string_view nameOverQuic;
    } rows[] = {
        {RouteTransport::vless, "vless", "VLESS Reality", "VLESS Reality"},
        {RouteTransport::hysteria2, "hysteria2", "Hysteria2", "Hysteria2"},
        {RouteTransport::anyTLS, "anytls", "AnyTLS", "AnyTLS"},
        {RouteTransport::naive, "naive", "Naive H2", "Naive H3"},
        {RouteTransport::shadowsocks, "shadowsocks", "Shadowsocks 2022", "Shadowsocks 2022"},
        {RouteTransport::shadowTLS, "shadowtls", "ShadowTLS + Shadowsocks 2022", "ShadowTLS + Shadowsocks 2022"},
        {RouteTransport::trojan, "trojan", "Trojan TLS", "Trojan TLS"},
        {RouteTransport::tuic, "tuic", "TUIC", "TUIC"},
        {RouteTransport::vmessWS, "vmess-ws", "VMess WebSocket TLS", "VMess WebSocket TLS"},
        {RouteTransport::vlessGRPC, "vless-grpc", "VLESS gRPC TLS", "VLESS gRPC TLS"},
        {RouteTransport::hysteria, "hysteria", "Hysteria v1", "Hysteria v1"},
    };
    ASSERT_EQ(std::size(rows), kAllRouteTransports.size());
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        EXPECT_EQ(kAllRouteTransports[i], row.transport) << row.raw;
        EXPECT_EQ(rawValue(row.transport), row.raw);
        EXPECT_EQ(routeTransportFromRawValue(row.raw), row.transport);
        EXPECT_EQ(displayName(row.transport, false), row.name);
        EXPECT_EQ(displayName(row.transport, true), row.nameOverQuic);
    }
}

TEST(RouteTransport, RawValuesMatchExactly) {
    for (const std::string_view raw :
         {"VLESS", "Vless", "vless ", " vless", "vless\n", "", "vmess", "vmess_ws", "anyTLS", "naive-h3", "shadowTLS"}) {
        EXPECT_FALSE(routeTransportFromRawValue(raw).has_value()) << raw;
    }
}

TEST(RouteEnumerations, StatusRawValuesRoundTripAndUnknownOnesAreRefused) {
    const std::pair<CatalogRouteStatus, std::string_view> catalog[] = {
        {CatalogRouteStatus::available, "available"},
        {CatalogRouteStatus::paidRequired, "paid_required"},
        {CatalogRouteStatus::temporarilyUnavailable, "temporarily_unavailable"},
    };
    for (const auto& [status, raw] : catalog) {
        EXPECT_EQ(rawValue(status), raw);
        EXPECT_EQ(catalogRouteStatusFromRawValue(raw), status);
        EXPECT_EQ(catalogRouteStatusFromJson(json::Value(raw), "status"), status);
    }
    const std::pair<TunnelStatus, std::string_view> tunnel[] = {
        {TunnelStatus::disconnected, "disconnected"},
        {TunnelStatus::connecting, "connecting"},
        {TunnelStatus::connected, "connected"},
        {TunnelStatus::failed, "failed"},
    };
    for (const auto& [status, raw] : tunnel) {
        EXPECT_EQ(rawValue(status), raw);
        EXPECT_EQ(tunnelStatusFromRawValue(raw), status);
        EXPECT_EQ(toJson(status), json::Value(raw));
        EXPECT_EQ(tunnelStatusFromJson(toJson(status), "status"), status);
    }
    EXPECT_FALSE(catalogRouteStatusFromRawValue("paidRequired").has_value());
    EXPECT_FALSE(catalogRouteStatusFromRawValue("Available").has_value());
    EXPECT_FALSE(tunnelStatusFromRawValue("Connected").has_value());
    EXPECT_THROW((void)tunnelStatusFromJson(json::Value("idle"), "status"), json::JsonError);
    EXPECT_THROW((void)tunnelStatusFromJson(json::Value(1), "status"), json::JsonError);
}

// ---------------------------------------------------------------------------
// Derived texts

TEST(RouteNodeTexts, TitleAndDiagnosticDescription) {
    const RouteNode route = trojanRoute();
    EXPECT_EQ(route.displayTitle(), "Estonia \u00B7 Trojan TLS");
    EXPECT_EQ(route.diagnosticDescription(), "Estonia (Trojan TLS, 203.***.***.7:443)");

    RouteNode kazakh = trojanRoute();
    kazakh.title = "Almaty";
    kazakh.nodeCode = "KZ";
    kazakh.transport = RouteTransport::vmessWS;
    kazakh.server = "kz-edge.example.org";
    kazakh.port = 8443;
    EXPECT_EQ(kazakh.displayTitle(), "Almaty \u00B7 VMess WebSocket TLS");
    EXPECT_EQ(kazakh.diagnosticDescription(), "Almaty (VMess WebSocket TLS, kz-...org:8443)");
}

TEST(RouteNodeTexts, NaiveRoutesNameTheirCarrier) {
    RouteNode naive = trojanRoute();
    naive.transport = RouteTransport::naive;
    for (const bool quic : {false, true}) {
        naive.quic = quic;
        const std::string name = quic ? "Naive H3" : "Naive H2";
        EXPECT_EQ(naive.transportDisplayName(), name);
        EXPECT_EQ(naive.displayTitle(), "Estonia \u00B7 " + name);
        EXPECT_EQ(naive.diagnosticDescription(), "Estonia (" + name + ", 203.***.***.7:443)");
    }
}

TEST(RouteNodeTexts, RegionCodeAndLabel) {
    const struct {
        std::optional<std::string> nodeCode;
        std::string title;
        std::string serverName;
        std::string server;
        std::optional<std::string> code;
        std::string label;
    } cases[] = {
        {" ro\n", "Node 1", "a.example.net", "a.example.net", "RO", "Romania"},
        {"KZ", "Almaty", "a.example.net", "a.example.net", "KZ", "Almaty"},
        {"in", "x", "a.example.net", "a.example.net", "IN", "India"},
        {"\u3000ee\u2028", "x", "a.example.net", "a.example.net", "EE", "Estonia"},
        // An unknown node code falls through to the texts.
        {"XX", "ee node", "a.example.net", "a.example.net", "EE", "Estonia"},
        {"RO1", "Bucharest", "b.example.net", "1.2.3.4", std::nullopt, "Bucharest"},
        // Whole words only: "ru1" is not "ru".
        {std::nullopt, "Europe", "ru1.example.org", "ru1.example.org", std::nullopt, "Europe"},
        {std::nullopt, "Europe", "ru.example.org", "ru.example.org", "RU", "Russia route"},
        {std::nullopt, "Fast EE-2", "a.example.net", "a.example.net", "EE", "Estonia"},
        {std::nullopt, "KZ", "a.example.net", "a.example.net", "KZ", "KZ"},
        // Texts are searched in turn; within one text "ru" outranks "ro" wherever it stands.
        {std::nullopt, "Node ro", "ru.example.org", "ru.example.org", "RO", "Romania"},
        {std::nullopt, "ro and ru", "x", "x", "RU", "Russia route"},
        {std::nullopt, "Node", "in.example.org", "ee.example.org", "IN", "India"},
        {std::nullopt, "Node", "", "ee.example.org", "EE", "Estonia"},
        // Russia in the title wins the label, whatever the code.
        {"EE", "My rUsSiA box", "a.example.net", "a.example.net", "EE", "Russia route"},
        {std::nullopt, "RUSSIAN edge", "a.example.net", "a.example.net", std::nullopt, "Russia route"},
        // Non-ASCII words are words of their own.
        {std::nullopt, "Таллин—ee", "x", "x", "EE", "Estonia"},
        {std::nullopt, "ee\u0301", "x", "x", std::nullopt, "ee\u0301"},
    };
    for (const auto& c : cases) {
        RouteNode route = trojanRoute();
        route.nodeCode = c.nodeCode;
        route.title = c.title;
        route.serverName = c.serverName;
        route.server = c.server;
        EXPECT_EQ(route.regionCode(), c.code) << c.title;
        EXPECT_EQ(route.regionLabel(), c.label) << c.title;
        // The texts computed together are the texts computed one by one.
        EXPECT_EQ(route.displayTexts(), (RouteDisplayTexts{route.regionCode(), route.regionLabel(),
                                                           route.displayTitle(), route.diagnosticDescription()}))
            << c.title;
    }
}

TEST(RouteNodeTexts, MaskedHost) {
    const struct {
        std::string server;
        std::string masked;
    } cases[] = {
        {"10.0.0.1", "10.***.***.1"},
        {"203.0.113.7", "203.***.***.7"},
        {"10..0.0.1.", "10.***.***.1"},          // empty pieces are dropped
        {"+1.-2.3.4", "+1.***.***.4"},
        {"256.300.1.9999", "256.***.***.9999"},  // four numbers, even if not an address
        {"a.b.c.d", "<host>"},
        {"1.2.3", "<host>"},
        {"1.2.3.+", "<host>"},
        {"12345678", "<host>"},
        {"", "<host>"},
        {"123456789", "123...789"},
        {"vpn.example.net", "vpn...net"},
        {"1.2.3.99999999999999999999", "1.2...999"},  // beyond 64 bits is not a number
        {"1.2.3.4.5", "1.2...4.5"},
        {"2001:db8::1", "200...::1"},
        {"сервер.пример.рф", "сер....рф"},
        {"ёжик.рф", "<host>"},  // 7 characters in 13 bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RouteNode::maskedHost(c.server), c.masked) << c.server;
    }
    const std::string masked = RouteNode::maskedHost("\xFF\xFE.example.org");
    EXPECT_TRUE(utf8::isValid(masked));
    EXPECT_EQ(masked, "\uFFFD\uFFFD....org");
}

TEST(RouteNodeTexts, DerivedTextsAreWellFormedWhateverTheRouteHolds) {
    RouteNode route = trojanRoute();
    route.title = "Almaty \xC3";
    route.server = "k\xFFz.example.org";
    route.serverName = "\xE2\x82";
    EXPECT_EQ(route.regionCode(), std::nullopt);
    EXPECT_EQ(route.regionLabel(), "Almaty \uFFFD");
    EXPECT_EQ(route.displayTitle(), "Almaty \uFFFD \u00B7 Trojan TLS");
    EXPECT_EQ(route.diagnosticDescription(), "Almaty \uFFFD (Trojan TLS, k\uFFFDz...org:443)");
    EXPECT_EQ(route.displayTexts(), (RouteDisplayTexts{std::nullopt, "Almaty \uFFFD", "Almaty \uFFFD \u00B7 Trojan TLS",
                                                       "Almaty \uFFFD (Trojan TLS, k\uFFFDz...org:443)"}));
}

// ---------------------------------------------------------------------------
// Stored form

TEST(RouteNodeJson, WritesEveryFieldUnderItsOwnName) {
    EXPECT_EQ(encodeText(fullRoute(RouteTransport::vlessGRPC)),
              R"({"alpn":["h2","http/1.1"],"congestionControl":"bbr","downMbps":200,)"
              R"("fingerprint":"chrome","flow":"xtls-rprx-vision","id":"RO-vless-grpc",)"
              R"("insecure":true,"insecureConcurrency":4,"method":"2022-blake3-aes-128-gcm",)"
              R"("nodeCode":"RO","obfs":"hy1-obfs","obfsPassword":"obfs-secret","obfsType":"salamander",)"
              R"("password":"secret","port":443,"publicKey":"pk","quic":true,"server":"203.0.113.7",)"
              R"("serverName":"ee.example.net","serviceName":"grpc","shadowTLSPassword":"stls",)"
              R"("shortID":"0123abcd","title":"Bucharest \"2\" / ро","transport":"vless-grpc",)"
              R"("transportHost":"cdn.example.net","transportPath":"/ws","udpOverTcp":true,)"
              R"("udpRelayMode":"native","upMbps":50,"username":"user",)"
              R"("uuid":"0d1f5a6e-3f1c-4d7e-9b3a-5c2e7f8a9b10"})");
}

TEST(RouteNodeJson, AbsentOptionalsWriteNoKeyAndNoNull) {
    RouteNode route = trojanRoute();
    route.alpn.clear();
    EXPECT_EQ(encodeText(route),
              R"({"alpn":[],"fingerprint":"chrome","id":"EE-trojan","insecure":false,"port":443,)"
              R"("quic":false,"server":"203.0.113.7","serverName":"ee.example.net","shortID":"",)"
              R"("title":"Estonia","transport":"trojan","udpOverTcp":false})");
    const json::Value written = route.toJson();
    EXPECT_FALSE(written.contains("uuid"));
    for (const auto& [key, value] : written.items()) EXPECT_FALSE(value.is_null()) << key;
}

TEST(RouteNodeJson, RoundTripsEveryTransportWithAndWithoutOptionals) {
    for (const RouteTransport transport : kAllRouteTransports) {
        RouteNode minimal = trojanRoute();
        minimal.transport = transport;
        for (const RouteNode& route : {minimal, fullRoute(transport)}) {
            EXPECT_EQ(decodeText(encodeText(route)), route) << encodeText(route);
            EXPECT_EQ(RouteNode::fromJson(route.toJson()), route);
        }
    }
}

// Each field on its own changes equality and survives the stored form.
TEST(RouteNodeJson, EveryFieldTakesPartInEqualityAndStorage) {
    const std::vector<std::pair<std::string, std::function<void(RouteNode&)>>> changes = {
        {"id", [](RouteNode& r) { r.id += "x"; }},
        {"transport", [](RouteNode& r) { r.transport = RouteTransport::tuic; }},
        {"title", [](RouteNode& r) { r.title += "x"; }},
        {"nodeCode", [](RouteNode& r) { r.nodeCode.reset(); }},
        {"server", [](RouteNode& r) { r.server += "x"; }},
        {"port", [](RouteNode& r) { r.port = -1; }},
        {"uuid", [](RouteNode& r) { r.uuid = ""; }},
        {"flow", [](RouteNode& r) { r.flow.reset(); }},
        {"serverName", [](RouteNode& r) { r.serverName += "x"; }},
        {"publicKey", [](RouteNode& r) { r.publicKey.reset(); }},
        {"shortID", [](RouteNode& r) { r.shortID.clear(); }},
        {"fingerprint", [](RouteNode& r) { r.fingerprint = "firefox"; }},
        {"password", [](RouteNode& r) { r.password.reset(); }},
        {"username", [](RouteNode& r) { r.username.reset(); }},
        {"insecure", [](RouteNode& r) { r.insecure = !r.insecure; }},
        {"alpn", [](RouteNode& r) { r.alpn = {"http/1.1", "h2"}; }},
        {"obfsType", [](RouteNode& r) { r.obfsType.reset(); }},
        {"obfsPassword", [](RouteNode& r) { r.obfsPassword.reset(); }},
        {"upMbps", [](RouteNode& r) { r.upMbps = 0; }},
        {"downMbps", [](RouteNode& r) { r.downMbps.reset(); }},
        {"quic", [](RouteNode& r) { r.quic = !r.quic; }},
        {"udpOverTcp", [](RouteNode& r) { r.udpOverTcp = !r.udpOverTcp; }},
        {"insecureConcurrency", [](RouteNode& r) { r.insecureConcurrency = INT64_MAX; }},
        {"method", [](RouteNode& r) { r.method.reset(); }},
        {"shadowTLSPassword", [](RouteNode& r) { r.shadowTLSPassword.reset(); }},
        {"congestionControl", [](RouteNode& r) { r.congestionControl.reset(); }},
        {"udpRelayMode", [](RouteNode& r) { r.udpRelayMode.reset(); }},
        {"transportPath", [](RouteNode& r) { r.transportPath.reset(); }},
        {"transportHost", [](RouteNode& r) { r.transportHost.reset(); }},
        {"serviceName", [](RouteNode& r) { r.serviceName.reset(); }},
        {"obfs", [](RouteNode& r) { r.obfs.reset(); }},
    };
    const RouteNode original = fullRoute(RouteTransport::hysteria);
    for (const auto& [field, change] : changes) {
        RouteNode changed = original;
        change(changed);
        EXPECT_NE(changed, original) << field;
        EXPECT_EQ(RouteNode::fromJson(changed.toJson()), changed) << field;
    }
}

TEST(RouteNodeJson, OptionalKeysMayBeMissingOrNull) {
    const RouteNode full = fullRoute(RouteTransport::hysteria);
    const char* optionalKeys[] = {"nodeCode", "uuid", "flow", "publicKey", "password", "username",
                                  "obfsType", "obfsPassword", "upMbps", "downMbps", "insecureConcurrency",
                                  "method", "shadowTLSPassword", "congestionControl", "udpRelayMode",
                                  "transportPath", "transportHost", "serviceName", "obfs"};
    json::Value allNull = full.toJson();
    json::Value allMissing = full.toJson();
    for (const char* key : optionalKeys) {
        allNull[key] = nullptr;
        allMissing.erase(key);
    }
    const RouteNode fromNull = RouteNode::fromJson(allNull);
    EXPECT_EQ(fromNull, RouteNode::fromJson(allMissing));
    EXPECT_FALSE(fromNull.obfs.has_value());
    EXPECT_FALSE(fromNull.upMbps.has_value());
    EXPECT_EQ(fromNull.toJson(), allMissing);

    json::Value withUnknownKey = full.toJson();
    withUnknownKey["addedLater"] = json::Value::array({1, 2});
    EXPECT_EQ(RouteNode::fromJson(withUnknownKey), full);
}

TEST(RouteNodeJson, RefusesRecordsThatBreakTheStoredForm) {
    using C = json::JsonError::Case;
    const json::Value valid = fullRoute(RouteTransport::naive).toJson();
    const auto failure = [](const json::Value& record) -> std::optional<std::pair<C, std::string>> {
        try {
            (void)RouteNode::fromJson(record, "route");
        } catch (const json::JsonError& error) {
            return std::pair(error.errorCase(), error.detail());
        }
        return std::nullopt;
    };

    for (const char* key : {"id", "transport", "title", "server", "port", "serverName", "shortID", "fingerprint",
                            "insecure", "alpn", "quic", "udpOverTcp"}) {
        json::Value missing = valid;
        missing.erase(key);
        EXPECT_EQ(failure(missing), std::pair(C::missingKey, "route." + std::string(key))) << key;
        json::Value null = valid;
        null[key] = nullptr;
        EXPECT_EQ(failure(null), std::pair(C::missingKey, "route." + std::string(key))) << key;
    }

    const struct {
        const char* key;
        json::Value value;
        C expected;
        std::string path;
    } wrong[] = {
        {"port", 443.5, C::typeMismatch, "route.port"},
        {"port", 443.0, C::typeMismatch, "route.port"},
        {"port", "443", C::typeMismatch, "route.port"},
        {"port", json::parse("9223372036854775808", json::TopLevel::any), C::numberOutOfRange, "route.port"},
        {"insecure", 1, C::typeMismatch, "route.insecure"},
        {"quic", "true", C::typeMismatch, "route.quic"},
        {"transport", "VLESS", C::typeMismatch, "route.transport"},
        {"transport", 3, C::typeMismatch, "route.transport"},
        {"alpn", "h2", C::typeMismatch, "route.alpn"},
        {"alpn", json::Value::array({"h2", nullptr}), C::typeMismatch, "route.alpn[1]"},
        {"uuid", 5, C::typeMismatch, "route.uuid"},
        {"obfs", false, C::typeMismatch, "route.obfs"},
        {"upMbps", 1.5, C::typeMismatch, "route.upMbps"},
        {"insecureConcurrency", "4", C::typeMismatch, "route.insecureConcurrency"},
    };
    for (const auto& c : wrong) {
        json::Value record = valid;
        record[c.key] = c.value;
        EXPECT_EQ(failure(record), std::pair(c.expected, c.path)) << c.key << " = " << c.value.dump();
    }
    EXPECT_EQ(failure(json::Value::array()), std::pair(C::typeMismatch, std::string("route")));
}

TEST(RouteNodeJson, StoredTextWithoutQuicFailsToDecode) {
    const std::string stored =
        R"({"alpn":[],"fingerprint":"chrome","id":"EE-naive","insecure":false,"port":443,)"
        R"("server":"ee.example.net","serverName":"ee.example.net","shortID":"",)"
        R"("title":"Estonia","transport":"naive","udpOverTcp":false,"obfs":null})";
    EXPECT_THROW((void)decodeText(stored), json::JsonError);
    RouteNode decoded = decodeText(stored.substr(0, stored.size() - 1) + R"(,"quic":true})");
    EXPECT_TRUE(decoded.quic);
    EXPECT_FALSE(decoded.obfs.has_value());
    EXPECT_EQ(decoded.displayTitle(), "Estonia \u00B7 Naive H3");
}

// ---------------------------------------------------------------------------
// Catalog lines

TEST(RouteCatalogItem, DecodesAllSevenRequiredKeys) {
    const json::Value valid = json::parse(
        R"({"id":"RO-hysteria2","nodeCode":"RO","nodeLabel":"Romania","transportID":"hysteria2",)"
        R"("label":"Hysteria2","kind":"hysteria2","status":"paid_required"})");
    const RouteCatalogItem item = RouteCatalogItem::fromJson(valid);
    EXPECT_EQ(item, (RouteCatalogItem{"RO-hysteria2", "RO", "Romania", "hysteria2", "Hysteria2", "hysteria2",
                                      CatalogRouteStatus::paidRequired}));

    for (const char* key : {"id", "nodeCode", "nodeLabel", "transportID", "label", "kind", "status"}) {
        json::Value missing = valid;
        missing.erase(key);
        EXPECT_THROW((void)RouteCatalogItem::fromJson(missing), json::JsonError) << key;
    }
    for (const json::Value& status : {json::Value("paidRequired"), json::Value("Available"), json::Value(1)}) {
        json::Value record = valid;
        record["status"] = status;
        EXPECT_THROW((void)RouteCatalogItem::fromJson(record), json::JsonError) << status.dump();
    }
    json::Value numericLabel = valid;
    numericLabel["label"] = 2;
    EXPECT_THROW((void)RouteCatalogItem::fromJson(numericLabel), json::JsonError);
}

TEST(RouteListItem, IsIdentifiedByItsCatalogLine) {
    const RouteCatalogItem line{"EE-trojan", "EE", "Estonia", "trojan", "Trojan", "trojan",
                                CatalogRouteStatus::temporarilyUnavailable};
    const RouteListItem withoutRoute{line, std::nullopt};
    const RouteListItem withRoute{line, trojanRoute()};
    EXPECT_EQ(withoutRoute.id(), "EE-trojan");
    EXPECT_EQ(withRoute.id(), "EE-trojan");
    EXPECT_NE(withoutRoute, withRoute);
}

}  // namespace
}  // namespace tarnel
