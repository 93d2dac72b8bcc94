#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace tarnel::testing {

// Socket addresses as a resolver answers them.
inline sockaddr_storage ipv4(const char* text) {
    sockaddr_storage storage{};
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    ::inet_pton(AF_INET, text, &address->sin_addr);
    return storage;
}

inline sockaddr_storage ipv6(const char* text, std::uint32_t scope = 0) {
    sockaddr_storage storage{};
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_scope_id = scope;
    ::inet_pton(AF_INET6, text, &address->sin6_addr);
    return storage;
}

}  // namespace tarnel::testing
