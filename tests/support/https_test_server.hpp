#pragma once

// A small HTTPS (or plain HTTP) server for tests, over OpenSSL, with answers
// the test scripts per path and a log of every connection and request.
//
//   HttpsTestServer server;                                  // 127.0.0.1, a free port, its own CA
//   server.answer("/sub/m/T.json", TestHttpAnswer::ok(body).header("ETag", "\"e\""));
//   server.answer("/sub/m/T.v2.json", {TestHttpAnswer::dropping(), TestHttpAnswer::withStatus(404)});
//   client trusts server.caFile() and pins "sub.tarnel.test" to server.address():server.port()
//   EXPECT_EQ(server.requests().size(), 2u);
//
// The certificate names "*.tarnel.test" and the server's IP addresses. A
// server made on a thread inside a network namespace listens there (see
// NetworkNamespace::inside). Unscripted paths answer 404. Every connection is
// logged, also one that never speaks TLS or HTTP. Connections are kept open
// between requests unless a side asks to close, so a client that reused one
// shows in the log. The server answers at most one request at a time per
// connection, and serves connections in parallel.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/base/unique_fd.hpp"
#include "tests/support/test_certificates.hpp"

namespace tarnel::testing {

// Holds the requests that reach it until the test releases them.
class TestHttpGate {
public:
    // Lets every held request, and every later one, go on.
    void release();
    // True once `count` requests in all have reached the gate, within `seconds`.
    [[nodiscard]] bool waitUntilReached(std::size_t count = 1, double seconds = 10.0) const;
    [[nodiscard]] std::size_t reached() const;

private:
    friend class HttpsTestServer;
    // Waits until released or until `stopping` holds (checked often).
    void pass(const std::function<bool()>& stopping);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool released_ = false;
    std::size_t reached_ = 0;
};

// What the server does with one request.
struct TestHttpAnswer {
    enum class Fault {
        none,
        cut,    // the head and `cutAfter` body bytes, then the connection breaks off
        drop,   // the connection closes without an answer
        stall,  // no answer until the server stops
    };

    int status = 200;
    // Sent in order; "Content-Length" is added (the whole body's length) unless given.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Serves "Range: bytes=a-b" and "bytes=a-" from `body`: 206 with a
    // "Content-Range"; 416 past the end; the whole body when an "If-Range"
    // matches neither the answer's "ETag" nor its "Last-Modified".
    bool servesRanges = false;
    Fault fault = Fault::none;
    std::size_t cutAfter = 0;
    // Held at this gate before anything is sent.
    std::shared_ptr<TestHttpGate> gate;

    [[nodiscard]] static TestHttpAnswer ok(std::string body = {});
    [[nodiscard]] static TestHttpAnswer withStatus(int status, std::string body = {});
    [[nodiscard]] static TestHttpAnswer rangedResource(std::string body);
    [[nodiscard]] static TestHttpAnswer dropping();
    [[nodiscard]] static TestHttpAnswer stalling();

    TestHttpAnswer& header(std::string name, std::string value) &;
    TestHttpAnswer header(std::string name, std::string value) &&;
    TestHttpAnswer& cutAfterBytes(std::size_t bytes) &;
    TestHttpAnswer cutAfterBytes(std::size_t bytes) &&;
    TestHttpAnswer& heldBy(std::shared_ptr<TestHttpGate> gate) &;
    TestHttpAnswer heldBy(std::shared_ptr<TestHttpGate> gate) &&;
};

// One request as the server read it.
struct TestHttpRequest {
    std::size_t connection = 0;  // the index of its connection in connections()
    std::string peerAddress;     // "127.0.0.1", "::1"
    std::uint16_t peerPort = 0;
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;    // the target without its query
    std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
    std::string body;

    // The first field of that name (letter case ignored), or nothing.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// One accepted connection.
struct TestHttpConnection {
    std::string peerAddress;
    std::uint16_t peerPort = 0;
    bool secured = false;  // the TLS handshake completed (always false for plain HTTP)
    std::size_t requests = 0;
};

class HttpsTestServer {
public:
    struct Options {
        std::string address = "127.0.0.1";  // an IP literal of the calling thread's namespace
        std::uint16_t port = 0;              // 0: a free port
        bool tls = true;                     // false: plain HTTP
        // The authority that issues the server's certificate; nothing: one of
        // the server's own. Must outlive the server.
        const TestCertificateAuthority* authority = nullptr;
    };

    // Listens at once; throws std::runtime_error when it cannot.
    HttpsTestServer();
    explicit HttpsTestServer(Options options);
    // Stops: every connection is closed, held and stalled answers end.
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    [[nodiscard]] const std::string& address() const noexcept { return options_.address; }
    [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
    // "https://127.0.0.1:<port>" + path ("http://" without TLS; IPv6 in brackets).
    [[nodiscard]] std::string url(std::string_view path = "/") const;
    // The CA the client must trust.
    [[nodiscard]] const std::filesystem::path& caFile() const noexcept { return authority_->certificateFile(); }

    // Every request to `path` gets `answer`.
    void answer(const std::string& path, TestHttpAnswer answer);
    // Requests to `path` get the answers in order; the last one repeats.
    void answer(const std::string& path, std::vector<TestHttpAnswer> answers);
    // Requests to `path` get what `handler` makes of them (called on the
    // connection's thread, one request at a time per connection).
    void handle(const std::string& path, std::function<TestHttpAnswer(const TestHttpRequest&)> handler);

    [[nodiscard]] std::vector<TestHttpRequest> requests() const;
    [[nodiscard]] std::vector<TestHttpConnection> connections() const;
    // True once that many requests (connections) were logged, within `seconds`.
    [[nodiscard]] bool waitForRequests(std::size_t count, double seconds = 10.0) const;
    [[nodiscard]] bool waitForConnections(std::size_t count, double seconds = 10.0) const;

    // Stops the server (the destructor does it too); idempotent.
    void stop();

private:
    class Stream;
    struct Script {
        std::vector<TestHttpAnswer> answers;
        std::size_t next = 0;
        std::function<TestHttpAnswer(const TestHttpRequest&)> handler;
    };

    void acceptLoop();
    void serve(std::size_t index, UniqueFd socket);
    TestHttpAnswer answerFor(const TestHttpRequest& request);
    bool stopping() const;
    // Waits until the server stops.
    void stall() const;

    Options options_;
    std::unique_ptr<TestCertificateAuthority> ownAuthority_;
    const TestCertificateAuthority* authority_ = nullptr;
    std::shared_ptr<struct ssl_ctx_st> context_;
    UniqueFd listener_;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::string, Script> scripts_;
    std::vector<TestHttpRequest> requests_;
    std::vector<TestHttpConnection> connections_;
    std::vector<int> openSockets_;  // of connections being served, to wake them at stop
    std::vector<std::thread> connectionThreads_;
    std::thread acceptor_;
};

}  // namespace tarnel::testing
