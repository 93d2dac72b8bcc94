#include "app/catalog/http_manifest_loader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stop_token>
#include <string>
#include <vector>

#include "app/catalog/subscription_import_parser.hpp"
#include "app/http/curl_http_client.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/catalog/subscription_fetch_test_support.hpp"
#include "tests/support/http_test_support.hpp"
#include "tests/support/test_certificates.hpp"

namespace tarnel {
namespace {

using namespace std::chrono_literals;
using testing::kPrimaryHost;
using testing::TestHttpAnswer;
using Parser = SubscriptionImportParser;

ManifestRequest listRequest(std::size_t bodyLimit) {
    ManifestRequest request;
    request.url = "https://sub.tarnel.test/sub/m/T.json";
    request.headers = {{"Accept", "application/json"},
                       {"Accept-Encoding", "identity"},
                       {"User-Agent", "Tarnel-Apple/1.0"}};
    request.timeout = 8000ms;
    request.bodyLimit = bodyLimit;
    return request;
}

std::string bytes(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('A' + i % 23);
    return text;
}

TEST(HttpManifestLoader, OneRequestOfTheHTTPLayerWithExactlyTheGivenHeaders) {
    testing::SubscriptionServers servers;
    servers.script(kPrimaryHost, "/sub/m/T.json",
                   {TestHttpAnswer::ok("0123456789").header("ETag", "\"e\"").header("Content-Encoding", "gzip"),
                    TestHttpAnswer::ok("0123456789A").header("ETag", "\"e\""),
                    TestHttpAnswer::withStatus(404, "not here")});
    const CurlHttpClient client(servers.clientSettings());
    const ManifestLoader loader = httpManifestLoader(client);

    const ManifestResponse whole = loader(listRequest(10), {});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, "0123456789");
    EXPECT_FALSE(whole.bodyOverLimit);
    EXPECT_EQ(whole.header("etag"), "\"e\"");
    EXPECT_EQ(whole.header("Content-Encoding"), "gzip");

    const ManifestResponse over = loader(listRequest(10), {});
    EXPECT_EQ(over.status, 200);
    EXPECT_TRUE(over.bodyOverLimit);
    EXPECT_EQ(over.header("ETag"), "\"e\"");

    const ManifestResponse missing = loader(listRequest(10), {});
    EXPECT_EQ(missing.status, 404);
    EXPECT_TRUE(missing.body.empty());
    EXPECT_FALSE(missing.bodyOverLimit);

    const auto requests = servers.server(kPrimaryHost).requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].headers, (std::vector<std::pair<std::string, std::string>>{
                                       {"Host", "sub.tarnel.test"},
                                       {"Accept", "application/json"},
                                       {"Accept-Encoding", "identity"},
                                       {"User-Agent", "Tarnel-Apple/1.0"}}));
}

TEST(HttpManifestLoader, AnUntrustedCertificateIsATransportFailure) {
    testing::SubscriptionServers servers;
    servers.script(kPrimaryHost, "/sub/m/T.json", {TestHttpAnswer::ok("never")});
    const testing::TestCertificateAuthority stranger("Stranger CA");
    HttpClientSettings settings = servers.clientSettings();
    settings.caFile = stranger.certificateFile();
    const CurlHttpClient client(settings);
    try {
        (void)httpManifestLoader(client)(listRequest(100), {});
        ADD_FAILURE() << "an untrusted server was answered";
    } catch (const ManifestTransportError& error) {
        EXPECT_EQ(error.message(), "The certificate for this server is invalid.");
    }
    EXPECT_TRUE(servers.requests().empty());
}

TEST(SignedRouteListDownload, AWholeAnswerCutShortIsDownloadedInRangesEachOnAConnectionOfItsOwn) {
    const std::string list = bytes(3000);
    testing::SubscriptionServers servers;
    servers.script(kPrimaryHost, "/sub/m/T.json",
                   {TestHttpAnswer::ok(list).cutAfterBytes(100),
                    TestHttpAnswer::rangedResource(list).header("ETag", "\"e\"")});
    const CurlHttpClient client(servers.clientSettings());
    const testing::RecordingSleeper sleeper;
    const auto result = Parser::downloadSignedRouteList("https://sub.tarnel.test/sub/m/T.json",
                                                        httpManifestLoader(client), sleeper, {});
    EXPECT_EQ(result.statusCode, 200);
    EXPECT_EQ(result.body, list);
    EXPECT_EQ(servers.requests(), (std::vector<std::string>{"sub.tarnel.test /sub/m/T.json",
                                                            "sub.tarnel.test /sub/m/T.json bytes=0-1023",
                                                            "sub.tarnel.test /sub/m/T.json bytes=1024-2047",
                                                            "sub.tarnel.test /sub/m/T.json bytes=2048-2999"}));
    const auto connections = servers.server(kPrimaryHost).connections();
    ASSERT_EQ(connections.size(), 4u);
    for (const auto& connection : connections) EXPECT_EQ(connection.requests, 1u);
    EXPECT_TRUE(sleeper.waits().empty());
}

TEST(SignedRouteListDownload, AStopEndsTheDownloadWithACancellationAtOnce) {
    testing::SubscriptionServers servers;
    auto gate = std::make_shared<testing::TestHttpGate>();
    servers.script(kPrimaryHost, "/sub/m/T.json", {TestHttpAnswer::ok("late").heldBy(gate)});
    const CurlHttpClient client(servers.clientSettings());
    std::stop_source source;
    using Clock = std::chrono::steady_clock;
    auto cancelled = std::async(std::launch::async, [&]() -> std::optional<Clock::time_point> {
        try {
            (void)Parser::downloadSignedRouteList("https://sub.tarnel.test/sub/m/T.json", httpManifestLoader(client),
                                                  sleepUnlessStopped, source.get_token());
        } catch (const CancellationError&) {
            return Clock::now();
        }
        return std::nullopt;
    });
    ASSERT_TRUE(gate->waitUntilReached());
    const auto stopped = Clock::now();
    source.request_stop();
    const auto ended = cancelled.get();
    ASSERT_TRUE(ended) << "the download ended without a cancellation";
    EXPECT_LT(std::chrono::duration<double>(*ended - stopped).count(), 1.5);
    gate->release();
    EXPECT_EQ(servers.requests().size(), 1u);
}

}  // namespace
}  // namespace tarnel
