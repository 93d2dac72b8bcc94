#include "standins/sing-box/proxy_protocol.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace tarnel::standin {
namespace {

using namespace std::string_literals;

TEST(StandInProxyTargets, ResolveOnlyLiteralsAndLocalhostAndPermitLoopbackOutsideTestNamespaces) {
    const struct {
        const char* host;
        std::optional<std::string> described;
        bool loopback;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1:80", true},
        {"127.255.0.9", "127.255.0.9:80", true},
        {"localhost", "127.0.0.1:80", true},
        {"LocalHost", "127.0.0.1:80", true},
        {"::1", "[::1]:80", true},
        {"::ffff:127.0.0.2", "[::ffff:127.0.0.2]:80", true},
        {"128.0.0.1", "128.0.0.1:80", false},
        {"10.0.0.1", "10.0.0.1:80", false},
        {"::ffff:10.0.0.1", "[::ffff:10.0.0.1]:80", false},
        {"::2", "[::2]:80", false},
        {"0.0.0.0", "0.0.0.0:80", false},
        {"example.com", std::nullopt, false},
        {"localhost.", std::nullopt, false},
    };
    for (const auto& [host, described, loopback] : cases) {
        const auto address = resolveTarget({std::string(host), 80});
        ASSERT_EQ(address.has_value(), described.has_value()) << host;
        if (!address) continue;
        EXPECT_EQ(describe(*address), *described);
        EXPECT_EQ(isLoopback(*address), loopback) << host;
        EXPECT_EQ(TargetPolicy{false}.permits(*address), loopback) << host;
        EXPECT_TRUE(TargetPolicy{true}.permits(*address)) << host;
    }
    EXPECT_FALSE(resolveTarget({"127.0.0.1\0x"s, 80}));
}

TEST(StandInConnectMappings, SendMappedNamesToTheirAddressesAndLeaveEveryOtherNameUnresolved) {
    const auto mappings = parseConnectTo("trace.tarnel.test:443:127.0.0.1:8443,[::1]:80:[::1]:8080,"
                                         "trace.tarnel.test:443:127.0.0.2:1,10.0.0.1:443:127.0.0.3:9");
    const struct {
        const char* host;
        std::uint16_t port;
        std::optional<std::string> described;
    } cases[] = {
        {"trace.tarnel.test", 443, "127.0.0.1:8443"},  // the first entry that names it
        {"TRACE.Tarnel.Test", 443, "127.0.0.1:8443"},
        {"trace.tarnel.test", 80, std::nullopt},       // another port is another target
        {"other.tarnel.test", 443, std::nullopt},
        {"::1", 80, "[::1]:8080"},
        {"10.0.0.1", 443, "127.0.0.3:9"},
        {"10.0.0.1", 80, "10.0.0.1:80"},
        {"localhost", 443, "127.0.0.1:443"},
    };
    for (const auto& [host, port, described] : cases) {
        const auto address = resolveTarget({host, port}, mappings);
        ASSERT_EQ(address.has_value(), described.has_value()) << host << ":" << port;
        if (address) {
            EXPECT_EQ(describe(*address), *described) << host;
        }
    }
    EXPECT_TRUE(parseConnectTo("").empty());
}

TEST(StandInConnectMappings, RefuseEveryEntryOutsideTheirGrammar) {
    for (const char* text : {",", "a.test:443:127.0.0.1:8443,", "a.test:443:127.0.0.1", "a.test:443:127.0.0.1:8443:1",
                             ":443:127.0.0.1:8443", "a.test::127.0.0.1:8443", "a.test:443::8443",
                             "a.test:443:127.0.0.1:", "a.test:0:127.0.0.1:8443", "a.test:443:127.0.0.1:65536",
                             "a.test:+443:127.0.0.1:8443", "a.test:443:localhost:8443", "a.test:443:::1:8443",
                             "a.test:443:[127.0.0.1]:8443", "a.test:443:[::1:8443", "a.test:443:[::1]x:8443",
                             "[a.test]:443:127.0.0.1:8443", "a test:443:127.0.0.1:8443"}) {
        EXPECT_THROW(static_cast<void>(parseConnectTo(text)), std::invalid_argument) << text;
    }
    try {
        static_cast<void>(parseConnectTo("a.test:443:127.0.0.1:8443,b.test:443:b.test:8443"));
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "\"b.test:443:b.test:8443\": expected an IP literal (IPv6 in brackets) to connect to");
    }
}

