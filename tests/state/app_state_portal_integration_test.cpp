// The account portal on the application state over real TLS: opening the
// portal, the handoff of an access link (also while an import runs), and the
// support mail. "account.tarnel.test" and "sub.tarnel.test" are pinned to
// one HTTPS test server; imports fetch through the application's fetcher.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/http/curl_http_client.hpp"
#include "common/base/unique_fd.hpp"
#include "tests/catalog/subscription_fetch_test_support.hpp"
#include "tests/state/app_state_fixture.hpp"
#include "tests/support/http_test_support.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/loopback_port.hpp"
#include "tests/support/test_certificates.hpp"

namespace tarnel {
namespace {

using testing::TestHttpAnswer;

const std::string kT32 = "abcdefghijklmnopqrstuvwxyzABCDEF";
const std::string kT40 = "0123456789_-abcdefghijklmnopqrstuvwxyzAB";
const std::string kAccessLink = "https://h.example/sub/f/" + kT32 + ".txt";
const std::string kHandoffLink = "tarnel-macos-direct://account/handoff#token=" + kT40;
const std::string kHandedOverLink = "https://sub.tarnel.test/sub/f/" + kT32 + ".txt";
const std::string kClaimReply = R"({"ok":true,"url":"https://account.tarnel.test/account#claim=)" + kT40 + R"(","extra":1})";
const std::string kHandoffReply =
    R"({"ok":true,"entitlement":{"active":true,"subscription_url":")" + kHandedOverLink + R"("}})";
constexpr const char* kClaimPath = "/api/account/app-claim-link";
constexpr const char* kRedeemPath = "/api/account/app-handoff/redeem";
// printf '%s' abcdefghijklmnopqrstuvwxyzABCDEF | openssl dgst -sha256
constexpr const char* kProofT32 = "cfd2f1fad75a1978da0a444883db7251414b139f31f5a04704c291fdb0e175e6";
constexpr const char* kInvalidAccessLink = "Сначала импортируйте актуальную ссылку доступа.";
constexpr const char* kUnavailable = "Личный кабинет временно недоступен.";
constexpr const char* kReceiving = "Получаем доступ из личного кабинета...";
constexpr const char* kHandedOver = "Доступ передан приложению.";
const std::string kImportFailed = "Import failed: Subscription download failed with HTTP 404.";

// The HTTP layer over libcurl, counting the calls that have returned.
class CountingHttpClient final : public HttpClient {
public:
    explicit CountingHttpClient(const HttpClientSettings& settings) : inner_(settings) {}

    [[nodiscard]] HttpResponse perform(const HttpRequest& request, std::stop_token stop) const override {
        HttpResponse response = inner_.perform(request, std::move(stop));
        ++returned_;
        return response;
    }
    [[nodiscard]] int returned() const { return returned_; }

private:
    CurlHttpClient inner_;
    mutable std::atomic<int> returned_ = 0;
};

class AppStatePortalIntegrationTest : public testing::AppStateFixture {
protected:
    AppStatePortalIntegrationTest() {
        http = std::make_shared<CountingHttpClient>(
            testing::clientSettingsFor(server, {"account.tarnel.test", "sub.tarnel.test"}));
        accountHttp = http;
        trustRoot = testing::readFixture("manifest/root.spki.der");
        fetch = AppEnvironment::subscriptionFetcher(http, clock, trustRoot, testing::RecordingSleeper());
    }

    // The signals of the portal's fields, in order.
    void recordPortalSignals() {
        QObject::connect(state.get(), &AppState::isOpeningAccountChanged, [this] {
            changes.push_back(state->isOpeningAccount() ? "opening" : "opened");
        });
        QObject::connect(state.get(), &AppState::accountPortalURLChanged, [this] { changes.push_back("url"); });
        QObject::connect(state.get(), &AppState::accountMessageChanged,
                         [this] { changes.push_back(state->accountMessage()); });
    }
    void openPortal(const std::string& language) {
        state->openAccountPortal(language);
        ASSERT_TRUE(testing::runEventsUntil([this] { return !state->isOpeningAccount(); }));
    }
    [[nodiscard]] std::vector<std::string> requestedPaths() const {
        std::vector<std::string> paths;
        for (const auto& request : server.requests()) paths.push_back(request.path);
        return paths;
    }

    testing::HttpsTestServer server;
    std::shared_ptr<CountingHttpClient> http;
    std::vector<std::string> changes;
};

TEST_F(AppStatePortalIntegrationTest, ThePortalOpensAtTheAddressClaimedForTheFieldsLinkAsItWasWhenAsked) {
    server.answer(kClaimPath, TestHttpAnswer::ok(kClaimReply).header("Set-Cookie", "session=s1; Path=/; Secure"));
    start();
    recordPortalSignals();
    state->setSubscriptionInput("  " + kAccessLink + "\n");
    state->openAccountPortal("ru");
    EXPECT_TRUE(state->isOpeningAccount());
    // An edit after the call changes nothing of it.
    state->setSubscriptionInput("https://h.example/sub/f/" + std::string(32, 'z') + ".txt");
    ASSERT_TRUE(testing::runEventsUntil([this] { return !state->isOpeningAccount(); }));
    EXPECT_EQ(state->accountPortalURL(),
              "https://account.tarnel.test/account/?lang=ru&channel=macos-direct#claim=" + kT40);
    EXPECT_EQ(changes, (std::vector<std::string>{"opening", "Готовим безопасный доступ...", "url",
                                                 "Кабинет открыт в приложении.", "opened"}));

    changes.clear();
    openPortal("en");
    EXPECT_EQ(state->accountPortalURL(),
              "https://account.tarnel.test/account/?lang=en&channel=macos-direct#claim=" + kT40);
    EXPECT_EQ(changes, (std::vector<std::string>{"opening", "Preparing secure account access...", "url",
                                                 "Account opened in Tarnel.", "opened"}));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, std::string(R"({"access_proof":")") + kProofT32 + R"(","client_channel":"macos-direct"})");
    // printf '%s' zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz | openssl dgst -sha256
    EXPECT_EQ(requests[1].body,
              R"({"access_proof":"a677edf4f47496d9583d20983b28285fa75b1ed9278ab4c060d361ac3c51abd4","client_channel":"macos-direct"})");
    for (const auto& request : requests) EXPECT_FALSE(request.header("Cookie")) << "a cookie came back";

    // A body in the field opens the default address without a request.
    state->setSubscriptionInput(std::string(testing::kVlessLink));
    openPortal("en");
    EXPECT_EQ(state->accountPortalURL(), "https://account.tarnel.test/account/?lang=en&channel=macos-direct");
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(newLogLines(), std::vector<std::string>{}) << "the portal writes no log line";
}

TEST_F(AppStatePortalIntegrationTest, APortalThatCannotBeOpenedStaysClosedAndTheMessageSaysWhy) {
    const testing::BoundLoopbackPort closed;  // bound, not listening: refuses connections
    HttpClientSettings refused = testing::clientSettingsFor(server);
    refused.connectPins = {{"account.tarnel.test", 443, "127.0.0.1", closed.port()}};
    const testing::TestCertificateAuthority stranger("Stranger CA");
    HttpClientSettings untrusting = testing::clientSettingsFor(server, {"account.tarnel.test"});
    untrusting.caFile = stranger.certificateFile();
    server.answer("/x", TestHttpAnswer::ok(kClaimReply));

    const struct {
        const char* what;
        std::string input;
        std::optional<TestHttpAnswer> answer;
        std::optional<HttpClientSettings> client;  // none: the server's
        std::string message;
        std::vector<std::string> paths;
    } cases[] = {
        {"a redirect", kAccessLink, TestHttpAnswer::withStatus(302, kClaimReply).header("Location", "/x"), {},
         kUnavailable, {kClaimPath}},
        {"201", kAccessLink, TestHttpAnswer::withStatus(201, kClaimReply), {}, kUnavailable, {kClaimPath}},
        {"no URL", kAccessLink, TestHttpAnswer::ok(R"({"ok":true,"url":null})"), {}, kUnavailable, {kClaimPath}},
        {"a short token", "https://h.example/sub/f/" + kT32.substr(1) + ".txt", {}, {}, kInvalidAccessLink, {}},
        {"an http link", "http://h.example/sub/f/" + kT32 + ".txt", {}, {}, kInvalidAccessLink, {}},
        {"a closed port", kAccessLink, {}, refused, "Could not connect to the server.", {}},
        {"an untrusted certificate", kAccessLink, {}, untrusting, "The certificate for this server is invalid.", {}},
    };
    std::size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        state.reset();
        if (c.answer) server.answer(kClaimPath, *c.answer);
        accountHttp = c.client ? std::make_shared<CurlHttpClient>(*c.client) : std::shared_ptr<const HttpClient>(http);
        start();
        state->setSubscriptionInput(c.input);
        openPortal("ru");
        EXPECT_EQ(state->accountMessage(), c.message);
        EXPECT_EQ(state->accountPortalURL(), std::nullopt);
        const auto paths = requestedPaths();
        EXPECT_EQ(std::vector<std::string>(paths.begin() + static_cast<std::ptrdiff_t>(seen), paths.end()), c.paths);
        seen = paths.size();
    }

    // Without an HTTP layer nothing is sent, not even for the default address.
    state.reset();
    accountHttp = nullptr;
    start();
    openPortal("en");
    EXPECT_EQ(state->accountMessage(), kUnavailable);
    EXPECT_EQ(server.requests().size(), seen);
}

TEST_F(AppStatePortalIntegrationTest, AHandoffPutsTheHandedOverLinkInTheFieldAndImportsIt) {
    server.answer(kRedeemPath, TestHttpAnswer::ok(kHandoffReply));
    start();
    newLogLines();
    state->setSubscriptionInput("old text");
    state->handleAccountHandoff(kHandoffLink);
    EXPECT_EQ(state->accountMessage(), kReceiving);
    EXPECT_EQ(newLogLines(), std::vector<std::string>{"Account access handoff received."});
    ASSERT_TRUE(testing::runEventsUntil([this] { return state->accountMessage() == kHandedOver; }));
    EXPECT_EQ(state->subscriptionInput(), kHandedOverLink);
    EXPECT_TRUE(state->isImporting());
    finishImports();
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", kImportFailed}));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, kRedeemPath);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Accept"), "application/json");
    EXPECT_EQ(requests[0].header("Cache-Control"), "no-store");
    EXPECT_EQ(requests[0].header("X-Tarnel-App-Handoff"), "1");
    EXPECT_EQ(requests[0].body, R"({"handoff_token":")" + kT40 + R"(","client_channel":"macos-direct"})");
    // The import asked the handed-over link's signed lists.
    EXPECT_EQ(requests[1].target, "/sub/m/" + kT32 + ".v2.json");
    EXPECT_EQ(requests[2].target, "/sub/m/" + kT32 + ".json");
}

