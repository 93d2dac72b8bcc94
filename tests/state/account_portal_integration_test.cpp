// The account portal's calls over real TLS: the HTTP layer over libcurl
// against the test server, "account.tarnel.test" pinned to it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/http/curl_http_client.hpp"
#include "app/state/account_portal.hpp"
#include "common/base/unique_fd.hpp"
#include "tests/support/http_test_support.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/loopback_port.hpp"
#include "tests/support/test_certificates.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::failureOf;
using testing::TestHttpAnswer;

const std::string kT32 = "abcdefghijklmnopqrstuvwxyzABCDEF";
const std::string kT40 = "0123456789_-abcdefghijklmnopqrstuvwxyzAB";
const std::string kAccessLink = "https://h.example/sub/f/" + kT32 + ".txt";
const std::string kHandoffLink = "tarnel-macos-direct://account/handoff#token=" + kT40;
const std::string kHandedOverLink = "https://sub.tarnel.test/sub/f/" + kT32 + ".txt";
const std::string kClaimURL = "https://account.tarnel.test/account#claim=" + kT40;
constexpr const char* kClaimPath = "/api/account/app-claim-link";
constexpr const char* kRedeemPath = "/api/account/app-handoff/redeem";
// printf '%s' abcdefghijklmnopqrstuvwxyzABCDEF | openssl dgst -sha256
constexpr const char* kProofT32 = "cfd2f1fad75a1978da0a444883db7251414b139f31f5a04704c291fdb0e175e6";
constexpr const char* kInvalidAccessLink = "Сначала импортируйте актуальную ссылку доступа.";
constexpr const char* kUnavailable = "Личный кабинет временно недоступен.";

std::vector<std::string> headerNames(const testing::TestHttpRequest& request) {
    std::vector<std::string> names;
    for (const auto& header : request.headers) names.push_back(header.first);
    return names;
}

// A JSON reply padded with trailing white space to exactly `size` bytes.
std::string paddedTo(std::string reply, std::size_t size) {
    reply.resize(size, ' ');
    return reply;
}

class AccountPortalCalls : public ::testing::Test {
protected:
    std::string claim(const std::string& link = kAccessLink) {
        return portal.claimPortalURL(client, link, DirectAccountPortal::kClientChannel, {});
    }
    std::string redeem(const std::string& link = kHandoffLink) {
        return portal.redeemHandoff(client, link, DirectAccountPortal::kClientChannel, {});
    }

    testing::HttpsTestServer server;
    const CurlHttpClient client{testing::clientSettingsFor(server, {"account.tarnel.test"})};
    const DirectAccountPortal portal{"account.tarnel.test"};
};

TEST_F(AccountPortalCalls, AClaimSendsOnlyTheProofAndOpensTheClaimedPortal) {
    server.answer(kClaimPath, TestHttpAnswer::ok(R"({"ok":true,"url":")" + kClaimURL + R"(","extra":1})")
                                  .header("Content-Type", "application/json")
                                  .header("Set-Cookie", "session=s1; Path=/; Secure"));
    EXPECT_EQ(portal.portalURLToOpen(client, kAccessLink, "ru", {}),
              "https://account.tarnel.test/account/?lang=ru&channel=macos-direct#claim=" + kT40);
    EXPECT_EQ(claim(), kClaimURL);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, kClaimPath);
        // Exactly these fields: no cookie the server set, nothing libcurl adds.
        EXPECT_EQ(headerNames(request),
                  (std::vector<std::string>{"Host", "Content-Type", "Accept", "Cache-Control", "Content-Length"}));
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_EQ(request.header("Cache-Control"), "no-store");
        EXPECT_EQ(request.body, std::string(R"({"access_proof":")") + kProofT32 + R"(","client_channel":"macos-direct"})");
    }
    // A connection of its own for each call.
    EXPECT_EQ(server.connections().size(), 2u);
}