TEST(StandInHttpProxy, ConnectNamesItsTarget) {
    const auto request = parseHttpProxyRequest("CONNECT 127.0.0.1:8443 HTTP/1.1\r\nHost: 127.0.0.1:8443\r\n\r\n");
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->tunnel);
    EXPECT_EQ(request->target, (ProxyTarget{"127.0.0.1", 8443}));
    EXPECT_TRUE(request->upstreamHead.empty());
    EXPECT_EQ(parseHttpProxyRequest("CONNECT [::1]:443 HTTP/1.0\r\n\r\n")->target, (ProxyTarget{"::1", 443}));
    EXPECT_EQ(parseHttpProxyRequest("CONNECT localhost:1 HTTP/1.1\r\n\r\n")->target, (ProxyTarget{"localhost", 1}));
}

TEST(StandInHttpProxy, ForwardingRewritesTheRequestIntoOriginFormForOneExchange) {
    const auto request = parseHttpProxyRequest(
        "POST http://127.0.0.1:8080/a/b?c=d&e HTTP/1.1\r\n"
        "Host: 127.0.0.1:8080\r\n"
        "Proxy-Connection: Keep-Alive\r\n"
        "proxy-authorization: Basic eDp5\r\n"
        "Connection: keep-alive\r\n"
        "Content-Length: 3\r\n"
        "X-Padded:  value \t\r\n"
        "\r\n");
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->tunnel);
    EXPECT_EQ(request->target, (ProxyTarget{"127.0.0.1", 8080}));
    EXPECT_EQ(request->upstreamHead,
              "POST /a/b?c=d&e HTTP/1.1\r\n"
              "Host: 127.0.0.1:8080\r\n"
              "Content-Length: 3\r\n"
              "X-Padded: value\r\n"
              "Connection: close\r\n\r\n");

    // No Host header: the URL's authority becomes one; no path is "/".
    EXPECT_EQ(parseHttpProxyRequest("GET HTTP://[::1]:81 HTTP/1.0\r\n\r\n")->upstreamHead,
              "GET / HTTP/1.0\r\nHost: [::1]:81\r\nConnection: close\r\n\r\n");
    const auto plain = parseHttpProxyRequest("GET http://localhost/x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(plain->target, (ProxyTarget{"localhost", 80}));
    EXPECT_EQ(plain->upstreamHead, "GET /x HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

TEST(StandInHttpProxy, RefusesRequestsItCannotServe) {
    for (const std::string& head : {
             "GET http://127.0.0.1/ HTTP/1.1\r\n"s,                       // no blank line
             "GET http://127.0.0.1/ HTTP/2\r\n\r\n"s,                     // version
             "GET  http://127.0.0.1/ HTTP/1.1\r\n\r\n"s,                  // two spaces
             "GET http://127.0.0.1/ HTTP/1.1 x\r\n\r\n"s,                 // extra word
             "G(T http://127.0.0.1/ HTTP/1.1\r\n\r\n"s,                   // method token
             "GET /origin-form HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"s,     // not a proxy request
             "GET https://127.0.0.1/ HTTP/1.1\r\n\r\n"s,                  // only http is forwarded
             "GET http://user@127.0.0.1/ HTTP/1.1\r\n\r\n"s,              // credentials in the URL
             "GET http://127.0.0.1/#f HTTP/1.1\r\n\r\n"s,                 // fragment
             "GET http:///x HTTP/1.1\r\n\r\n"s,                           // empty host
             "CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n"s,                       // no port
             "CONNECT 127.0.0.1:99999 HTTP/1.1\r\n\r\n"s,                 // port out of range
             "CONNECT 127.0.0.1:443/x HTTP/1.1\r\n\r\n"s,                 // not an authority
             "GET http://127.0.0.1/ HTTP/1.1\r\nNo-Colon\r\n\r\n"s,       // header without ":"
             "GET http://127.0.0.1/ HTTP/1.1\r\nBad Name: x\r\n\r\n"s,    // space in a name
             "GET http://127.0.0.1/ HTTP/1.1\r\n folded: x\r\n\r\n"s,     // obsolete folding
             "GET http://127.0.0.1/ HTTP/1.1\r\nX: a\rb\r\n\r\n"s,        // bare CR in a value
             "GET http://127.0.0.1/ HTTP/1.1\r\nX: a\nInjected: b\r\n\r\n"s,  // bare LF in a value
             "GET http://127.0.0.1/ HTTP/1.1\r\nX: \0\r\n\r\n"s,          // NUL in a value
         }) {
        EXPECT_FALSE(parseHttpProxyRequest(head)) << head;
    }
}

TEST(StandInSocks5, GreetingAndRequestsAreReadOnceComplete) {
    EXPECT_FALSE(parseSocksGreeting(""));
    EXPECT_FALSE(parseSocksGreeting("\x05\x02\x00"s));
    const auto greeting = parseSocksGreeting("\x05\x02\x02\x00rest"s);
    ASSERT_TRUE(greeting);
    EXPECT_EQ(greeting->length, 4u);
    EXPECT_TRUE(greeting->offersNoAuthentication);
    EXPECT_FALSE(parseSocksGreeting("\x05\x01\x02"s)->offersNoAuthentication);
    EXPECT_THROW(static_cast<void>(parseSocksGreeting("\x04\x01"s)), std::invalid_argument);
    EXPECT_THROW(static_cast<void>(parseSocksGreeting("\x05\x00"s)), std::invalid_argument);

    const std::string ipv4 = "\x05\x01\x00\x01\x7f\x00\x00\x01\x1f\x90"s;
    for (std::size_t length = 0; length < ipv4.size(); ++length) {
        EXPECT_FALSE(parseSocksRequest(ipv4.substr(0, length))) << length;
    }
    const auto request = parseSocksRequest(ipv4 + "data");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->length, 10u);
    EXPECT_EQ(request->command, socksConnect);
    EXPECT_EQ(request->target, (ProxyTarget{"127.0.0.1", 8080}));

    const auto name = parseSocksRequest("\x05\x01\x00\x03\x09localhost\x00\x50"s);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->length, 16u);
    EXPECT_EQ(name->target, (ProxyTarget{"localhost", 80}));
    EXPECT_FALSE(parseSocksRequest("\x05\x01\x00\x03\x09localhos"s));

    const auto ipv6 = parseSocksRequest("\x05\x03\x00\x04"s + std::string(15, '\0') + "\x01\x01\xbb"s);
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv6->command, 3);
    EXPECT_EQ(ipv6->target, (ProxyTarget{"::1", 443}));

    const auto unknownType = parseSocksRequest("\x05\x01\x00\x07"s);
    ASSERT_TRUE(unknownType);
    EXPECT_FALSE(unknownType->target);
    EXPECT_THROW(static_cast<void>(parseSocksRequest("\x04\x01\x00\x01"s)), std::invalid_argument);
    EXPECT_THROW(static_cast<void>(parseSocksRequest("\x05\x01\x01\x01"s)), std::invalid_argument);
    EXPECT_THROW(static_cast<void>(parseSocksRequest("\x05\x01\x00\x03\x00"s)), std::invalid_argument);
}

TEST(StandInSocks5, RepliesCarryTheBoundAddress) {
    EXPECT_EQ(socksReply(SocksReply::notAllowed), "\x05\x02\x00\x01\x00\x00\x00\x00\x00\x00"s);
    sockaddr_storage bound{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&bound);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(0x1234);
    v4->sin_addr.s_addr = htonl(0x7f000001);
    EXPECT_EQ(socksReply(SocksReply::succeeded, &bound), "\x05\x00\x00\x01\x7f\x00\x00\x01\x12\x34"s);
    bound = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&bound);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(443);
    v6->sin6_addr = in6addr_loopback;
    EXPECT_EQ(socksReply(SocksReply::succeeded, &bound), "\x05\x00\x00\x04"s + std::string(15, '\0') + "\x01\x01\xbb"s);
}

}  // namespace
}  // namespace tarnel::standin
