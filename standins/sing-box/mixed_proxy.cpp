#include "standins/sing-box/mixed_proxy.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "standins/sing-box/output.hpp"

namespace tarnel::standin {

namespace {

constexpr std::size_t kMaximumConnections = 256;
constexpr std::size_t kMaximumHead = 64 * 1024;
constexpr std::size_t kRelayBuffer = 64 * 1024;
// A client has this long to send its request, and a target to accept.
constexpr double kHandshakeSeconds = 10.0;
constexpr double kForever = std::numeric_limits<double>::infinity();

double uptime() { return SystemClock::shared().uptime(); }

std::string httpStatus(std::string_view status) {
    return "HTTP/1.1 " + std::string(status) + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
}

std::string_view httpStatusFor(SocksReply refusal) {
    return refusal == SocksReply::notAllowed ? "403 Forbidden" : "502 Bad Gateway";
}

}  // namespace

MixedProxy::MixedProxy(const MixedInbound& inbound, TargetPolicy policy, std::vector<ConnectMapping> mappings)
    : policy_(policy), mappings_(std::move(mappings)), tag_(inbound.tag) {
    const std::string what = "listen on " + inbound.listenText + ":" + std::to_string(inbound.port);
    stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_) throw SystemError("eventfd", errno);
    sockaddr_storage address = inbound.listen;
    setPort(address, inbound.port);
    listener_ = UniqueFd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener_) throw SystemError(what, errno);
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), lengthOf(address)) != 0 ||
        ::listen(listener_.get(), 128) != 0) {
        throw SystemError(what, errno);
    }
    socklen_t length = sizeof bound_;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound_), &length) != 0) {
        throw SystemError(what, errno);
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

MixedProxy::~MixedProxy() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(stop_.get(), &one, sizeof one);
    acceptor_.join();
    for (auto& connection : connections_) connection->thread.join();
}

void MixedProxy::acceptLoop() {
    while (waitFor(listener_.get(), POLLIN, kForever)) {
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!client) {
            // Out of descriptors: give the connections a moment to end
            // instead of polling a listener that stays readable.
            if (errno == EMFILE || errno == ENFILE) {
                pollfd stop{stop_.get(), POLLIN, 0};
                ::poll(&stop, 1, 50);
            }
            continue;
        }
        const std::lock_guard lock(mutex_);
        connections_.remove_if([](const std::unique_ptr<Connection>& connection) {
            if (!connection->finished) return false;
            connection->thread.join();
            return true;
        });
        if (connections_.size() >= kMaximumConnections) continue;
        auto& connection = *connections_.emplace_back(std::make_unique<Connection>());
        connection.thread = std::thread([this, &connection, fd = std::move(client)]() mutable {
            serve(std::move(fd));
            connection.finished = true;
        });
    }
}

