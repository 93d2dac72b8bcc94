#include "app/catalog/subscription_fetcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/catalog/direct_app_error.hpp"
#include "app/catalog/manifest_errors.hpp"
#include "app/http/curl_http_client.hpp"
#include "app/http/http_error.hpp"
#include "common/base/clock.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/catalog/subscription_fetch_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using testing::kMirrorHost;
using testing::kPrimaryHost;
using testing::TestHttpAnswer;

constexpr const char* kLink = "https://sub.tarnel.test/sub/f/T.txt";
constexpr const char* kPlainBody = "vless://u1@h.example:443?security=reality&pbk=KEY#RO%20one\n";

std::string envelope(const std::string& name) { return testing::readFixture("manifest/" + name + ".json"); }

TestHttpAnswer ok(const std::string& body) { return TestHttpAnswer::ok(body); }
TestHttpAnswer missing() { return TestHttpAnswer::withStatus(404); }

// A fetch of the link with the mirror origin [https://mirror1.tarnel.test] at
// the fixtures' instant, against the fixture root key.
class SubscriptionFetch : public ::testing::Test {
protected:
    SubscriptionFetchResult fetch(bool signedOnly, const std::string& url = kLink,
                                  std::optional<std::string> root = rootKey()) {
        const SubscriptionFetcher fetcher(client, sleeper, clock, std::move(root));
        return fetcher.fetchSubscriptionText(url, signedOnly, origins, std::nullopt, std::nullopt, {});
    }

    std::string failure(bool signedOnly, const std::string& url = kLink, std::optional<std::string> root = rootKey()) {
        return testing::failureOf([&] { (void)fetch(signedOnly, url, std::move(root)); });
    }

    // The scripted paths' first requests in order, ranges and repeats left out.
    std::vector<std::string> pathsRequested() const {
        std::vector<std::string> paths;
        for (const auto& request : servers.requests()) {
            const std::string path = request.substr(0, request.find(' ', request.find(' ') + 1));
            if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
        }
        return paths;
    }

    // Every request both servers read, scripted or not.
    std::size_t allRequests() {
        return servers.server(kPrimaryHost).requests().size() + servers.server(kMirrorHost).requests().size();
    }

    static std::string rootKey() { return testing::readFixture("manifest/root.spki.der"); }

    testing::SubscriptionServers servers;
    CurlHttpClient client{servers.clientSettings()};
    testing::RecordingSleeper sleeper;
    FakeClock clock{1000.0, testing::kFixtureNow};
    std::vector<std::string> origins{"https://mirror1.tarnel.test"};
};

TEST_F(SubscriptionFetch, CompactListAloneWhenTheFullListIsMissing) {
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {ok(envelope("envelope-v2"))});
    servers.script(kPrimaryHost, "/sub/m/T.json", {missing()});
    servers.script(kMirrorHost, "/sub/m/T.json", {missing()});
    EXPECT_EQ(fetch(false), (SubscriptionFetchResult{{envelope("envelope-v2")}, false}));
    // The compact attempt ends with its first acceptance: the mirror's compact list is never asked for.
    EXPECT_EQ(servers.requests(), (std::vector<std::string>{"sub.tarnel.test /sub/m/T.v2.json",
                                                            "sub.tarnel.test /sub/m/T.json",
                                                            "mirror1.tarnel.test /sub/m/T.json"}));
}

TEST_F(SubscriptionFetch, BothFormsInAcceptanceOrder) {
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {ok(envelope("envelope-v2"))});
    servers.script(kPrimaryHost, "/sub/m/T.json", {ok(envelope("envelope-v1"))});
    EXPECT_EQ(fetch(false), (SubscriptionFetchResult{{envelope("envelope-v2"), envelope("envelope-v1")}, false}));
}

