#include "tests/support/https_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "app/http/curl_http_client.hpp"
#include "app/http/http_error.hpp"
#include "common/base/unique_fd.hpp"
#include "tests/support/http_test_support.hpp"

namespace tarnel::testing {
namespace {

HttpResponse fetch(const HttpClient& client, const std::string& url, std::vector<HttpHeader> headers = {}) {
    HttpRequest request;
    request.url = url;
    request.headers = std::move(headers);
    request.timeoutSeconds = 20.0;
    return client.perform(request, {});
}

TEST(HttpsTestServer, LogsABareTCPConnectionWithItsPeerAddress) {
    HttpsTestServer server;
    {
        UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port());
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        ASSERT_EQ(::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_TRUE(server.waitForConnections(1));
    }
    const auto connections = server.connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].peerAddress, "127.0.0.1");
    EXPECT_NE(connections[0].peerPort, 0);
    EXPECT_FALSE(connections[0].secured);
    EXPECT_EQ(connections[0].requests, 0u);
    EXPECT_TRUE(server.requests().empty());
}

TEST(HttpsTestServer, GivesScriptedAnswersInOrderRepeatsTheLastAndAnswersOtherPaths404) {
    HttpsTestServer server;
    server.answer("/list", {TestHttpAnswer::withStatus(503), TestHttpAnswer::ok("one"), TestHttpAnswer::ok("two")});
    server.handle("/echo", [](const TestHttpRequest& request) {
        return TestHttpAnswer::ok(request.method + " " + request.target).header("X-Peer", request.peerAddress);
    });
    const CurlHttpClient client(clientSettingsFor(server));
    std::vector<int> statuses;
    std::vector<std::string> bodies;
    for (int i = 0; i < 4; ++i) {
        const auto response = fetch(client, server.url("/list"));
        statuses.push_back(response.status);
        bodies.push_back(response.body);
    }
    EXPECT_EQ(statuses, (std::vector<int>{503, 200, 200, 200}));
    EXPECT_EQ(bodies, (std::vector<std::string>{"", "one", "two", "two"}));
    const auto echoed = fetch(client, server.url("/echo?q=1"));
    EXPECT_EQ(echoed.body, "GET /echo?q=1");
    EXPECT_EQ(echoed.header("X-Peer"), "127.0.0.1");
    EXPECT_EQ(fetch(client, server.url("/nothing")).status, 404);
    EXPECT_EQ(server.requests().size(), 6u);
}

TEST(HttpsTestServer, ServesByteRangesOfARangedResource) {
    std::string body;
    for (int i = 0; i < 3000; ++i) body += static_cast<char>('a' + i % 26);
    HttpsTestServer server;
    server.answer("/r", TestHttpAnswer::rangedResource(body).header("ETag", "\"e\""));
    const CurlHttpClient client(clientSettingsFor(server));
    const struct {
        std::vector<HttpHeader> headers;
        int status;
        std::optional<std::string> contentRange;
        std::string body;
    } cases[] = {
        {{}, 200, std::nullopt, body},
        {{{"Range", "bytes=0-1023"}}, 206, "bytes 0-1023/3000", body.substr(0, 1024)},
        {{{"Range", "bytes=2048-4095"}}, 206, "bytes 2048-2999/3000", body.substr(2048)},
        {{{"Range", "bytes=2990-"}}, 206, "bytes 2990-2999/3000", body.substr(2990)},
        {{{"Range", "bytes=-10"}}, 206, "bytes 2990-2999/3000", body.substr(2990)},
        {{{"Range", "bytes=3000-3100"}}, 416, "bytes */3000", ""},
        {{{"Range", "bytes=0-1,5-6"}}, 200, std::nullopt, body},
        {{{"Range", "bytes=1-2"}, {"If-Range", "\"e\""}}, 206, "bytes 1-2/3000", body.substr(1, 2)},
        {{{"Range", "bytes=1-2"}, {"If-Range", "\"other\""}}, 200, std::nullopt, body},
    };
    for (const auto& c : cases) {
        const auto response = fetch(client, server.url("/r"), c.headers);
        EXPECT_EQ(response.status, c.status) << (c.headers.empty() ? "" : c.headers[0].value);
        EXPECT_EQ(response.header("Content-Range"), c.contentRange);
        EXPECT_EQ(response.body, c.body);
        EXPECT_EQ(response.header("ETag"), "\"e\"");
    }
}

TEST(HttpsTestServer, HoldsAnswersUntilTheTestReleasesThem) {
    HttpsTestServer server;
    auto gate = std::make_shared<TestHttpGate>();
    server.answer("/held", TestHttpAnswer::ok("released").heldBy(gate));
    const CurlHttpClient client(clientSettingsFor(server));
    auto response = std::async(std::launch::async, [&] { return fetch(client, server.url("/held")); });
    ASSERT_TRUE(gate->waitUntilReached(1));
    EXPECT_EQ(server.requests().size(), 1u);  // logged while held
    EXPECT_EQ(response.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    gate->release();
    EXPECT_EQ(response.get().body, "released");
}

TEST(HttpsTestServer, StopEndsStalledAndHeldAnswers) {
    auto server = std::make_unique<HttpsTestServer>();
    auto gate = std::make_shared<TestHttpGate>();
    server->answer("/stall", TestHttpAnswer::stalling());
    server->answer("/held", TestHttpAnswer::ok().heldBy(gate));
    const CurlHttpClient client(clientSettingsFor(*server));
    auto stalled = std::async(std::launch::async, [&] { return fetch(client, server->url("/stall")); });
    auto held = std::async(std::launch::async, [&] { return fetch(client, server->url("/held")); });
    ASSERT_TRUE(server->waitForRequests(2));
    server->stop();
    EXPECT_THROW(stalled.get(), HttpTransportError);
    EXPECT_THROW(held.get(), HttpTransportError);
}

}  // namespace
}  // namespace tarnel::testing
