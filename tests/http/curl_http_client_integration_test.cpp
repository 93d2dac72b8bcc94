#include "app/http/curl_http_client.hpp"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <future>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/http/http_error.hpp"
#include "common/process/cancellation_error.hpp"
#include "tests/support/http_test_support.hpp"
#include "tests/support/https_test_server.hpp"
#include "tests/support/test_certificates.hpp"

namespace tarnel {
namespace {

using testing::clientSettingsFor;
using testing::HttpsTestServer;
using testing::TestCertificateAuthority;
using testing::TestHttpAnswer;
using testing::TestHttpGate;
using Clock = std::chrono::steady_clock;

HttpRequest get(std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    request.timeoutSeconds = 20.0;
    return request;
}

HttpTransportError::Case transportFailure(const HttpClient& client, const HttpRequest& request) {
    try {
        (void)client.perform(request, {});
    } catch (const HttpTransportError& error) {
        return error.errorCase();
    }
    ADD_FAILURE() << "no transport error for " << request.url;
    return HttpTransportError::Case::failed;
}

std::vector<std::string> headerNames(const testing::TestHttpRequest& request) {
    std::vector<std::string> names;
    for (const auto& header : request.headers) names.push_back(header.first);
    return names;
}

TEST(CurlHttpClient, SendsExactlyTheGivenHeadersAndGivesBackTheResponseAsSent) {
    HttpsTestServer server;
    server.answer("/sub/m/T.json", TestHttpAnswer::ok("{\"a\":1}")
                                       .header("ETag", "\"e\"")
                                       .header("Content-Encoding", "gzip")
                                       .header("Cache-Control", "no-cache"));
    const CurlHttpClient client(clientSettingsFor(server, {"sub.tarnel.test"}));
    HttpRequest request = get("https://sub.tarnel.test/sub/m/T.json?x=1#fragment");
    request.headers = {{"Accept", "application/json"},
                       {"Accept-Encoding", "identity"},
                       {"User-Agent", "Tarnel-Apple/1.0"},
                       {"If-Range", ""}};
    const HttpResponse response = client.perform(request, {});

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "{\"a\":1}");
    EXPECT_EQ(response.header("etag"), "\"e\"");
    // Never decoded: the caller judges the encoding.
    EXPECT_EQ(response.header("Content-Encoding"), "gzip");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/sub/m/T.json?x=1");
    EXPECT_EQ(requests[0].header("Host"), "sub.tarnel.test");
    EXPECT_EQ(headerNames(requests[0]),
              (std::vector<std::string>{"Host", "Accept", "Accept-Encoding", "User-Agent", "If-Range"}));
    EXPECT_EQ(requests[0].header("Accept"), "application/json");
    EXPECT_EQ(requests[0].header("If-Range"), "");
    EXPECT_EQ(requests[0].peerAddress, "127.0.0.1");
    EXPECT_EQ(server.connections().at(0).secured, true);
}

TEST(CurlHttpClient, OpensAConnectionOfItsOwnForEveryRequest) {
    HttpsTestServer server;  // keeps connections open: a reused one would show in its log
    server.answer("/a", TestHttpAnswer::ok("a"));
    const CurlHttpClient client(clientSettingsFor(server));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client.perform(get(server.url("/a")), {}).body, "a");
    const auto connections = server.connections();
    ASSERT_EQ(connections.size(), 3u);
    for (const auto& connection : connections) EXPECT_EQ(connection.requests, 1u);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].peerPort, requests[1].peerPort);
}

TEST(CurlHttpClient, NameAndConnectPinsReachTheServerAndTLSChecksTheRequestedName) {
    HttpsTestServer server;
    server.answer("/", TestHttpAnswer::ok("pinned"));
    HttpClientSettings settings = clientSettingsFor(server);
    settings.addressPins = {{"sub.tarnel.test", server.port(), "127.0.0.1"},
                            {"other.example", server.port(), "127.0.0.1"}};
    const CurlHttpClient client(settings);
    EXPECT_EQ(client.perform(get("https://sub.tarnel.test:" + std::to_string(server.port()) + "/"), {}).body,
              "pinned");
    // The certificate names *.tarnel.test, not other.example.
    EXPECT_EQ(transportFailure(client, get("https://other.example:" + std::to_string(server.port()) + "/")),
              HttpTransportError::Case::serverCertificateUntrusted);
}

