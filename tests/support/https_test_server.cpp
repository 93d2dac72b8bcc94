#include "tests/support/https_test_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "common/base/ascii.hpp"
#include "common/base/ip_literal.hpp"

namespace tarnel::testing {

namespace {

constexpr std::size_t kHeadLimit = 64 * 1024;
constexpr std::size_t kRequestBodyLimit = 16 * 1024 * 1024;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

const std::string* findHeader(const std::vector<std::pair<std::string, std::string>>& headers,
                              std::string_view name) {
    for (const auto& [field, value] : headers) {
        if (ascii::equalIgnoringCase(field, name)) return &value;
    }
    return nullptr;
}

std::string reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 410: return "Gone";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

std::optional<std::uint64_t> decimal(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty()) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The first and last byte of a single "bytes=" range over `size` bytes;
// nothing for no range, several ranges or a form this server does not serve
// (the whole body is then sent); {size, 0} when it starts past the end.
std::optional<std::pair<std::uint64_t, std::uint64_t>> byteRange(std::string_view value, std::uint64_t size) {
    value = trimmed(value);
    if (value.size() < 6 || !ascii::equalIgnoringCase(value.substr(0, 6), "bytes=")) return std::nullopt;
    value.remove_prefix(6);
    if (value.find(',') != value.npos) return std::nullopt;
    const auto dash = value.find('-');
    if (dash == value.npos) return std::nullopt;
    const auto first = trimmed(value.substr(0, dash));
    const auto last = trimmed(value.substr(dash + 1));
    if (first.empty()) {  // the last n bytes
        const auto count = decimal(last);
        if (!count || *count == 0) return std::nullopt;
        return std::pair{size - std::min(*count, size), size == 0 ? 0 : size - 1};
    }
    const auto start = decimal(first);
    if (!start) return std::nullopt;
    std::uint64_t end = size == 0 ? 0 : size - 1;
    if (!last.empty()) {
        const auto given = decimal(last);
        if (!given || *given < *start) return std::nullopt;
        end = std::min(end, *given);
    }
    if (*start >= size) return std::pair{size, std::uint64_t{0}};
    return std::pair{*start, end};
}

// The answer as sent for this request: a ranged resource becomes its 200,
// 206 or 416.
TestHttpAnswer concreteAnswer(TestHttpAnswer answer, const TestHttpRequest& request) {
    if (!answer.servesRanges) return answer;
    const std::optional<std::string> rangeValue = request.header("Range");
    if (!rangeValue) return answer;
    if (const auto ifRange = request.header("If-Range")) {
        const auto* etag = findHeader(answer.headers, "ETag");
        const auto* modified = findHeader(answer.headers, "Last-Modified");
        if ((!etag || *etag != *ifRange) && (!modified || *modified != *ifRange)) return answer;
    }
    const std::uint64_t size = answer.body.size();
    const auto bytes = byteRange(*rangeValue, size);
    if (!bytes) return answer;
    if (bytes->first >= size) {
        answer.status = 416;
        answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        answer.body.clear();
        return answer;
    }
    answer.status = 206;
    answer.headers.emplace_back("Content-Range", "bytes " + std::to_string(bytes->first) + "-" +
                                                     std::to_string(bytes->second) + "/" + std::to_string(size));
    answer.body = answer.body.substr(bytes->first, bytes->second - bytes->first + 1);
    return answer;
}

struct PeerAddress {
    std::string address;
    std::uint16_t port = 0;
};

PeerAddress peerOf(const sockaddr_storage& storage) {
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(storage);
        ::inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text);
        return {text, ntohs(ipv4.sin_port)};
    }
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(storage);
    ::inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof text);
    return {text, ntohs(ipv6.sin6_port)};
}

}  // namespace

