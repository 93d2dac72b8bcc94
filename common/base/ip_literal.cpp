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

}  // namespace tarnel