TEST(CurlHttpClient, ARequestsOwnConnectPinGoesBeforeTheClientsAndCountsAsPinned) {
    HttpsTestServer server;
    server.answer("/", TestHttpAnswer::ok("request pin"));
    HttpClientSettings settings = clientSettingsFor(server);
    // The client's own pin leads nowhere: a refused port on loopback.
    settings.connectPins = {{"trace.tarnel.test", 443, "127.0.0.1", 1}};
    const CurlHttpClient client(settings);
    HttpRequest request = get("https://trace.tarnel.test/");
    request.connectPins = {{"trace.tarnel.test", 443, server.address(), server.port()}};
    EXPECT_EQ(client.perform(request, {}).body, "request pin");
    EXPECT_EQ(server.requests().at(0).header("Host"), "trace.tarnel.test");
    // Without it the client's pin applies.
    EXPECT_EQ(transportFailure(client, get("https://trace.tarnel.test/")), HttpTransportError::Case::cannotConnect);

    request.connectPins = {{"", 443, server.address(), server.port()}};
    EXPECT_THROW((void)client.perform(request, {}), std::invalid_argument);
#if defined(TARNEL_HTTP_ADDRESS_GUARD)
    // A request pin to a name the guard has not pinned is no pin at all.
    const CurlHttpClient unpinned(clientSettingsFor(server));
    request.connectPins = {{"trace.tarnel.test", 443, "elsewhere.example", server.port()}};
    EXPECT_EQ(transportFailure(unpinned, request), HttpTransportError::Case::hostNotPinned);
#endif
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(CurlHttpClient, ACertificateOfAnUntrustedAuthorityIsATransportError) {
    HttpsTestServer server;
    server.answer("/", TestHttpAnswer::ok("never"));
    const TestCertificateAuthority stranger("Stranger CA");
    HttpClientSettings settings = clientSettingsFor(server, {"sub.tarnel.test"});
    settings.caFile = stranger.certificateFile();
    const CurlHttpClient untrusting(settings);
    EXPECT_EQ(transportFailure(untrusting, get("https://sub.tarnel.test/")),
              HttpTransportError::Case::serverCertificateUntrusted);
    EXPECT_TRUE(server.requests().empty());
}

TEST(CurlHttpClient, FollowsRedirectsOnlyWhenAskedAndAtMostTen) {
    HttpsTestServer server;
    // /hop/N redirects to /hop/N-1; /hop/0 answers.
    server.handle("/hop", [&](const testing::TestHttpRequest& request) {
        const int left = std::stoi(request.target.substr(request.target.find('=') + 1));
        if (left == 0) return TestHttpAnswer::ok("arrived");
        return TestHttpAnswer::withStatus(302).header("Location", "/hop?left=" + std::to_string(left - 1));
    });
    server.answer("/to-file", TestHttpAnswer::withStatus(302).header("Location", "file:///etc/hostname"));
    const CurlHttpClient client(clientSettingsFor(server));

    const HttpResponse unfollowed = client.perform(get(server.url("/hop?left=1")), {});
    EXPECT_EQ(unfollowed.status, 302);
    EXPECT_EQ(unfollowed.header("Location"), "/hop?left=0");
    EXPECT_EQ(server.requests().size(), 1u);

    HttpRequest follow = get(server.url("/hop?left=10"));
    follow.followRedirects = true;
    const HttpResponse followed = client.perform(follow, {});
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.body, "arrived");
    EXPECT_EQ(followed.header("Location"), std::nullopt);  // the final response's fields only

    follow.url = server.url("/hop?left=11");
    EXPECT_EQ(transportFailure(client, follow), HttpTransportError::Case::tooManyRedirects);
    follow.url = server.url("/to-file");
    EXPECT_EQ(transportFailure(client, follow), HttpTransportError::Case::unsupportedURL);
}