TEST_F(AccountPortalCalls, AClaimReplyThatCannotBeUsedLeavesThePortalUnavailable) {
    const std::string usable = R"({"ok":true,"url":")" + kClaimURL + R"("})";
    server.answer("/x", TestHttpAnswer::ok(usable));
    const struct {
        const char* what;
        TestHttpAnswer answer;
    } cases[] = {
        {"a redirect", TestHttpAnswer::withStatus(302, usable).header("Location", "/x")},
        {"201", TestHttpAnswer::withStatus(201, usable)},
        {"ok as a string", TestHttpAnswer::ok(R"({"ok":"true","url":")" + kClaimURL + R"("})")},
        {"url null", TestHttpAnswer::ok(R"({"ok":true,"url":null})")},
        {"no url", TestHttpAnswer::ok(R"({"ok":true})")},
        {"no ok", TestHttpAnswer::ok(R"({"url":")" + kClaimURL + R"("})")},
        {"ok false", TestHttpAnswer::ok(R"({"ok":false,"url":")" + kClaimURL + R"("})")},
        {"an array", TestHttpAnswer::ok("[]")},
        {"not JSON", TestHttpAnswer::ok("ok")},
        {"an empty body", TestHttpAnswer::ok()},
        {"a duplicate key", TestHttpAnswer::ok(R"({"ok":false,"ok":true,"url":")" + kClaimURL + R"("})")},
        {"bad UTF-8", TestHttpAnswer::ok(R"({"ok":true,"url":")" + kClaimURL + "\",\"x\":\"\xC3\"}")},
        {"8193 bytes", TestHttpAnswer::ok(paddedTo(usable, 8193))},
        {"a reply URL with a query", TestHttpAnswer::ok(R"({"ok":true,"url":"https://account.tarnel.test/account?a=1#claim=)" + kT40 + "\"}")},
        {"a reply URL elsewhere", TestHttpAnswer::ok(R"({"ok":true,"url":"https://evil.tarnel.test/account#claim=)" + kT40 + "\"}")},
    };
    for (const auto& c : cases) {
        server.answer(kClaimPath, c.answer);
        EXPECT_EQ(failureOf([&] { (void)claim(); }), kUnavailable) << c.what;
    }
    for (const auto& request : server.requests()) EXPECT_EQ(request.path, kClaimPath) << "a redirect was followed";

    server.answer(kClaimPath, TestHttpAnswer::ok(paddedTo(usable, 8192)));
    EXPECT_EQ(claim(), kClaimURL);
}

TEST_F(AccountPortalCalls, WithoutAValidAccessLinkNothingIsSent) {
    EXPECT_EQ(failureOf([&] { (void)claim("https://h.example/sub/f/" + kT32.substr(1) + ".txt"); }),
              kInvalidAccessLink);
    EXPECT_EQ(failureOf([&] { (void)portal.portalURLToOpen(client, "https://h.example/x.txt", "en", {}); }),
              kInvalidAccessLink);
    EXPECT_EQ(portal.portalURLToOpen(client, std::nullopt, "en", {}),
              "https://account.tarnel.test/account/?lang=en&channel=macos-direct");
    EXPECT_TRUE(server.connections().empty());
}

TEST_F(AccountPortalCalls, TransportFailuresKeepTheHttpLayersText) {
    const testing::BoundLoopbackPort closed;  // bound, not listening: refuses connections
    HttpClientSettings settings = testing::clientSettingsFor(server);
    settings.connectPins = {{"account.tarnel.test", 443, "127.0.0.1", closed.port()}};
    const CurlHttpClient unreachable(settings);
    EXPECT_EQ(failureOf([&] { (void)portal.claimPortalURL(unreachable, kAccessLink, "macos-direct", {}); }),
              "Could not connect to the server.");

    const testing::TestCertificateAuthority stranger("Stranger CA");
    settings = testing::clientSettingsFor(server, {"account.tarnel.test"});
    settings.caFile = stranger.certificateFile();
    const CurlHttpClient untrusting(settings);
    EXPECT_EQ(failureOf([&] { (void)portal.redeemHandoff(untrusting, kHandoffLink, "macos-direct", {}); }),
              "The certificate for this server is invalid.");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(AccountPortalCalls, ARedeemSendsTheTokenAndTakesOverTheHandedOverAccessLink) {
    server.answer(kRedeemPath, TestHttpAnswer::ok(R"({"ok":true,"entitlement":{"active":true,"subscription_url":")" +
                                                  kHandedOverLink + R"("}})"));
    EXPECT_EQ(redeem(), kHandedOverLink);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, kRedeemPath);
    EXPECT_EQ(headerNames(requests[0]), (std::vector<std::string>{"Host", "Content-Type", "Accept", "Cache-Control",
                                                                   "X-Tarnel-App-Handoff", "Content-Length"}));
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Accept"), "application/json");
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-store");
    EXPECT_EQ(requests[0].header("X-Tarnel-App-Handoff"), "1");
    EXPECT_EQ(requests[0].body, R"({"handoff_token":")" + kT40 + R"(","client_channel":"macos-direct"})");
}

TEST_F(AccountPortalCalls, ARedeemWithoutAGenuineActiveEntitlementHandsOverNothing) {
    const auto reply = [](const std::string& entitlement) {
        return TestHttpAnswer::ok(R"({"ok":true,"entitlement":)" + entitlement + "}");
    };
    const struct {
        const char* what;
        TestHttpAnswer answer;
        const char* failure;
    } cases[] = {
        {"inactive", reply(R"({"active":false,"subscription_url":")" + kHandedOverLink + R"("})"), kUnavailable},
        {"no entitlement", TestHttpAnswer::ok(R"({"ok":true})"), kUnavailable},
        {"entitlement null", reply("null"), kUnavailable},
        {"subscription URL null", reply(R"({"active":true,"subscription_url":null})"), kUnavailable},
        {"no subscription URL", reply(R"({"active":true})"), kUnavailable},
        {"no URL", reply(R"({"active":true,"subscription_url":"a b"})"), kUnavailable},
        {"ok false", TestHttpAnswer::ok(R"({"ok":false,"entitlement":{"active":true,"subscription_url":")" +
                                        kHandedOverLink + R"("}})"),
         kUnavailable},
        {"403", TestHttpAnswer::withStatus(403, R"({"ok":false})"), kUnavailable},
        {"no access link", reply(R"({"active":true,"subscription_url":"https://h.example/x.txt"})"),
         kInvalidAccessLink},
    };
    for (const auto& c : cases) {
        server.answer(kRedeemPath, c.answer);
        EXPECT_EQ(failureOf([&] { (void)redeem(); }), c.failure) << c.what;
    }
    const std::size_t sent = server.requests().size();
    for (const char* link : {"https://account.tarnel.test/", "tarnel-macos-direct://account/handoff#token=short"}) {
        EXPECT_EQ(failureOf([&] { (void)redeem(link); }), kUnavailable) << link;
    }
    EXPECT_EQ(server.requests().size(), sent);
}

}  // namespace
}  // namespace tarnel
