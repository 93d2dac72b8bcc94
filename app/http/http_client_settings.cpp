#include "app/http/http_client_settings.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/base/ascii.hpp"
#include "common/base/ip_literal.hpp"

namespace tarnel {

namespace {

// The address's bytes in network order (4 or 16), or nothing.
std::optional<std::string> addressBytes(std::string_view literal) {
    const auto family = ipLiteralFamily(literal);
    if (!family) return std::nullopt;
    const std::string text(literal);
    if (*family == IPAddressFamily::ipv4) {
        in_addr value{};
        if (::inet_pton(AF_INET, text.c_str(), &value) != 1) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(&value), sizeof value);
    }
    in6_addr value{};
    if (::inet_pton(AF_INET6, text.c_str(), &value) != 1) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

HttpAddressGuard::HttpAddressGuard(const HttpClientSettings& settings)
    : addressPins_(settings.addressPins), connectPins_(settings.connectPins) {
    for (const auto& address : settings.allowedAddresses) {
        auto bytes = addressBytes(address);
        if (!bytes) throw std::invalid_argument("allowed address is not an IP literal: " + address);
        allowedBytes_.push_back(std::move(*bytes));
    }
    for (const auto& pin : settings.addressPins) {
        if (!isIPLiteral(pin.address)) throw std::invalid_argument("pinned address is not an IP literal: " + pin.address);
    }
}

HttpAddressGuard::Target HttpAddressGuard::target(std::string_view host, std::uint16_t port) const {
    for (const auto& pin : connectPins_) {
        if (pin.port == port && ascii::equalIgnoringCase(pin.host, host)) return {pin.toHost, pin.toPort};
    }
    return {std::string(host), port};
}

bool HttpAddressGuard::mayLookUp(std::string_view host, std::uint16_t port) const {
    const Target where = target(host, port);
    if (isIPLiteral(where.host)) return true;
    return std::any_of(addressPins_.begin(), addressPins_.end(), [&](const HttpAddressPin& pin) {
        return pin.port == where.port && ascii::equalIgnoringCase(pin.host, where.host);
    });
}

bool HttpAddressGuard::mayConnect(const sockaddr* address, socklen_t length) const {
    std::string bytes;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in value{};
        std::memcpy(&value, address, sizeof value);
        // 127.0.0.0/8
        if (reinterpret_cast<const unsigned char*>(&value.sin_addr)[0] == 127) return true;
        bytes.assign(reinterpret_cast<const char*>(&value.sin_addr), sizeof value.sin_addr);
    } else if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 value{};
        std::memcpy(&value, address, sizeof value);
        if (IN6_IS_ADDR_LOOPBACK(&value.sin6_addr)) return true;
        bytes.assign(reinterpret_cast<const char*>(&value.sin6_addr), sizeof value.sin6_addr);
    } else {
        return false;
    }
    return std::find(allowedBytes_.begin(), allowedBytes_.end(), bytes) != allowedBytes_.end();
}

}  // namespace tarnel