bool MixedProxy::waitFor(int fd, short events, double deadline) const {
    for (;;) {
        int timeout = -1;
        if (!std::isinf(deadline)) {
            const double left = deadline - uptime();
            if (left <= 0) return false;
            timeout = static_cast<int>(std::ceil(left * 1000.0));
        }
        std::array<pollfd, 2> fds{{{fd, events, 0}, {stop_.get(), POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents != 0) return false;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool MixedProxy::readMore(int fd, std::string& buffer, double deadline) const {
    std::array<char, 4096> chunk{};
    for (;;) {
        if (!waitFor(fd, POLLIN, deadline)) return false;
        const ssize_t count = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (count > 0) {
            buffer.append(chunk.data(), static_cast<std::size_t>(count));
            return true;
        }
        if (count == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    }
}

bool MixedProxy::sendAll(int fd, std::string_view bytes, double deadline) const {
    while (!bytes.empty()) {
        if (!waitFor(fd, POLLOUT, deadline)) return false;
        const ssize_t count = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(count));
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
    }
    return true;
}

void MixedProxy::serve(UniqueFd client) const {
    std::string buffer;
    if (!readMore(client.get(), buffer, uptime() + kHandshakeSeconds)) return;
    if (buffer.front() == '\x05') {
        serveSocks(client.get(), std::move(buffer));
    } else {
        serveHttp(client.get(), std::move(buffer));
    }
}

UniqueFd MixedProxy::open(const ProxyTarget& target, SocksReply& refusal) const {
    const std::string named = target.host + ":" + std::to_string(target.port);
    const auto address = resolveTarget(target, mappings_);
    if (!address) {
        report("mixed[" + tag_ + "]: " + named + " is not an IP address (the stand-in resolves no names)");
        refusal = SocksReply::hostUnreachable;
        return {};
    }
    if (!policy_.permits(*address)) {
        report("mixed[" + tag_ + "]: refused " + describe(*address) + " outside loopback");
        refusal = SocksReply::notAllowed;
        return {};
    }
    UniqueFd upstream(::socket(address->ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    refusal = SocksReply::generalFailure;
    if (!upstream) return {};
    if (::connect(upstream.get(), reinterpret_cast<const sockaddr*>(&*address), lengthOf(*address)) != 0 &&
        errno != EINPROGRESS) {
        refusal = errno == ECONNREFUSED ? SocksReply::connectionRefused : SocksReply::hostUnreachable;
        return {};
    }
    // False on failure too (POLLERR); the socket's pending error tells which.
    const bool connected = waitFor(upstream.get(), POLLOUT, uptime() + kHandshakeSeconds);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(upstream.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0 && !connected) error = ETIMEDOUT;
    if (error != 0) {
        refusal = error == ECONNREFUSED ? SocksReply::connectionRefused : SocksReply::hostUnreachable;
        return {};
    }
    return upstream;
}

void MixedProxy::serveHttp(int client, std::string buffer) const {
    const double deadline = uptime() + kHandshakeSeconds;
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaximumHead) {
            static_cast<void>(sendAll(client, httpStatus("431 Request Header Fields Too Large"), deadline));
            return;
        }
        if (!readMore(client, buffer, deadline)) return;
    }
    const auto request = parseHttpProxyRequest(std::string_view(buffer).substr(0, end + 4));
    if (!request) {
        static_cast<void>(sendAll(client, httpStatus("400 Bad Request"), deadline));
        return;
    }
    std::string rest = buffer.substr(end + 4);
    SocksReply refusal = SocksReply::generalFailure;
    const UniqueFd upstream = open(request->target, refusal);
    if (!upstream) {
        static_cast<void>(sendAll(client, httpStatus(httpStatusFor(refusal)), deadline));
        return;
    }
    report("mixed[" + tag_ + "]: " + (request->tunnel ? "http connect to " : "http forward to ") +
           request->target.host + ":" + std::to_string(request->target.port));
    if (request->tunnel) {
        if (!sendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n", deadline)) return;
        relay(client, upstream.get(), std::move(rest));
    } else {
        relay(client, upstream.get(), request->upstreamHead + rest);
    }
}

void MixedProxy::serveSocks(int client, std::string buffer) const {
    const double deadline = uptime() + kHandshakeSeconds;
    try {
        std::optional<SocksGreeting> greeting;
        while (!(greeting = parseSocksGreeting(buffer))) {
            if (!readMore(client, buffer, deadline)) return;
        }
        if (!greeting->offersNoAuthentication) {
            static_cast<void>(sendAll(client, std::string{'\x05', '\xff'}, deadline));
            return;
        }
        if (!sendAll(client, std::string{'\x05', '\x00'}, deadline)) return;
        buffer.erase(0, greeting->length);

        std::optional<SocksRequest> request;
        while (!(request = parseSocksRequest(buffer))) {
            if (!readMore(client, buffer, deadline)) return;
        }
        if (request->command != socksConnect) {
            static_cast<void>(sendAll(client, socksReply(SocksReply::commandNotSupported), deadline));
            return;
        }
        if (!request->target) {
            static_cast<void>(sendAll(client, socksReply(SocksReply::addressTypeNotSupported), deadline));
            return;
        }
        SocksReply refusal = SocksReply::generalFailure;
        const UniqueFd upstream = open(*request->target, refusal);
        if (!upstream) {
            static_cast<void>(sendAll(client, socksReply(refusal), deadline));
            return;
        }
        report("mixed[" + tag_ + "]: socks5 to " + request->target->host + ":" + std::to_string(request->target->port));
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        ::getsockname(upstream.get(), reinterpret_cast<sockaddr*>(&local), &length);
        if (!sendAll(client, socksReply(SocksReply::succeeded, &local), deadline)) return;
        relay(client, upstream.get(), buffer.substr(request->length));
    } catch (const std::invalid_argument&) {
        // Not SOCKS5: the connection is closed without an answer.
    }
}

// Copies bytes both ways until both sides have ended, either side fails or
// the proxy stops. An end of input on one side is passed on as a half close
// of the other.
void MixedProxy::relay(int client, int upstream, std::string toUpstream) const {
    struct Flow {
        int from;
        int to;
        std::string buffer;
        bool ended = false;
        bool passedOn = false;  // the end was passed on as a half close
    };
    std::array<Flow, 2> flows{{{client, upstream, std::move(toUpstream)}, {upstream, client, {}}}};
    std::array<char, kRelayBuffer> chunk{};
    for (;;) {
        if (flows[0].ended && flows[1].ended && flows[0].buffer.empty() && flows[1].buffer.empty()) return;
        std::array<pollfd, 3> fds{{{client, 0, 0}, {upstream, 0, 0}, {stop_.get(), POLLIN, 0}}};
        const auto slot = [&](int fd) -> pollfd& { return fd == client ? fds[0] : fds[1]; };
        for (const Flow& flow : flows) {
            if (!flow.ended && flow.buffer.size() < kRelayBuffer) slot(flow.from).events |= POLLIN;
            if (!flow.buffer.empty()) slot(flow.to).events |= POLLOUT;
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[2].revents != 0) return;
        for (Flow& flow : flows) {
            const short in = slot(flow.from).revents;
            if (in & (POLLERR | POLLNVAL)) return;
            // A hang-up after this side's input ended: nothing can reach it any more.
            if ((in & POLLHUP) && flow.ended) return;
            if (!flow.ended && (in & (POLLIN | POLLHUP))) {
                const ssize_t count = ::recv(flow.from, chunk.data(), kRelayBuffer - flow.buffer.size(), 0);
                if (count > 0) {
                    flow.buffer.append(chunk.data(), static_cast<std::size_t>(count));
                } else if (count == 0) {
                    flow.ended = true;
                } else if (errno != EAGAIN && errno != EINTR) {
                    return;
                }
            }
            if (!flow.buffer.empty() && (slot(flow.to).revents & POLLOUT)) {
                const ssize_t count = ::send(flow.to, flow.buffer.data(), flow.buffer.size(), MSG_NOSIGNAL);
                if (count > 0) {
                    flow.buffer.erase(0, static_cast<std::size_t>(count));
                } else if (errno != EAGAIN && errno != EINTR) {
                    return;
                }
            }
            if (flow.ended && flow.buffer.empty() && !flow.passedOn) {
                ::shutdown(flow.to, SHUT_WR);
                flow.passedOn = true;
            }
        }
    }
}

}  // namespace tarnel::standin