// One connection's byte stream, over TLS or plain.
class HttpsTestServer::Stream {
public:
    Stream(int socket, SSL_CTX* context) : socket_(socket) {
        if (context != nullptr) {
            ssl_ = SSL_new(context);
            if (ssl_ == nullptr || SSL_set_fd(ssl_, socket) != 1) throw std::runtime_error("SSL_new failed");
        }
    }
    ~Stream() {
        if (ssl_ != nullptr) SSL_free(ssl_);
        ERR_clear_error();
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool handshake() { return ssl_ == nullptr || SSL_accept(ssl_) == 1; }

    // Some bytes, or 0 at the end of the stream or on a failure.
    std::size_t read(char* buffer, std::size_t size) {
        if (ssl_ != nullptr) {
            const int count = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
            return count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        while (true) {
            const ssize_t count = ::recv(socket_, buffer, size, 0);
            if (count < 0 && errno == EINTR) continue;
            return count > 0 ? static_cast<std::size_t>(count) : 0;
        }
    }

    bool write(std::string_view data) {
        while (!data.empty()) {
            const std::size_t piece = std::min<std::size_t>(data.size(), 1 << 20);
            if (ssl_ != nullptr) {
                const int count = SSL_write(ssl_, data.data(), static_cast<int>(piece));
                if (count <= 0) return false;
                data.remove_prefix(static_cast<std::size_t>(count));
            } else {
                const ssize_t count = ::send(socket_, data.data(), piece, MSG_NOSIGNAL);
                if (count < 0 && errno == EINTR) continue;
                if (count <= 0) return false;
                data.remove_prefix(static_cast<std::size_t>(count));
            }
        }
        return true;
    }

    // Ends the connection in order: TLS close_notify, then the socket.
    void close() {
        if (ssl_ != nullptr && !cut_) SSL_shutdown(ssl_);
        ::shutdown(socket_, SHUT_RDWR);
    }

    // Breaks the connection off without TLS's close_notify.
    void cut() {
        cut_ = true;
        ::shutdown(socket_, SHUT_RDWR);
    }

private:
    int socket_;
    SSL* ssl_ = nullptr;
    bool cut_ = false;
};

void TestHttpGate::release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    changed_.notify_all();
}

bool TestHttpGate::waitUntilReached(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return reached_ >= count; });
}

std::size_t TestHttpGate::reached() const {
    std::lock_guard lock(mutex_);
    return reached_;
}

void TestHttpGate::pass(const std::function<bool()>& stopping) {
    std::unique_lock lock(mutex_);
    ++reached_;
    changed_.notify_all();
    while (!released_ && !stopping()) changed_.wait_for(lock, std::chrono::milliseconds(20));
}

TestHttpAnswer TestHttpAnswer::ok(std::string body) { return withStatus(200, std::move(body)); }

TestHttpAnswer TestHttpAnswer::withStatus(int status, std::string body) {
    TestHttpAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
}

TestHttpAnswer TestHttpAnswer::rangedResource(std::string body) {
    TestHttpAnswer answer = ok(std::move(body));
    answer.servesRanges = true;
    return answer;
}

TestHttpAnswer TestHttpAnswer::dropping() {
    TestHttpAnswer answer;
    answer.fault = Fault::drop;
    return answer;
}

TestHttpAnswer TestHttpAnswer::stalling() {
    TestHttpAnswer answer;
    answer.fault = Fault::stall;
    return answer;
}