TEST(CurlHttpClient, KeepsAtMostTheBodyLimitAndOnlyTheBodyOfTheStatusAsked) {
    HttpsTestServer server;
    server.answer("/exact", TestHttpAnswer::ok(std::string(4096, 'x')));
    server.answer("/over", TestHttpAnswer::ok(std::string(4097, 'x')).header("ETag", "\"big\""));
    server.answer("/missing", TestHttpAnswer::withStatus(404, std::string(1 << 20, 'n')).header("X-Why", "gone"));
    const CurlHttpClient client(clientSettingsFor(server));
    HttpRequest request = get(server.url("/exact"));
    request.bodyLimit = 4096;
    EXPECT_EQ(client.perform(request, {}).body.size(), 4096u);

    request.url = server.url("/over");
    try {
        (void)client.perform(request, {});
        ADD_FAILURE() << "a body over the limit was kept";
    } catch (const HttpBodyTooLargeError& error) {
        EXPECT_EQ(error.limit(), 4096u);
        EXPECT_EQ(error.status(), 200);
        EXPECT_EQ(error.headers(), (std::vector<HttpHeader>{{"ETag", "\"big\""}, {"Content-Length", "4097"}}));
    }

    request.url = server.url("/missing");
    request.bodyOnlyForStatus = 200;
    const HttpResponse missing = client.perform(request, {});
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.header("X-Why"), "gone");
    EXPECT_TRUE(missing.body.empty());
    request.url = server.url("/exact");
    EXPECT_EQ(client.perform(request, {}).body.size(), 4096u);
}

TEST(CurlHttpClient, AnswersThatBreakOffAreTransportErrors) {
    HttpsTestServer server;
    server.answer("/cut", TestHttpAnswer::ok(std::string(3000, 'c')).cutAfterBytes(100));
    server.answer("/drop", TestHttpAnswer::dropping());
    const CurlHttpClient client(clientSettingsFor(server));
    EXPECT_EQ(transportFailure(client, get(server.url("/cut"))), HttpTransportError::Case::connectionLost);
    EXPECT_EQ(transportFailure(client, get(server.url("/drop"))), HttpTransportError::Case::connectionLost);

    // Plain HTTP to the TLS server: its handshake fails and the client gets nothing.
    std::string asHttp = server.url("/cut");
    asHttp.replace(0, 5, "http");
    EXPECT_EQ(transportFailure(client, get(asHttp)), HttpTransportError::Case::connectionLost);
    ASSERT_EQ(server.connections().size(), 3u);
    EXPECT_FALSE(server.connections()[2].secured);
}

TEST(CurlHttpClient, SpeaksPlainHttp) {
    HttpsTestServer server({.tls = false});
    server.answer("/", TestHttpAnswer::ok("plain"));
    const CurlHttpClient client;
    EXPECT_EQ(client.perform(get(server.url("/")), {}).body, "plain");
    EXPECT_FALSE(server.connections().at(0).secured);
}

TEST(CurlHttpClient, TheTimeOutBoundsTheWholeRequest) {
    HttpsTestServer server;
    server.answer("/stall", TestHttpAnswer::stalling());
    const CurlHttpClient client(clientSettingsFor(server));
    HttpRequest request = get(server.url("/stall"));
    request.timeoutSeconds = 0.5;
    const auto started = Clock::now();
    EXPECT_EQ(transportFailure(client, request), HttpTransportError::Case::timedOut);
    const auto elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_GE(elapsed, 0.45);
    EXPECT_LT(elapsed, 10.0);
}

TEST(CurlHttpClient, AStopEndsARequestInFlightAtOnceAndNothingStartsAfterIt) {
    HttpsTestServer server;
    auto gate = std::make_shared<TestHttpGate>();
    server.answer("/held", TestHttpAnswer::ok("late").heldBy(gate));
    const CurlHttpClient client(clientSettingsFor(server));
    HttpRequest request = get(server.url("/held"));
    request.timeoutSeconds = 60.0;

    std::stop_source source;
    auto result = std::async(std::launch::async, [&] {
        try {
            (void)client.perform(request, source.get_token());
        } catch (const CancellationError&) {
            return Clock::now();
        }
        return Clock::time_point{};
    });
    ASSERT_TRUE(gate->waitUntilReached());
    const auto stopped = Clock::now();
    source.request_stop();
    const auto cancelled = result.get();
    ASSERT_NE(cancelled, Clock::time_point{}) << "the request ended without a cancellation";
    EXPECT_LT(std::chrono::duration<double>(cancelled - stopped).count(), 1.5);
    gate->release();

    const std::size_t connections = server.connections().size();
    EXPECT_THROW((void)client.perform(request, source.get_token()), CancellationError);
    EXPECT_EQ(server.connections().size(), connections);
}

