#pragma once

// A TCP port on 127.0.0.1 that the test holds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "common/base/error.hpp"
#include "common/base/unique_fd.hpp"

namespace tarnel::testing {

// A socket bound to 127.0.0.1 at a port the system chose, not listening:
// while it lives, connections to the port are refused and nothing else can
// take it. `listen()` on `fd()` turns it into a listener.
class BoundLoopbackPort {
public:
    BoundLoopbackPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw SystemError("bind", errno);
        }
        port_ = ntohs(address.sin_port);
    }

    [[nodiscard]] int fd() const noexcept { return socket_.get(); }
    [[nodiscard]] std::uint16_t port() const noexcept { return port_; }

private:
    UniqueFd socket_;
    std::uint16_t port_ = 0;
};

}  // namespace tarnel::testing