TEST_F(AppStatePortalIntegrationTest, AFailedHandoffKeepsTheFieldAndSaysWhy) {
    const auto entitled = [](const std::string& entitlement) {
        return TestHttpAnswer::ok(R"({"ok":true,"entitlement":)" + entitlement + "}");
    };
    const struct {
        const char* what;
        TestHttpAnswer answer;
        const char* message;
    } cases[] = {
        {"inactive", entitled(R"({"active":false,"subscription_url":")" + kHandedOverLink + R"("})"), kUnavailable},
        {"no entitlement", TestHttpAnswer::ok(R"({"ok":true})"), kUnavailable},
        {"subscription URL null", entitled(R"({"active":true,"subscription_url":null})"), kUnavailable},
        {"no access link", entitled(R"({"active":true,"subscription_url":"https://h.example/x.txt"})"),
         kInvalidAccessLink},
    };
    start();
    state->setSubscriptionInput("kept");
    newLogLines();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.answer(kRedeemPath, c.answer);
        state->handleAccountHandoff(kHandoffLink);
        ASSERT_TRUE(testing::runEventsUntil([&] { return state->accountMessage() == c.message; }));
        EXPECT_EQ(newLogLines(),
                  (std::vector<std::string>{"Account access handoff received.", "Account access handoff failed."}));
        EXPECT_EQ(state->subscriptionInput(), "kept");
        EXPECT_FALSE(state->isImporting());
    }

    // Other URLs are no handoff: nothing at all happens.
    const std::size_t sent = server.requests().size();
    state->setAccountMessage("unchanged");
    for (const char* url : {"https://account.tarnel.test/", "tarnel-macos-direct://account/handoff#token=short"}) {
        state->handleAccountHandoff(url);
    }
    testing::runPostedEvents();
    EXPECT_EQ(state->accountMessage(), "unchanged");
    EXPECT_EQ(newLogLines(), std::vector<std::string>{});
    EXPECT_EQ(server.requests().size(), sent);
}