TestHttpAnswer& TestHttpAnswer::header(std::string name, std::string value) & {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

TestHttpAnswer TestHttpAnswer::header(std::string name, std::string value) && {
    return std::move(header(std::move(name), std::move(value)));
}

TestHttpAnswer& TestHttpAnswer::cutAfterBytes(std::size_t bytes) & {
    fault = Fault::cut;
    cutAfter = bytes;
    return *this;
}

TestHttpAnswer TestHttpAnswer::cutAfterBytes(std::size_t bytes) && { return std::move(cutAfterBytes(bytes)); }

TestHttpAnswer& TestHttpAnswer::heldBy(std::shared_ptr<TestHttpGate> holder) & {
    gate = std::move(holder);
    return *this;
}

TestHttpAnswer TestHttpAnswer::heldBy(std::shared_ptr<TestHttpGate> holder) && {
    return std::move(heldBy(std::move(holder)));
}

std::optional<std::string> TestHttpRequest::header(std::string_view name) const {
    const auto* value = findHeader(headers, name);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

HttpsTestServer::HttpsTestServer() : HttpsTestServer(Options{}) {}

HttpsTestServer::HttpsTestServer(Options options) : options_(std::move(options)) {
    const auto family = ipLiteralFamily(options_.address);
    if (!family) throw std::runtime_error("test server address is not an IP literal: " + options_.address);

    if (options_.tls) {
        if (options_.authority == nullptr) ownAuthority_ = std::make_unique<TestCertificateAuthority>();
        authority_ = options_.authority != nullptr ? options_.authority : ownAuthority_.get();
        std::vector<std::string> addresses{"127.0.0.1", "::1"};
        if (std::find(addresses.begin(), addresses.end(), options_.address) == addresses.end()) {
            addresses.push_back(options_.address);
        }
        const auto leaf = authority_->issue({"*.tarnel.test"}, addresses);
        context_.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!context_ || SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION) != 1 ||
            SSL_CTX_use_certificate(context_.get(), leaf.certificate.get()) != 1 ||
            SSL_CTX_use_PrivateKey(context_.get(), leaf.key.get()) != 1 ||
            SSL_CTX_check_private_key(context_.get()) != 1) {
            throw std::runtime_error("test server TLS context failed");
        }
    } else {
        ownAuthority_ = std::make_unique<TestCertificateAuthority>();
        authority_ = ownAuthority_.get();
    }

    sockaddr_storage storage{};
    socklen_t length = 0;
    if (*family == IPAddressFamily::ipv4) {
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(storage);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(options_.port);
        ::inet_pton(AF_INET, options_.address.c_str(), &ipv4.sin_addr);
        length = sizeof ipv4;
    } else {
        auto& ipv6 = reinterpret_cast<sockaddr_in6&>(storage);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(options_.port);
        ::inet_pton(AF_INET6, options_.address.c_str(), &ipv6.sin6_addr);
        length = sizeof ipv6;
    }
    listener_.reset(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_) throw std::runtime_error("test server socket failed");
    const int one = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (*family == IPAddressFamily::ipv6) ::setsockopt(listener_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
        ::listen(listener_.get(), 64) != 0) {
        throw std::runtime_error("test server cannot listen on " + options_.address + ": " + std::strerror(errno));
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
    port_ = peerOf(bound).port;
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpsTestServer::~HttpsTestServer() { stop(); }

std::string HttpsTestServer::url(std::string_view path) const {
    const bool ipv6 = ipLiteralFamily(options_.address) == IPAddressFamily::ipv6;
    std::string text = options_.tls ? "https://" : "http://";
    text += ipv6 ? "[" + options_.address + "]" : options_.address;
    text += ":" + std::to_string(port_);
    text += path;
    return text;
}

void HttpsTestServer::answer(const std::string& path, TestHttpAnswer answer) {
    this->answer(path, std::vector<TestHttpAnswer>{std::move(answer)});
}

void HttpsTestServer::answer(const std::string& path, std::vector<TestHttpAnswer> answers) {
    if (answers.empty()) throw std::invalid_argument("a script needs at least one answer");
    std::lock_guard lock(mutex_);
    scripts_[path] = Script{std::move(answers), 0, {}};
}

void HttpsTestServer::handle(const std::string& path, std::function<TestHttpAnswer(const TestHttpRequest&)> handler) {
    std::lock_guard lock(mutex_);
    scripts_[path] = Script{{}, 0, std::move(handler)};
}

std::vector<TestHttpRequest> HttpsTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<TestHttpConnection> HttpsTestServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool HttpsTestServer::waitForRequests(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return requests_.size() >= count; });
}

bool HttpsTestServer::waitForConnections(std::size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return connections_.size() >= count; });
}

bool HttpsTestServer::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void HttpsTestServer::stall() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopping_; });
}

void HttpsTestServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (int socket : openSockets_) ::shutdown(socket, SHUT_RDWR);
    }
    changed_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    // The acceptor has ended: no thread is added any more.
    for (auto& thread : connectionThreads_) {
        if (thread.joinable()) thread.join();
    }
}