TEST_F(SubscriptionFetch, AVerificationFailureOfEveryCompactURLEndsTheFetchBeforeTheFullForm) {
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {ok(envelope("envelope-v2-untrusted-root"))});
    servers.script(kPrimaryHost, "/sub/m/T.json", {ok(envelope("envelope-v1"))});
    servers.script(kMirrorHost, "/sub/m/T.json", {ok(envelope("envelope-v1"))});
    EXPECT_EQ(failure(false), "The transport manifest signing key is not trusted.");
    for (const auto& request : servers.requests()) EXPECT_EQ(request.find("/sub/m/T.json"), std::string::npos);
}

TEST_F(SubscriptionFetch, AFullListInTheCompactFormIsAnInvalidManifest) {
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {ok(envelope("envelope-v2"))});
    servers.script(kPrimaryHost, "/sub/m/T.json", {ok(envelope("envelope-v2"))});
    EXPECT_EQ(failure(false), "The signed transport manifest is invalid, expired, or older than the saved revision.");
}

TEST_F(SubscriptionFetch, DroppedListsFallBackToThePlainBodyOnlyWhenSignedListsAreNotRequired) {
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {TestHttpAnswer::dropping()});
    servers.script(kMirrorHost, "/sub/m/T.v2.json", {TestHttpAnswer::dropping()});
    servers.script(kPrimaryHost, "/sub/m/T.json", {missing()});
    servers.script(kMirrorHost, "/sub/m/T.json", {TestHttpAnswer::dropping()});
    servers.script(kPrimaryHost, "/sub/f/T.txt", {ok(kPlainBody)});
    // The primary full list answered 404, so no primary error is kept and the plain body stands in.
    EXPECT_EQ(fetch(false), (SubscriptionFetchResult{{kPlainBody}, true}));
    EXPECT_EQ(failure(true), "The signed route list could not be downloaded reliably.");
    // Each dropped list was retried in ranges, waiting in virtual time.
    EXPECT_FALSE(sleeper.waits().empty());
}

TEST_F(SubscriptionFetch, TheFailureOfThePrimaryFullListWins) {
    servers.script(kPrimaryHost, "/sub/m/T.json", {TestHttpAnswer::withStatus(500)});
    servers.script(kPrimaryHost, "/sub/f/T.txt", {ok(kPlainBody)});
    EXPECT_EQ(failure(false), "Subscription download failed with HTTP 500.");
}

TEST_F(SubscriptionFetch, NothingFoundIsA404WhenSignedListsAreRequiredAndThePlainBodyOtherwise) {
    for (const char* host : {kPrimaryHost, kMirrorHost}) {
        for (const char* path : {"/sub/m/T.v2.json", "/sub/m/T.json"}) servers.script(host, path, {missing()});
    }
    servers.script(kPrimaryHost, "/sub/f/T.txt", {ok(kPlainBody)});
    EXPECT_EQ(failure(true), "Subscription download failed with HTTP 404.");
    EXPECT_EQ(fetch(false), (SubscriptionFetchResult{{kPlainBody}, true}));
    // One request at a time, in candidate order.
    EXPECT_EQ(pathsRequested(),
              (std::vector<std::string>{"sub.tarnel.test /sub/m/T.v2.json", "mirror1.tarnel.test /sub/m/T.v2.json",
                                        "sub.tarnel.test /sub/m/T.json", "mirror1.tarnel.test /sub/m/T.json",
                                        "sub.tarnel.test /sub/f/T.txt"}));
}

TEST_F(SubscriptionFetch, CandidatesAreRequestedOneAtATime) {
    auto gate = std::make_shared<testing::TestHttpGate>();
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {missing().heldBy(gate)});
    servers.script(kPrimaryHost, "/sub/f/T.txt", {ok(kPlainBody)});
    auto result = std::async(std::launch::async, [&] { return fetch(false); });
    ASSERT_TRUE(gate->waitUntilReached());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(allRequests(), 1u) << "a second request started while the first was held";
    gate->release();
    EXPECT_EQ(result.get(), (SubscriptionFetchResult{{kPlainBody}, true}));
}