TEST_F(AppStatePortalIntegrationTest, AHandoffRedeemedDuringAnImportImportsItsLinkOnceThatImportEnds) {
    const std::string heldLink = "https://sub.tarnel.test/sub/f/" + std::string(32, 'H') + ".txt";
    auto gate = std::make_shared<testing::TestHttpGate>();
    for (const char* suffix : {".v2.json", ".json"}) {
        server.answer("/sub/m/" + std::string(32, 'H') + suffix, TestHttpAnswer::withStatus(404).heldBy(gate));
    }
    server.answer(kRedeemPath, TestHttpAnswer::ok(kHandoffReply));
    start();
    newLogLines();
    state->setSubscriptionInput(heldLink);
    state->importSubscription(false, false);
    ASSERT_TRUE(testing::runEventsUntil([&] { return gate->reached() > 0; }));

    state->handleAccountHandoff(kHandoffLink);
    // The redeem returns while the import is held (the held fetch keeps one
    // pool thread busy), and its task goes on on the main thread.
    ASSERT_TRUE(testing::runEventsUntil([&] { return http->returned() == 1 && pool->activeThreadCount() == 1; }));
    testing::runPostedEvents();
    EXPECT_EQ(state->subscriptionInput(), heldLink);
    EXPECT_EQ(state->accountMessage(), kReceiving);

    gate->release();
    ASSERT_TRUE(testing::runEventsUntil([this] { return state->accountMessage() == kHandedOver; }));
    EXPECT_EQ(state->subscriptionInput(), kHandedOverLink);
    finishImports();
    EXPECT_EQ(newLogLines(), (std::vector<std::string>{"Importing subscription...", "Account access handoff received.",
                                                        kImportFailed, "Importing subscription...", kImportFailed}));
    const auto paths = requestedPaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.back(), "/sub/m/" + kT32 + ".json");
}

TEST_F(AppStatePortalIntegrationTest, TheSupportMailOpensOnlyForAnAddressThatMakesAURL) {
    start();
    state->openSupportEmail();
    EXPECT_EQ(openedURLs, std::vector<std::string>{"mailto:help@tarnel.test"});

    state.reset();
    accountService.supportEmailAddress = "help me@tarnel.test";
    start();
    state->openSupportEmail();
    EXPECT_EQ(openedURLs, std::vector<std::string>{"mailto:help@tarnel.test"});
}

}  // namespace
}  // namespace tarnel