void HttpsTestServer::acceptLoop() {
    while (!stopping()) {
        pollfd waiting{listener_.get(), POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd socket(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (!socket) continue;
        const PeerAddress address = peerOf(peer);
        std::lock_guard lock(mutex_);
        if (stopping_) break;
        const std::size_t index = connections_.size();
        connections_.push_back({address.address, address.port, false, 0});
        openSockets_.push_back(socket.get());
        connectionThreads_.emplace_back([this, index, fd = std::move(socket)]() mutable { serve(index, std::move(fd)); });
        changed_.notify_all();
    }
}

TestHttpAnswer HttpsTestServer::answerFor(const TestHttpRequest& request) {
    std::function<TestHttpAnswer(const TestHttpRequest&)> handler;
    {
        std::lock_guard lock(mutex_);
        const auto found = scripts_.find(request.path);
        if (found == scripts_.end()) return TestHttpAnswer::withStatus(404);
        Script& script = found->second;
        if (!script.handler) {
            const std::size_t index = std::min(script.next, script.answers.size() - 1);
            ++script.next;
            return script.answers[index];
        }
        handler = script.handler;
    }
    return handler(request);
}

void HttpsTestServer::serve(std::size_t index, UniqueFd socket) {
    PeerAddress peer;
    {
        std::lock_guard lock(mutex_);
        peer = {connections_[index].peerAddress, connections_[index].peerPort};
    }
    {
        Stream stream(socket.get(), context_.get());
        if (stream.handshake()) {
            {
                std::lock_guard lock(mutex_);
                connections_[index].secured = options_.tls;
            }
            std::string buffer;
            char chunk[16384];
            bool open = true;
            while (open && !stopping()) {
                // The request head.
                std::size_t headEnd;
                while ((headEnd = buffer.find("\r\n\r\n")) == buffer.npos && buffer.size() <= kHeadLimit) {
                    const std::size_t count = stream.read(chunk, sizeof chunk);
                    if (count == 0) break;
                    buffer.append(chunk, count);
                }
                if (headEnd == buffer.npos) break;
                TestHttpRequest request;
                request.connection = index;
                request.peerAddress = peer.address;
                request.peerPort = peer.port;
                const std::string_view head = std::string_view(buffer).substr(0, headEnd);
                const auto lineEnd = std::min(head.find("\r\n"), head.size());
                const std::string_view requestLine = head.substr(0, lineEnd);
                const auto firstSpace = requestLine.find(' ');
                const auto lastSpace = requestLine.rfind(' ');
                if (firstSpace == requestLine.npos || lastSpace == firstSpace) break;
                request.method = requestLine.substr(0, firstSpace);
                request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
                const std::string version(requestLine.substr(lastSpace + 1));
                request.path = request.target.substr(0, request.target.find('?'));
                std::size_t position = lineEnd;
                while (position < head.size()) {
                    position += 2;
                    const auto next = std::min(head.find("\r\n", position), head.size());
                    const std::string_view line = head.substr(position, next - position);
                    const auto colon = line.find(':');
                    if (colon != line.npos) {
                        request.headers.emplace_back(std::string(line.substr(0, colon)),
                                                     std::string(trimmed(line.substr(colon + 1))));
                    }
                    position = next;
                }
                buffer.erase(0, headEnd + 4);
                // The request body, by its length.
                std::uint64_t bodyLength = 0;
                if (const auto length = request.header("Content-Length")) {
                    const auto value = decimal(trimmed(*length));
                    if (!value || *value > kRequestBodyLimit) break;
                    bodyLength = *value;
                }
                if (request.header("Transfer-Encoding")) break;  // not served
                while (buffer.size() < bodyLength) {
                    const std::size_t count = stream.read(chunk, sizeof chunk);
                    if (count == 0) break;
                    buffer.append(chunk, count);
                }
                if (buffer.size() < bodyLength) break;
                request.body = buffer.substr(0, bodyLength);
                buffer.erase(0, bodyLength);

                {
                    std::lock_guard lock(mutex_);
                    ++connections_[index].requests;
                    requests_.push_back(request);
                }
                changed_.notify_all();

                TestHttpAnswer answer = concreteAnswer(answerFor(request), request);
                if (answer.gate) answer.gate->pass([this] { return stopping(); });
                if (stopping()) break;
                if (answer.fault == TestHttpAnswer::Fault::drop) {
                    stream.cut();
                    break;
                }
                if (answer.fault == TestHttpAnswer::Fault::stall) {
                    stall();
                    break;
                }

                std::string response = "HTTP/1.1 " + std::to_string(answer.status) + " " +
                                       reasonPhrase(answer.status) + "\r\n";
                for (const auto& [name, value] : answer.headers) response += name + ": " + value + "\r\n";
                if (!findHeader(answer.headers, "Content-Length")) {
                    response += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
                }
                response += "\r\n";
                const bool headOnly = request.method == "HEAD";
                if (answer.fault == TestHttpAnswer::Fault::cut) {
                    if (!headOnly) response += answer.body.substr(0, answer.cutAfter);
                    stream.write(response);
                    stream.cut();
                    break;
                }
                if (!stream.write(response) || (!headOnly && !stream.write(answer.body))) break;
                const auto closeAsked = [](const std::string* value) {
                    return value != nullptr && ascii::equalIgnoringCase(trimmed(*value), "close");
                };
                const auto requestConnection = request.header("Connection");
                if (version != "HTTP/1.1" || closeAsked(requestConnection ? &*requestConnection : nullptr) ||
                    closeAsked(findHeader(answer.headers, "Connection"))) {
                    open = false;
                }
            }
            stream.close();
        }
    }
    std::lock_guard lock(mutex_);
    openSockets_.erase(std::remove(openSockets_.begin(), openSockets_.end(), socket.get()), openSockets_.end());
    socket.reset();
}

}  // namespace tarnel::testing
