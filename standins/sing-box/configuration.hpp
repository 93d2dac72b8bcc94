#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.hpp"

namespace tarnel::standin {

// A configuration the stand-in cannot run (a JSON error is reported as the
// parser's own JsonError instead).
class ConfigurationError final : public Error {
public:
    explicit ConfigurationError(std::string text) : text_(std::move(text)) {}
    [[nodiscard]] std::string message() const override { return text_; }
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "ConfigurationError"; }

private:
    std::string text_;
};

// An interface address with its prefix length, such as "172.19.0.1/30".
struct InterfacePrefix {
    int family = AF_INET;  // AF_INET or AF_INET6
    in_addr ipv4{};
    in6_addr ipv6{};
    int length = 0;
    std::string text;  // as written

    // Nothing unless the text is an IPv4 or IPv6 address, "/" and a prefix
    // length (0-32 or 0-128, no leading zero).
    [[nodiscard]] static std::optional<InterfacePrefix> parse(std::string_view text);
};

// A "tun" inbound: one TUN interface with these addresses. With auto_route
// the namespace's IPv4 traffic is routed into it, except the route
// exclusions, which keep their path.
struct TunInbound {
    std::string tag;
    std::vector<InterfacePrefix> addresses;
    std::optional<int> mtu;
    bool autoRoute = false;
    std::vector<InterfacePrefix> routeExclusions;
};

// A "mixed" inbound: an HTTP and SOCKS5 proxy on a numeric listen address.
struct MixedInbound {
    std::string tag;
    sockaddr_storage listen{};
    std::string listenText;  // the "listen" value as written
    std::uint16_t port = 0;  // 0: any free port
};

// What the stand-in runs: the inbounds, and where a TUN inbound's packets go:
// the numeric server and port of the route's final outbound (else of the first
// outbound that names one). The other sections (log, dns, route rules) are
// accepted as they are.
struct Configuration {
    std::vector<TunInbound> tunInbounds;
    std::vector<MixedInbound> mixedInbounds;
    std::optional<sockaddr_storage> server;
};

// Reads the configuration text with the strict JSON reader. Throws
// json::JsonError for text that is not valid JSON or a value of the wrong type,
// and ConfigurationError for an inbound the stand-in does not run.
[[nodiscard]] Configuration parseConfiguration(std::string_view text);

}  // namespace tarnel::standin
