#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnel {

enum class IPAddressFamily { ipv4, ipv6 };

// The family of an IP address literal, as the system's address-text parser
// (inet_pton) reads the whole text: first as IPv4, then as IPv6. Nothing for
// anything else: a host name, an empty text, a zone suffix ("fe80::1%en0"),
// brackets, surrounding white space, or a NUL byte (the parser reads a C
// string and would stop there). The text is never normalised: "::1" and
// "0:0:0:0:0:0:0:1" are both literals, and stay two texts.
[[nodiscard]] std::optional<IPAddressFamily> ipLiteralFamily(std::string_view text);

// True when `ipLiteralFamily` names a family.
[[nodiscard]] inline bool isIPLiteral(std::string_view text) { return ipLiteralFamily(text).has_value(); }

// An IPv4 or IPv6 socket address and the length the socket calls take for it.
struct IPSocketAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// The socket address of an IP literal (as `ipLiteralFamily` reads it) with
// the port; nothing for any other text. No name service is asked.
[[nodiscard]] std::optional<IPSocketAddress> ipSocketAddress(std::string_view literal, std::uint16_t port);

}  // namespace tarnel
