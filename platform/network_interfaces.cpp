#include "platform/network_interfaces.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <memory>

namespace tarnel::NetworkInterfaces {

bool InterfaceAddress::isUp() const noexcept { return (flags & IFF_UP) != 0; }

std::optional<std::vector<InterfaceAddress>> addresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    std::vector<InterfaceAddress> result;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress address;
        address.name = entry->ifa_name != nullptr ? entry->ifa_name : "";
        address.flags = entry->ifa_flags;
        address.address = numericHostAddress(entry->ifa_addr);
        result.push_back(std::move(address));
    }
    return result;
}

std::optional<unsigned int> index(const std::string& name) {
    // The system reads the name up to its first NUL byte; a name holding one
    // names no interface, and must not find the one its prefix names.
    if (name.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    const unsigned int value = ::if_nametoindex(name.c_str());
    if (value == 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> numericHostText(const sockaddr* address) {
    if (address == nullptr) {
        return std::nullopt;
    }
    socklen_t length = 0;
    if (address->sa_family == AF_INET) {
        length = sizeof(sockaddr_in);
    } else if (address->sa_family == AF_INET6) {
        length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;
    }
    std::array<char, NI_MAXHOST> host{};
    if (::getnameinfo(address, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST) != 0) {
        return std::nullopt;
    }
    return std::string(host.data());
}

std::optional<std::string> numericHostAddress(const sockaddr* address) {
    const auto printed = numericHostText(address);
    if (!printed) {
        return std::nullopt;
    }
    // Drop a scope suffix: the first non-empty piece between '%' characters.
    const std::string& text = *printed;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find('%', start);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > start) {
            return text.substr(start, stop - start);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace tarnel::NetworkInterfaces

namespace tarnel {

std::optional<std::vector<NetworkInterfaces::InterfaceAddress>> SystemNetworkInterfaceLookup::addresses() const {
    return NetworkInterfaces::addresses();
}

bool SystemNetworkInterfaceLookup::exists(const std::string& name) const {
    return NetworkInterfaces::index(name).has_value();
}

const SystemNetworkInterfaceLookup& SystemNetworkInterfaceLookup::shared() {
    static const SystemNetworkInterfaceLookup lookup;
    return lookup;
}

std::optional<std::vector<NetworkInterfaces::InterfaceAddress>> FakeNetworkInterfaceLookup::addresses() const {
    const std::lock_guard guard(mutex_);
    if (unreadable_) return std::nullopt;
    return list_;
}

bool FakeNetworkInterfaceLookup::exists(const std::string& name) const {
    const std::lock_guard guard(mutex_);
    return std::any_of(list_.begin(), list_.end(), [&](const auto& entry) { return entry.name == name; });
}

void FakeNetworkInterfaceLookup::add(const std::string& name, std::optional<std::string> address) {
    const std::lock_guard guard(mutex_);
    list_.push_back({name, IFF_UP, std::move(address)});
}

void FakeNetworkInterfaceLookup::remove(const std::string& name) {
    const std::lock_guard guard(mutex_);
    std::erase_if(list_, [&](const auto& entry) { return entry.name == name; });
}

void FakeNetworkInterfaceLookup::setUnreadable(bool unreadable) {
    const std::lock_guard guard(mutex_);
    unreadable_ = unreadable;
}

}  // namespace tarnel
