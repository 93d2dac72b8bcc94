#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Numeric IPv4 and IPv6 socket addresses, read and written without any name
// service.
namespace tarnel::standin {

// The address of an IPv4 or IPv6 literal with the port; nothing for any other
// text (a name, a zone suffix, an embedded NUL byte).
[[nodiscard]] std::optional<sockaddr_storage> numericAddress(std::string_view text, std::uint16_t port = 0);

[[nodiscard]] std::uint16_t portOf(const sockaddr_storage& address);
void setPort(sockaddr_storage& address, std::uint16_t port);
// The length that the socket calls take for the address's family.
[[nodiscard]] socklen_t lengthOf(const sockaddr_storage& address);

// True for 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8.
[[nodiscard]] bool isLoopback(const sockaddr_storage& address);

// "address:port" or "[address]:port".
[[nodiscard]] std::string describe(const sockaddr_storage& address);

}  // namespace tarnel::standin
