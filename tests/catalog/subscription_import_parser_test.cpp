#include "app/catalog/subscription_import_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/catalog/manifest_errors.hpp"
#include "common/base/base64.hpp"
#include "common/base/clock.hpp"
#include "common/base/iso8601.hpp"
#include "tests/support/test_support.hpp"

// Signed bodies and the root key are the fixtures of tests/fixtures/manifest
// (generate.py there); the instant is inside their delegation window.

namespace tarnel {
namespace {

using Parser = SubscriptionImportParser;
using testing::failureOf;

constexpr std::string_view kNoRoutes = "No supported Tarnel routes were found.";

std::string manifestFixture(const std::string& name) { return testing::readFixture("manifest/" + name); }

std::optional<std::string> rootKey() { return manifestFixture("root.spki.der"); }

const FakeClock& insideWindow() {
    static const FakeClock clock(1000.0, static_cast<double>(*iso8601::parse("2031-03-15T12:00:00Z")));
    return clock;
}

Parser::ParsedRoutes parseUnsigned(std::string_view body) {
    return Parser::parse(body, std::nullopt, std::nullopt, std::nullopt, insideWindow());
}

// Base64 text broken into lines of `width` characters by CR LF.
std::string wrappedBase64(std::string_view text, std::size_t width) {
    const std::string encoded = base64Encode(text);
    std::string wrapped;
    for (std::size_t at = 0; at < encoded.size(); at += width) wrapped += encoded.substr(at, width) + "\r\n";
    return wrapped;
}

RouteNode vlessRoute() {
    RouteNode route;
    route.id = "vless-RO one-h.example-443";
    route.transport = RouteTransport::vless;
    route.title = "RO one";
    route.server = "h.example";
    route.port = 443;
    route.uuid = "u1";
    route.serverName = "h.example";
    route.publicKey = "KEY";
    route.shortID = "ab";
    route.fingerprint = "chrome";
    return route;
}

RouteNode hysteria2Route() {
    RouteNode route;
    route.id = "hysteria2-Tarnel-EE-UDP-ee.example.net-8443";
    route.transport = RouteTransport::hysteria2;
    route.title = "Tarnel-EE-UDP";
    route.server = "ee.example.net";
    route.port = 8443;
    route.serverName = "ee.example.net";
    route.password = "p@ss";
    route.insecure = true;
    route.upMbps = 20;
    route.fingerprint = "chrome";
    return route;
}

TEST(SubscriptionImportParser, ABase64ListWrappedInLinesGivesEveryRouteInOrder) {
    const std::string links =
        "vless://u1@h.example:443?security=reality&pbk=KEY&fp=&sid=ab#RO%20one\n"
        "hy2://p%40ss@ee.example.net:8443?insecure=YES&up=20\n";
    const auto parsed = parseUnsigned(wrappedBase64(links, 20));
    EXPECT_EQ(parsed.routes, (std::vector<RouteNode>{vlessRoute(), hysteria2Route()}));
    EXPECT_TRUE(parsed.catalog.empty());
    EXPECT_EQ(parsed.manifestRevision, std::nullopt);
    EXPECT_EQ(parsed.serviceClass, std::nullopt);
    EXPECT_EQ(parsed.subscriptionOrigins, std::nullopt);
    EXPECT_EQ(parsed.manifestFormat, std::nullopt);
    EXPECT_EQ(parsed.manifestContentFloor, std::nullopt);
    EXPECT_FALSE(parsed.skippedOptional);

    // The same list in plain text, with blank lines and a line that is no link.
    EXPECT_EQ(parseUnsigned("\n  " + links + "\r\nnot a link\n").routes, parsed.routes);
    EXPECT_EQ(Parser::parseAccessLinks(links), parsed.routes);
}

TEST(SubscriptionImportParser, ListsWithoutAUsableLinkFail) {
    for (const std::string body : {
             "VLESS://u1@h.example:443?security=reality&pbk=K",  // the VLESS scheme is lower case only
             "{\"schema\":\"tarnel.other.v1\",\"lines\":[\"hy2://p@h.example:443\"]}",
             "{\"nodes\":[]}",
             "",
             "trojan://p@h.example:443",
             "hy2://p@h.example",         // no port: there is no default
             "hy2://p@h.example:443 #x",  // a raw space makes it no URL
         }) {
        EXPECT_EQ(failureOf([&] { static_cast<void>(parseUnsigned(body)); }), kNoRoutes) << body;
        EXPECT_THROW(static_cast<void>(Parser::parseAccessLinks(body)), SubscriptionImportError) << body;
    }
}

TEST(SubscriptionImportParser, IdenticalLinesAreNotMerged) {
    const auto routes = Parser::parseAccessLinks("HY2://p@h.example:443\nHY2://p@h.example:443");
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(routes[0], routes[1]);
    EXPECT_EQ(routes[0].id, "hysteria2-h.example-h.example-443");
}

TEST(SubscriptionImportParser, VLESSLinks) {
    const std::string base = "vless://u1@h.example:443?security=reality&pbk=KEY";
    struct Case {
        std::string line;
        bool usable;
    };
    for (const auto& [line, usable] : std::vector<Case>{
             {base, true},
             {base + "&SECURITY=reality", true},  // names are lower-cased; the later value wins
             {"vless://u1@h.example:443?security=tls&pbk=KEY", false},
             {"vless://u1@h.example:443?security=Reality&pbk=KEY", false},
             {"vless://u1@h.example:443?security=reality", false},
             {"vless://u1@h.example:443?security=reality&pbk=", false},
             {"vless://u1@h.example:443?security=reality&pbk=KEY&security=none", false},
             {"vless://h.example:443?security=reality&pbk=KEY", false},
             {"vless://@h.example:443?security=reality&pbk=KEY", false},
             {"vless://u1@h.example?security=reality&pbk=KEY", false},
             {"vless://u1@h.example:0?security=reality&pbk=KEY", false},
             {"Vless://u1@h.example:443?security=reality&pbk=KEY", false},
             {"hy2://u1@h.example:443?security=reality&pbk=KEY", false},
         }) {
        EXPECT_EQ(Parser::parseVLESSLink(line).has_value(), usable) << line;
    }

    const auto full = Parser::parseVLESSLink(
        "vless://a%2Bb@[2001:db8::1]:8443?security=reality&pbk=%20K%20&sni=%20s.example%20&fp=firefox&flow="
        "xtls-rprx-vision&sid=%20ab&x#%20");
    ASSERT_TRUE(full);
    RouteNode expected;
    expected.id = "vless-2001:db8::1-2001:db8::1-8443";
    expected.title = "2001:db8::1";
    expected.server = "2001:db8::1";
    expected.port = 8443;
    expected.uuid = "a+b";
    expected.flow = "xtls-rprx-vision";
    expected.serverName = "s.example";
    expected.publicKey = " K ";
    expected.shortID = " ab";
    expected.fingerprint = "firefox";
    EXPECT_EQ(*full, expected);
}

TEST(SubscriptionImportParser, Hysteria2Links) {
    const auto link = [](std::string_view line) {
        auto route = Parser::parseHysteria2Link(line);
        if (!route) throw std::runtime_error("no route from " + std::string(line));
        return *route;
    };

    // The password is the user part; what follows its ":" is not part of it.
    EXPECT_EQ(link("hy2://a:b@h.example:443").password, "a");
    EXPECT_EQ(link("hysteria2://%20p%20@h.example:443").password, "p");
    for (const std::string line : {"hy2://h.example:443", "hy2://@h.example:443", "hy2://%20@h.example:443",
                                   "hy2://:b@h.example:443", "hy2://p@:443", "vless://p@h.example:443"}) {
        EXPECT_FALSE(Parser::parseHysteria2Link(line)) << line;
    }

    // Settings: the first name with a non-empty value wins.
    const RouteNode route = link(
        "HYSTERIA2://p@h.example:443?SNI=&peer=%20peer.example%20&servername=other&allowinsecure=%20On&"
        "alpn_protocols=h3,%20;h2;&obfs=%20&obfs-type=salamander&obfs_password=x&upmbps=%2B7&down=-5");
    EXPECT_EQ(route.serverName, "peer.example");
    EXPECT_TRUE(route.insecure);
    EXPECT_EQ(route.alpn, (std::vector<std::string>{"h3", "h2"}));
    EXPECT_EQ(route.obfsType, "salamander");
    EXPECT_EQ(route.obfsPassword, "x");
    EXPECT_EQ(route.upMbps, 7);
    EXPECT_EQ(route.downMbps, -5);
    EXPECT_EQ(route.fingerprint, "chrome");
    EXPECT_EQ(route.shortID, "");
    EXPECT_EQ(route.uuid, std::nullopt);
    EXPECT_EQ(route.publicKey, std::nullopt);
    EXPECT_EQ(route.nodeCode, std::nullopt);

    struct Flag {
        std::string query;
        bool insecure;
    };
    for (const auto& [query, insecure] : std::vector<Flag>{
             {"insecure=1", true}, {"insecure=TRUE", true}, {"allow_insecure=yes", true},
             {"insecure=0", false}, {"insecure=y", false}, {"insecure=&allowinsecure=1", true}, {"", false}}) {
        EXPECT_EQ(link("hy2://p@h.example:443?" + query).insecure, insecure) << query;
    }

    struct Mbps {
        std::string value;
        std::optional<std::int64_t> up;
    };
    for (const auto& [value, up] : std::vector<Mbps>{
             {"20", 20}, {"%2020%20", 20}, {"-0", 0}, {"20%20mbps", std::nullopt}, {"20mbps", std::nullopt},
             {"1.5", std::nullopt}, {"+", std::nullopt}, {"9223372036854775807", INT64_MAX},
             {"-9223372036854775808", INT64_MIN}, {"9223372036854775808", std::nullopt}}) {
        EXPECT_EQ(link("hy2://p@h.example:443?up=" + value).upMbps, up) << value;
    }
}

TEST(SubscriptionImportParser, Hysteria2TitlesWithoutAName) {
    struct Case {
        std::string line;
        std::string title;
    };
    for (const auto& [line, title] : std::vector<Case>{
             {"hy2://p@ee.example.net:443", "Tarnel-EE-UDP"},
             {"hy2://p@ru-1.example.net:443", "Russia route"},
             {"hy2://p@RO.example:443?sni=kz.example", "Tarnel-KZ-UDP"},  // the server name first
             {"hy2://p@IN.example:443?sni=plain.example", "Tarnel-IN-UDP"},
             {"hy2://p@ru.ee.example:443", "Russia route"},  // codes in their order, not the words'
             {"hy2://p@eee.example:443", "eee.example"},      // whole words only
             {"hy2://p@eee.example:443#%20Mine%20", "Mine"},
             {"hy2://p@ee.example:443#%20", "Tarnel-EE-UDP"},
         }) {
        const auto route = Parser::parseHysteria2Link(line);
        ASSERT_TRUE(route) << line;
        EXPECT_EQ(route->title, title) << line;
    }
}

TEST(SubscriptionImportParser, BodyNormalisation) {
    const std::string links = "hy2://p@h.example:443";
    const std::string envelope = "{\"schema\":\"tarnel.signed-envelope.v1\"}";
    struct Case {
        std::string body;
        std::string normalized;
    };
    for (const auto& [body, normalized] : std::vector<Case>{
             {" \n" + links + "\n ", links},
             {"\t" + envelope + "\n", envelope},
             {wrappedBase64("\n" + links + "\n", 8), "\n" + links + "\n"},  // the decoded text untrimmed
             {wrappedBase64(" " + envelope, 5), " " + envelope},
             {base64Encode("hy2").substr(0, 3), base64Encode("hy2").substr(0, 3)},  // decodes, but to no link
             {"aHkyOi8vcEBoLmV4YW1wbGU6NDQ", "hy2://p@h.example:44"},                 // unpadded
             {"aHky\tOi8v", "aHky\tOi8v"},                                            // tabs are not removed
             {base64Encode("\xff\xfe"), base64Encode("\xff\xfe")},                    // not UTF-8
             {"VLESS://x", "VLESS://x"},
         }) {
        EXPECT_EQ(Parser::normalizedBody(body), normalized) << body;
    }
    EXPECT_TRUE(Parser::containsAccessLink("x hysteria2://"));
    EXPECT_TRUE(Parser::containsAccessLink("hy2://"));
    EXPECT_FALSE(Parser::containsAccessLink("HY2:// vless:/ hysteria2:"));
}

TEST(SubscriptionImportParser, SchemaAndEnvelopeTest) {
    struct Case {
        std::string text;
        std::optional<std::string> schema;
    };
    for (const auto& [text, schema] : std::vector<Case>{
             {"{\"schema\":\"a\",\"x\":[1]}", "a"},
             {" {\"schema\":\"\"} ", ""},
             {"{\"schema\":1}", std::nullopt},
             {"{\"other\":\"a\"}", std::nullopt},
             {"[\"schema\"]", std::nullopt},
             {"\"schema\"", std::nullopt},
             {"{\"schema\":\"a\"", std::nullopt},
             {"{\"schema\":\"a\",\"schema\":\"b\"}", std::nullopt},
         }) {
        EXPECT_EQ(Parser::jsonSchema(text), schema) << text;
    }
    const std::string envelope = manifestFixture("envelope-v2.json");
    EXPECT_TRUE(Parser::isSignedEnvelope(envelope));
    EXPECT_TRUE(Parser::isSignedEnvelope(wrappedBase64(envelope, 76)));
    EXPECT_FALSE(Parser::isSignedEnvelope(manifestFixture("manifest-v1.json")));
    EXPECT_FALSE(Parser::isSignedEnvelope("hy2://p@h.example:443"));
}

TEST(SubscriptionImportParser, SignedAndUnsignedBodies) {
    EXPECT_EQ(failureOf([] { static_cast<void>(parseUnsigned("{\"schema\":\"tarnel.transport-manifest.v1\"}")); }),
              "The transport manifest envelope is invalid.");
    EXPECT_EQ(failureOf([] { static_cast<void>(parseUnsigned(manifestFixture("manifest-v1.json"))); }),
              "The transport manifest envelope is invalid.");
    const std::string envelope = manifestFixture("envelope-v2.json");
    EXPECT_EQ(failureOf([&] { static_cast<void>(parseUnsigned(envelope)); }),
              "This app build does not trust signed transport manifests yet.");

    for (const std::string& body : {envelope, wrappedBase64(envelope, 64)}) {
        const auto parsed = Parser::parse(body, rootKey(), std::nullopt, std::nullopt, insideWindow());
        const auto signedParse = Parser::parseSignedManifest(std::vector<std::string>{envelope}, rootKey(),
                                                             std::nullopt, std::nullopt, insideWindow());
        EXPECT_EQ(parsed.manifestRevision, 42);
        EXPECT_EQ(parsed.manifestFormat, TransportManifestFormat::v2);
        EXPECT_EQ(parsed.serviceClass, "paid");
        EXPECT_EQ(parsed.routes, signedParse.routes);
        EXPECT_FALSE(parsed.routes.empty());
        EXPECT_EQ(parsed.catalog, signedParse.catalog);
        EXPECT_EQ(parsed.subscriptionOrigins,
                  (std::vector<std::string>{"https://subscribe.example.net", "https://mirror.example.org"}));
        EXPECT_EQ(parsed.manifestContentFloor, signedParse.contentFloor);
        EXPECT_EQ(parsed.skippedOptional, signedParse.skippedOptional);
    }

    // The saved floor reaches the verifier: a newer saved revision refuses revision 42.
    EXPECT_EQ(failureOf([&] {
                  static_cast<void>(Parser::parse(envelope, rootKey(), 43, std::nullopt, insideWindow()));
              }),
              "The signed transport manifest is invalid, expired, or older than the saved revision.");
    // The clock reaches the verifier: long after the delegation's window.
    const FakeClock later(1000.0, static_cast<double>(*iso8601::parse("2032-01-01T00:00:00Z")));
    EXPECT_EQ(failureOf([&] {
                  static_cast<void>(Parser::parse(envelope, rootKey(), std::nullopt, std::nullopt, later));
              }),
              "The transport manifest signing key has expired.");
}

TEST(SubscriptionImportParser, SignedManifestParseChoosesAmongTheVerifiedBodies) {
    const std::string v1 = manifestFixture("envelope-v1.json");
    const std::string v2 = manifestFixture("envelope-v2.json");
    const auto parseAll = [](const std::vector<std::string>& bodies, std::optional<std::string> root = rootKey()) {
        return Parser::parseSignedManifest(bodies, root, std::nullopt, std::nullopt, insideWindow());
    };

    const auto pair = parseAll({v1, v2});
    EXPECT_EQ(pair.body, v2);
    EXPECT_EQ(pair.format, TransportManifestFormat::v2);
    EXPECT_EQ(pair.revision, 42);
    EXPECT_EQ(pair.serviceClass, "paid");
    // The routes are the chosen v2 manifest's (its optional transport included);
    // the floor keeps both hashes.
    EXPECT_EQ(pair.routes, parseAll({v2}).routes);
    EXPECT_EQ(pair.routes.size(), parseAll({v1}).routes.size() + 1);
    EXPECT_TRUE(pair.contentFloor.compactV2SHA256().has_value());
    EXPECT_EQ(parseAll({v2, v1}).body, v2);

    const std::string newer = manifestFixture("envelope-v1-revision-43.json");
    EXPECT_EQ(parseAll({v2, newer, v1}).body, newer);
    EXPECT_EQ(parseAll({v2, newer}).revision, 43);

    EXPECT_TRUE(parseAll({manifestFixture("envelope-v1-skipped-optional.json")}).skippedOptional);
    EXPECT_FALSE(pair.skippedOptional);

    const std::string otherContent = manifestFixture("envelope-v1-revision-42-other-content.json");
    EXPECT_EQ(failureOf([&] { static_cast<void>(parseAll({otherContent, v2})); }),
              "The equal-revision v1 and v2 transport manifests disagree.");
    EXPECT_EQ(failureOf([&] { static_cast<void>(parseAll({})); }),
              "The signed transport manifest is invalid, expired, or older than the saved revision.");
    EXPECT_EQ(failureOf([&] { static_cast<void>(parseAll({v2}, std::nullopt)); }),
              "This app build does not trust signed transport manifests yet.");
    // The first failure ends the parse.
    EXPECT_EQ(failureOf([&] { static_cast<void>(parseAll({v1, manifestFixture("envelope-v2-untrusted-root.json")})); }),
              "The transport manifest signing key is not trusted.");
}

TEST(SubscriptionImportParser, SignedRouteListURLs) {
    struct Case {
        std::string link;
        std::optional<std::string> full;
        std::optional<std::string> compact;
    };
    for (const auto& [link, full, compact] : std::vector<Case>{
             {"https://h.example/p/sub/f/t.txt?x=1#f", "https://h.example/p/sub/m/t.json?x=1#f",
              "https://h.example/p/sub/m/t.v2.json?x=1#f"},
             {"https://h.example:8443/sub/f/T-1_a.txt", "https://h.example:8443/sub/m/T-1_a.json",
              "https://h.example:8443/sub/m/T-1_a.v2.json"},
             {"http://h.example/sub/f/..txt", "http://h.example/sub/m/..json", "http://h.example/sub/m/..v2.json"},
             {"https://h.example/sub/f/a/b.txt", std::nullopt, std::nullopt},
             {"https://h.example/sub/f/.txt", std::nullopt, std::nullopt},
             {"https://h.example/sub/f/t.txt/", std::nullopt, std::nullopt},
             {"https://h.example/sub/m/t.json", std::nullopt, std::nullopt},
             {"https://h.example/xsub/f/t.txt", std::nullopt, std::nullopt},
             {"https://h.example/sub/f/t.txt x", std::nullopt, std::nullopt},
             {"", std::nullopt, std::nullopt},
         }) {
        EXPECT_EQ(Parser::signedManifestURL(link, false), full) << link;
        EXPECT_EQ(Parser::signedManifestURL(link, true), compact) << link;
    }
}

TEST(SubscriptionImportParser, SignedRouteListCandidates) {
    const std::vector<std::string> origins = {"https://h.example", "https://M.example/", "ftp://x",
                                              "https://m.example", "https://n.example:443", "https://n.example/p",
                                              " https://o.example "};
    EXPECT_EQ(Parser::signedManifestCandidates(std::string("https://h.example/sub/m/t.json"), origins),
              (std::vector<std::string>{"https://h.example/sub/m/t.json", "https://m.example/sub/m/t.json",
                                        "https://n.example/sub/m/t.json", "https://o.example/sub/m/t.json"}));
    EXPECT_EQ(Parser::signedManifestCandidates(std::nullopt, origins), std::vector<std::string>{});
    EXPECT_EQ(Parser::signedManifestCandidates(std::string("https://h.example/sub/m/t.json"), {}),
              std::vector<std::string>{"https://h.example/sub/m/t.json"});
    EXPECT_EQ(Parser::fullSignedManifestCandidates("https://h.example/sub/f/t.txt?q=1", origins),
              (std::vector<std::string>{"https://h.example/sub/m/t.json?q=1", "https://h.example/sub/m/t.json",
                                        "https://m.example/sub/m/t.json", "https://n.example/sub/m/t.json",
                                        "https://o.example/sub/m/t.json"}));
    EXPECT_EQ(Parser::fullSignedManifestCandidates("https://h.example/t.txt", origins), std::vector<std::string>{});
}

TEST(SubscriptionImportParser, FloorIdentity) {
    const std::string abc = "8b34c46ded8e947cb97ae5aef082b3435525ad2abfa5c880cd78c585610b826a";
    const std::string token256(256, 'a');
    struct Case {
        std::string url;
        std::optional<std::string> identity;
    };
    for (const auto& [url, identity] : std::vector<Case>{
             {"https://h.example/sub/f/abc.txt", abc},
             {"https://h.example/sub/m/abc.json", abc},
             {"https://other.example:8443/sub/m/abc.v2.json?x#y", abc},
             {"https://h.example/sub/f/%61bc.txt", abc},
             {"https://h.example/sub/f/abc.json", std::nullopt},
             {"https://h.example/x/sub/f/abc.txt", std::nullopt},
             {"https://h.example/sub/m/abc.v2.txt", std::nullopt},
             {"https://h.example/sub/m/abc.v3.json", std::nullopt},
             {"https://h.example/sub/m/.v2.json", std::nullopt},
             {"https://h.example/sub/f/a.b.txt", std::nullopt},
             {"https://h.example/sub/f/" + token256 + "a.txt", std::nullopt},
             {"not a url", std::nullopt},
         }) {
        EXPECT_EQ(Parser::floorIdentity(url), identity) << url;
    }
    // python3: hashlib.sha256(b"tarnel-subscription-floor-v1\0" + b"a" * 256).hexdigest()
    EXPECT_EQ(Parser::floorIdentity("https://h.example/sub/m/" + token256 + ".v2.json"),
              "0a9931c94052adcaa5e05c1c96ca75ddd2e73bc2ea4d778021213305231485c1");
}

TEST(SubscriptionImportParser, SavedFloorAndFloorCheck) {
    const std::string link = "https://h.example/sub/f/abc.txt";
    const std::string identity = *Parser::floorIdentity(link);
    const std::string other = *Parser::floorIdentity("https://h.example/sub/f/xyz.txt");

    EXPECT_EQ(Parser::savedFloor(link, identity, 5), (Parser::Floor{identity, 5}));
    EXPECT_EQ(Parser::savedFloor(link, identity, 0), (Parser::Floor{identity, 0}));
    EXPECT_EQ(Parser::savedFloor(link, identity, -1), std::nullopt);
    EXPECT_EQ(Parser::savedFloor(link, identity, std::nullopt), std::nullopt);
    EXPECT_EQ(Parser::savedFloor(link, other, 5), std::nullopt);
    EXPECT_EQ(Parser::savedFloor(link, std::nullopt, 5), std::nullopt);
    EXPECT_EQ(Parser::savedFloor(std::nullopt, identity, 5), std::nullopt);
    EXPECT_EQ(Parser::savedFloor(std::string("https://h.example/other"), identity, 5), std::nullopt);

    EXPECT_EQ(Parser::checkFloor(link, 7, identity, 5), (Parser::Floor{identity, 7}));
    EXPECT_EQ(Parser::checkFloor(link, 5, identity, 5), (Parser::Floor{identity, 5}));
    EXPECT_EQ(Parser::checkFloor(link, 3, other, 5), (Parser::Floor{identity, 3}));
    EXPECT_EQ(Parser::checkFloor(link, 3, std::nullopt, 5), (Parser::Floor{identity, 3}));
    EXPECT_EQ(Parser::checkFloor(link, 3, identity, std::nullopt), (Parser::Floor{identity, 3}));
    const std::string invalid = "The signed transport manifest is invalid, expired, or older than the saved revision.";
    EXPECT_EQ(failureOf([&] { static_cast<void>(Parser::checkFloor(link, 4, identity, 5)); }), invalid);
    EXPECT_EQ(failureOf([&] { static_cast<void>(Parser::checkFloor(link, -1, std::nullopt, std::nullopt)); }), invalid);
    EXPECT_EQ(failureOf([&] {
                  static_cast<void>(Parser::checkFloor("https://h.example/x.txt", 1, std::nullopt, std::nullopt));
              }),
              invalid);
}

TEST(SubscriptionImportError, HasItsFixedMessage) {
    const SubscriptionImportError error;
    EXPECT_EQ(error.errorCase(), SubscriptionImportError::Case::noSupportedRoutes);
    EXPECT_EQ(error.message(), kNoRoutes);
    EXPECT_EQ(error.typeName(), "TarnelDirect.SubscriptionImportError");
}

}  // namespace
}  // namespace tarnel
