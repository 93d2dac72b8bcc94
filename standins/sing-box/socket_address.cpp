#include "standins/sing-box/socket_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>

#include "common/base/ip_literal.hpp"

namespace tarnel::standin {

namespace {

const sockaddr_in& v4(const sockaddr_storage& address) { return *reinterpret_cast<const sockaddr_in*>(&address); }
const sockaddr_in6& v6(const sockaddr_storage& address) { return *reinterpret_cast<const sockaddr_in6*>(&address); }

}  // namespace

std::optional<sockaddr_storage> numericAddress(std::string_view text, std::uint16_t port) {
    const auto socket = ipSocketAddress(text, port);
    if (!socket) return std::nullopt;
    return socket->address;
}

std::uint16_t portOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6 ? v6(address).sin6_port : v4(address).sin_port);
}

void setPort(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
    }
}

socklen_t lengthOf(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool isLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return (ntohl(v4(address).sin_addr.s_addr) >> 24) == 127;
    if (address.ss_family != AF_INET6) return false;
    const in6_addr& ipv6 = v6(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&ipv6) || (IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127);
}

std::string describe(const sockaddr_storage& address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (address.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &v6(address).sin6_addr, text.data(), text.size());
        return "[" + std::string(text.data()) + "]:" + std::to_string(portOf(address));
    }
    ::inet_ntop(AF_INET, &v4(address).sin_addr, text.data(), text.size());
    return std::string(text.data()) + ":" + std::to_string(portOf(address));
}

}  // namespace tarnel::standin
