#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/http/http_client.hpp"
#include "app/http/http_client_settings.hpp"
#include "app/http/http_error.hpp"

namespace tarnel {
namespace {

HttpClientSettings pinnedSettings() {
    HttpClientSettings settings;
    settings.addressPins = {{"sub.tarnel.test", 443, "127.0.0.1"}, {"v6.tarnel.test", 8443, "::1"}};
    settings.connectPins = {{"mirror.tarnel.test", 443, "127.0.0.2", 9443},
                            {"alias.tarnel.test", 443, "SUB.tarnel.test", 443},
                            {"lost.tarnel.test", 443, "unpinned.example", 443}};
    settings.allowedAddresses = {"10.231.0.1", "fd00::7"};
    return settings;
}

TEST(HttpAddressGuard, LooksUpOnlyIPLiteralsAndPinnedNames) {
    const HttpAddressGuard guard(pinnedSettings());
    const struct {
        const char* host;
        std::uint16_t port;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", 443, true},
        {"192.0.2.1", 443, true},  // a literal needs no lookup; its address is judged on connecting
        {"::1", 80, true},
        {"sub.tarnel.test", 443, true},
        {"SUB.Tarnel.Test", 443, true},
        {"sub.tarnel.test", 444, false},  // pinned for another port
        {"v6.tarnel.test", 8443, true},
        {"mirror.tarnel.test", 443, true},   // sent to a literal
        {"alias.tarnel.test", 443, true},    // sent to a pinned name
        {"lost.tarnel.test", 443, false},    // sent to a name nobody pinned
        {"mirror.tarnel.test", 80, false},
        {"unpinned.example", 443, false},
        {"localhost", 80, false},
        {"", 443, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(guard.mayLookUp(c.host, c.port), c.allowed) << c.host << ":" << c.port;
    }
    const auto target = guard.target("Mirror.tarnel.test", 443);
    EXPECT_EQ(target.host, "127.0.0.2");
    EXPECT_EQ(target.port, 9443);
}

sockaddr_in6 ipv6(const char* text) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

sockaddr_in ipv4(const char* text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

TEST(HttpAddressGuard, ConnectsOnlyToLoopbackAndAllowedAddresses) {
    const HttpAddressGuard guard(pinnedSettings());
    const struct {
        const char* address;
        bool allowed;
    } v4[] = {{"127.0.0.1", true},   {"127.255.255.254", true}, {"10.231.0.1", true}, {"10.231.0.2", false},
              {"128.0.0.1", false},  {"192.0.2.1", false},      {"0.0.0.0", false},   {"126.255.255.255", false}};
    for (const auto& c : v4) {
        const auto address = ipv4(c.address);
        EXPECT_EQ(guard.mayConnect(reinterpret_cast<const sockaddr*>(&address), sizeof address), c.allowed)
            << c.address;
    }
    const struct {
        const char* address;
        bool allowed;
    } v6[] = {{"::1", true}, {"fd00::7", true}, {"fd00::8", false}, {"::ffff:127.0.0.1", false},
              {"::", false}, {"2001:db8::1", false}};
    for (const auto& c : v6) {
        const auto address = ipv6(c.address);
        EXPECT_EQ(guard.mayConnect(reinterpret_cast<const sockaddr*>(&address), sizeof address), c.allowed)
            << c.address;
    }
    // A length too short for its family is refused.
    const auto address = ipv4("127.0.0.1");
    EXPECT_FALSE(guard.mayConnect(reinterpret_cast<const sockaddr*>(&address), sizeof address - 1));
}

TEST(HttpAddressGuard, RefusesAddressesThatAreNotLiterals) {
    HttpClientSettings allowed;
    allowed.allowedAddresses = {"sub.tarnel.test"};
    EXPECT_THROW(HttpAddressGuard{allowed}, std::invalid_argument);
    HttpClientSettings pinned;
    pinned.addressPins = {{"sub.tarnel.test", 443, "[::1]"}};
    EXPECT_THROW(HttpAddressGuard{pinned}, std::invalid_argument);
}

TEST(HttpResponse, HeaderIgnoresLetterCaseAndJoinsRepeatedFields) {
    HttpResponse response;
    response.headers = {{"ETag", "\"e\""}, {"cache-control", "no-cache"}, {"Cache-Control", "no-store"}};
    EXPECT_EQ(response.header("etag"), "\"e\"");
    EXPECT_EQ(response.header("CACHE-CONTROL"), "no-cache, no-store");
    EXPECT_EQ(response.header("Content-Range"), std::nullopt);
}

TEST(HttpErrors, CarryFixedMessagesAndTypeNames) {
    const HttpTransportError untrusted(HttpTransportError::Case::serverCertificateUntrusted, "libcurl error 60");
    EXPECT_EQ(untrusted.message(), "The certificate for this server is invalid.");
    EXPECT_EQ(untrusted.detail(), "libcurl error 60");
    EXPECT_EQ(untrusted.typeName(), "TarnelDirect.HttpTransportError");
    EXPECT_EQ(HttpTransportError(HttpTransportError::Case::timedOut, "").message(), "The request timed out.");
    const HttpBodyTooLargeError large(2'097'152, 200, {{"ETag", "\"e\""}});
    EXPECT_EQ(large.message(), "The response body is larger than 2097152 bytes.");
    EXPECT_EQ(large.limit(), 2'097'152u);
    EXPECT_EQ(large.status(), 200);
    EXPECT_EQ(large.headers(), (std::vector<HttpHeader>{{"ETag", "\"e\""}}));
    EXPECT_EQ(large.typeName(), "TarnelDirect.HttpBodyTooLargeError");
}

}  // namespace
}  // namespace tarnel
