#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/base/unique_fd.hpp"
#include "standins/sing-box/configuration.hpp"
#include "standins/sing-box/proxy_protocol.hpp"

namespace tarnel::standin {

// The "mixed" inbound: one listening socket that serves HTTP proxy requests
// (CONNECT and plain forwarding) and SOCKS5 CONNECT, told apart by the first
// byte, and connects directly to the target the client names (or to where a
// connect mapping sends it) when the policy permits it. One thread per client
// connection, at most 256 at once.
class MixedProxy {
public:
    // Binds and listens (SO_REUSEADDR); throws SystemError. Serving starts
    // at once.
    MixedProxy(const MixedInbound& inbound, TargetPolicy policy, std::vector<ConnectMapping> mappings = {});
    // Stops: closes the listener and every connection, joins every thread.
    ~MixedProxy();
    MixedProxy(const MixedProxy&) = delete;
    MixedProxy& operator=(const MixedProxy&) = delete;

    // The bound address, with the port the system chose for port 0.
    [[nodiscard]] const sockaddr_storage& address() const noexcept { return bound_; }

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> finished = false;
    };

    void acceptLoop();
    void serve(UniqueFd client) const;
    void serveHttp(int client, std::string buffer) const;
    void serveSocks(int client, std::string buffer) const;
    // Connects to the target, or gives the reason it cannot.
    UniqueFd open(const ProxyTarget& target, SocksReply& refusal) const;
    void relay(int client, int upstream, std::string toUpstream) const;
    // Waits until `fd` is ready for `events`; false when the proxy stops, the
    // deadline (system uptime) passes or the socket fails.
    bool waitFor(int fd, short events, double deadline) const;
    bool readMore(int fd, std::string& buffer, double deadline) const;
    bool sendAll(int fd, std::string_view bytes, double deadline) const;

    TargetPolicy policy_;
    std::vector<ConnectMapping> mappings_;
    std::string tag_;
    sockaddr_storage bound_{};
    UniqueFd listener_;
    UniqueFd stop_;  // an eventfd that turns readable when the proxy stops
    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::thread acceptor_;
};

}  // namespace tarnel::standin