TEST(CurlHttpClient, ProxyVariablesHaveNoEffect) {
    HttpsTestServer server;
    server.answer("/", TestHttpAnswer::ok("direct"));
    HttpsTestServer proxy({.tls = false});  // a proxy would see a CONNECT here
    const std::string proxyURL = proxy.url("");
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
        ::setenv(name, proxyURL.c_str(), 1);
    }
    const CurlHttpClient client(clientSettingsFor(server, {"sub.tarnel.test"}));
    const auto body = client.perform(get("https://sub.tarnel.test/"), {}).body;
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) ::unsetenv(name);
    EXPECT_EQ(body, "direct");
    EXPECT_TRUE(proxy.connections().empty());
}

TEST(CurlHttpClient, LoadsOnlyHttpAndHttpsURLsWithAHost) {
    HttpsTestServer server;
    const CurlHttpClient client(clientSettingsFor(server));
    for (const std::string url : {"file:///etc/hostname", "ftp://127.0.0.1/x", "https:///x", "127.0.0.1/x",
                                  "gopher://127.0.0.1/", "https://127.0.0.1:99999/", "https://127.0.0.1/a b"}) {
        EXPECT_EQ(transportFailure(client, get(url)), HttpTransportError::Case::unsupportedURL) << url;
    }
    EXPECT_TRUE(server.connections().empty());
}

TEST(CurlHttpClient, SendsABodyWithItsMethodAndReadsNoBodyForHead) {
    HttpsTestServer server;
    server.answer("/account", TestHttpAnswer::ok("created").header("Content-Type", "application/json"));
    const CurlHttpClient client(clientSettingsFor(server));
    HttpRequest post = get(server.url("/account"));
    post.method = "POST";
    post.body = "{\"device\":\"d\"}";
    post.headers = {{"Content-Type", "application/json"}};
    EXPECT_EQ(client.perform(post, {}).body, "created");
    HttpRequest head = get(server.url("/account"));
    head.method = "HEAD";
    const HttpResponse headResponse = client.perform(head, {});
    EXPECT_EQ(headResponse.status, 200);
    EXPECT_TRUE(headResponse.body.empty());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "{\"device\":\"d\"}");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Expect"), std::nullopt);
    EXPECT_EQ(requests[1].method, "HEAD");

    HttpRequest badHeader = get(server.url("/account"));
    badHeader.headers = {{"X-Injected", "a\r\nHost: elsewhere"}};
    EXPECT_THROW((void)client.perform(badHeader, {}), std::invalid_argument);
    badHeader.headers.clear();
    badHeader.method = "GET /x";
    EXPECT_THROW((void)client.perform(badHeader, {}), std::invalid_argument);
}

TEST(CurlHttpClient, ReachesAServerOnIPv6Loopback) {
    HttpsTestServer server({.address = "::1"});
    server.answer("/", TestHttpAnswer::ok("six"));
    const CurlHttpClient client(clientSettingsFor(server, {"sub.tarnel.test"}));
    EXPECT_EQ(client.perform(get(server.url("/")), {}).body, "six");
    EXPECT_EQ(client.perform(get("https://sub.tarnel.test/"), {}).body, "six");
    EXPECT_EQ(server.requests().at(0).peerAddress, "::1");
}

#if defined(TARNEL_HTTP_ADDRESS_GUARD)
TEST(CurlHttpClient, TheTestBuildLooksUpNoNameItHasNotPinnedRedirectsIncluded) {
    HttpsTestServer server;
    server.answer("/away", TestHttpAnswer::withStatus(302).header("Location", "https://unpinned.example/"));
    const CurlHttpClient client(clientSettingsFor(server, {"sub.tarnel.test"}));
    EXPECT_EQ(transportFailure(client, get("https://unpinned.example/")), HttpTransportError::Case::hostNotPinned);
    EXPECT_EQ(transportFailure(client, get("https://localhost:" + std::to_string(server.port()) + "/")),
              HttpTransportError::Case::hostNotPinned);
    HttpRequest follow = get("https://sub.tarnel.test/away");
    follow.followRedirects = true;
    EXPECT_EQ(transportFailure(client, follow), HttpTransportError::Case::hostNotPinned);
    EXPECT_EQ(server.requests().size(), 1u);
}
#endif

}  // namespace
}  // namespace tarnel
