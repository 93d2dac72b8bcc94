#include "platform/host_resolution.hpp"

#include <netdb.h>

#include <cstring>
#include <memory>

namespace tarnel {

std::optional<std::vector<sockaddr_storage>> resolveWithSystem(const std::string& host) {
    if (host.find('\0') != std::string::npos) return std::nullopt;
    addrinfo hints{};
    hints.ai_flags = AI_ADDRCONFIG;
    hints.ai_family = AF_UNSPEC;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    std::vector<sockaddr_storage> addresses;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr || entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        sockaddr_storage address{};
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        addresses.push_back(address);
    }
    return addresses;
}

}  // namespace tarnel
