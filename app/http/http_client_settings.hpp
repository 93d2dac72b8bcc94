#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

// Requests to `host`:`port` use `address` without looking the name up; TLS
// still checks the certificate against `host`.
struct HttpAddressPin {
    std::string host;
    std::uint16_t port = 443;
    std::string address;  // an IP literal
};

// Requests to `host`:`port` connect to `toHost`:`toPort` instead; TLS still
// checks the certificate against `host`. The first pin that names a request's
// host and port applies.
struct HttpConnectPin {
    std::string host;
    std::uint16_t port = 443;
    std::string toHost;  // an IP literal, or a name that an address pin names
    std::uint16_t toPort = 443;
};

// How a client reaches servers. Production leaves everything empty: the
// system's trusted certificates and resolver. Tests trust their own CA and
// pin their names to the servers they run.
struct HttpClientSettings {
    // The only certificates trusted, in PEM; nothing: the system's.
    std::optional<std::filesystem::path> caFile;
    std::vector<HttpAddressPin> addressPins;
    std::vector<HttpConnectPin> connectPins;
    // Test builds: addresses (IP literals) that requests may reach besides
    // loopback, for servers in namespaces the test made.
    std::vector<std::string> allowedAddresses;
};

// The rule of test builds: a request reaches only loopback (127.0.0.0/8,
// ::1) and the allowed addresses, and a name is never looked up unless it is
// an IP literal or pinned, so a test cannot reach the network or the
// machine's resolver. Pure; the client applies it in builds made with
// TARNEL_HTTP_ADDRESS_GUARD.
class HttpAddressGuard {
public:
    // Throws std::invalid_argument for an allowed address or pin address that
    // is not an IP literal.
    explicit HttpAddressGuard(const HttpClientSettings& settings);

    // Where a request to `host`:`port` connects: the first connect pin's
    // target, else the host and port themselves. `host` without brackets.
    struct Target {
        std::string host;
        std::uint16_t port = 0;
    };
    [[nodiscard]] Target target(std::string_view host, std::uint16_t port) const;

    // True when the connection to `host`:`port` needs no lookup of a name the
    // guard has not pinned: its target is an IP literal or address-pinned.
    [[nodiscard]] bool mayLookUp(std::string_view host, std::uint16_t port) const;

    // True for an IPv4 or IPv6 socket address on loopback or allowed.
    [[nodiscard]] bool mayConnect(const sockaddr* address, socklen_t length) const;

private:
    std::vector<HttpAddressPin> addressPins_;
    std::vector<HttpConnectPin> connectPins_;
    std::vector<std::string> allowedBytes_;  // allowed addresses in network byte order
};

}  // namespace tarnel
