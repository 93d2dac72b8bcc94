#include "common/base/ip_literal.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

namespace tarnel {

std::optional<IPAddressFamily> ipLiteralFamily(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string terminated(text);
    in_addr v4{};
    if (::inet_pton(AF_INET, terminated.c_str(), &v4) == 1) return IPAddressFamily::ipv4;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, terminated.c_str(), &v6) == 1) return IPAddressFamily::ipv6;
    return std::nullopt;
}

std::optional<IPSocketAddress> ipSocketAddress(std::string_view literal, std::uint16_t port) {
    if (literal.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string terminated(literal);
    IPSocketAddress socket;
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&socket.address);
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&socket.address);
    if (::inet_pton(AF_INET, terminated.c_str(), &ipv4->sin_addr) == 1) {
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(port);
        socket.length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, terminated.c_str(), &ipv6->sin6_addr) == 1) {
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        socket.length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;
    }
    return socket;
}

}  // namespace tarnel