TEST_F(SubscriptionFetch, ALinkWithoutSignedListsIsFetchedPlainEvenWhenSignedListsAreRequired) {
    servers.script(kPrimaryHost, "/plain/T.txt", {ok(kPlainBody)});
    EXPECT_EQ(fetch(true, "https://sub.tarnel.test/plain/T.txt"), (SubscriptionFetchResult{{kPlainBody}, true}));
    EXPECT_EQ(servers.requests(), (std::vector<std::string>{"sub.tarnel.test /plain/T.txt"}));
}

TEST_F(SubscriptionFetch, WithoutARootKeyNothingIsRequested) {
    servers.script(kPrimaryHost, "/sub/f/T.txt", {ok(kPlainBody)});
    EXPECT_EQ(failure(false, kLink, std::nullopt), "This app build does not trust signed transport manifests yet.");
    EXPECT_TRUE(servers.server(kPrimaryHost).connections().empty());
    EXPECT_TRUE(servers.server(kMirrorHost).connections().empty());
}

TEST_F(SubscriptionFetch, ThePlainBodyMustBeUTF8AtMost8MiBOverHttpOrHttps) {
    servers.script(kPrimaryHost, "/plain/bad.txt", {ok("vless://\xff\xfe")});
    servers.script(kPrimaryHost, "/plain/large.txt", {ok(std::string(9 * 1024 * 1024, 'a'))});
    servers.script(kPrimaryHost, "/plain/limit.txt", {ok(std::string(8 * 1024 * 1024, 'a'))});
    servers.script(kPrimaryHost, "/plain/gone.txt", {TestHttpAnswer::withStatus(410)});
    EXPECT_EQ(failure(false, "https://sub.tarnel.test/plain/bad.txt"), "Subscription response is not valid UTF-8.");
    EXPECT_EQ(failure(false, "https://sub.tarnel.test/plain/large.txt"),
              "Subscription server returned an invalid response.");
    EXPECT_EQ(fetch(false, "https://sub.tarnel.test/plain/limit.txt").texts.at(0).size(), 8u * 1024 * 1024);
    EXPECT_EQ(failure(false, "https://sub.tarnel.test/plain/gone.txt"), "Subscription download failed with HTTP 410.");
    const std::size_t before = servers.requests().size();
    for (const char* url : {"file:///etc/hostname", "ftp://sub.tarnel.test/plain/bad.txt", "sub.tarnel.test/x"}) {
        EXPECT_EQ(failure(false, url), "Subscription server returned an invalid response.") << url;
    }
    EXPECT_EQ(servers.requests().size(), before);
}

TEST_F(SubscriptionFetch, ThePlainRequestIsBoundedAndFollowsRedirects) {
    servers.script(kPrimaryHost, "/plain/moved.txt",
                   {TestHttpAnswer::withStatus(301).header("Location", "https://mirror1.tarnel.test/plain/T.txt")});
    servers.script(kMirrorHost, "/plain/T.txt", {ok(kPlainBody)});
    const SubscriptionFetcher fetcher(client, sleeper, clock, rootKey());
    const HttpResponse response = fetcher.fetchPlainSubscription("https://sub.tarnel.test/plain/moved.txt", {});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, kPlainBody);
    EXPECT_EQ(SubscriptionFetcher::kPlainRequestSeconds, 20.0);
}

TEST_F(SubscriptionFetch, AStopEndsTheFetchWithACancellation) {
    auto gate = std::make_shared<testing::TestHttpGate>();
    servers.script(kPrimaryHost, "/sub/m/T.v2.json", {missing().heldBy(gate)});
    servers.script(kPrimaryHost, "/sub/f/T.txt", {ok(kPlainBody)});
    const SubscriptionFetcher fetcher(client, sleeper, clock, rootKey());
    std::stop_source source;
    auto result = std::async(std::launch::async, [&] {
        return testing::failureOf([&] {
            (void)fetcher.fetchSubscriptionText(kLink, false, origins, std::nullopt, std::nullopt, source.get_token());
        });
    });
    ASSERT_TRUE(gate->waitUntilReached());
    source.request_stop();
    EXPECT_EQ(result.get(), CancellationError().message());
    gate->release();
    EXPECT_EQ(allRequests(), 1u);
}

}  // namespace
}  // namespace tarnel
