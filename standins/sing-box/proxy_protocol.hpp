#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standins/sing-box/socket_address.hpp"

// The wire formats of the mixed inbound, kept apart from the sockets so that
// they can be tested on their own: HTTP proxy requests (CONNECT and
// absolute-form requests) and SOCKS5 without authentication.
namespace tarnel::standin {

// A destination as the client named it: an IP literal or a host name.
struct ProxyTarget {
    std::string host;
    std::uint16_t port = 0;

    friend bool operator==(const ProxyTarget&, const ProxyTarget&) = default;
};

// Where the mixed inbounds send connections to a named host, chosen through
// the environment variable TARNEL_STANDIN_CONNECT_TO, as curl's --connect-to
// does: entries "HOST:PORT:ADDRESS:PORT" separated by ",", each sending
// connections to HOST:PORT (HOST in any letter case) to ADDRESS:PORT. HOST is
// a name or an IP literal (IPv6 in brackets), ADDRESS an IP literal (IPv6 in
// brackets), PORT 1 to 65535 in decimal digits; nothing may be left out. An
// empty or absent variable maps nothing. The first entry that names a target
// applies.
//
// Example: "trace.tarnel.test:443:127.0.0.1:8443".
inline constexpr std::string_view connectToVariable = "TARNEL_STANDIN_CONNECT_TO";

struct ConnectMapping {
    std::string host;
    std::uint16_t port = 0;
    sockaddr_storage address{};  // with its port
};

// Parses the variable's text; throws std::invalid_argument naming the entry
// that is wrong.
[[nodiscard]] std::vector<ConnectMapping> parseConnectTo(std::string_view text);

// The address of a target, found without any name service (the stand-in never
// asks the machine's resolver): the first mapping's address for a mapped host
// and port, else an IPv4 or IPv6 literal, or "localhost" (any letter case) as
// 127.0.0.1. Nothing for every other name.
[[nodiscard]] std::optional<sockaddr_storage> resolveTarget(const ProxyTarget& target,
                                                            const std::vector<ConnectMapping>& mappings = {});

// Where the proxy may connect: loopback always; any other address only when
// the process runs in a network namespace of a test's own, where every
// address it can reach is one the test made.
struct TargetPolicy {
    bool insideTestNamespace = false;

    [[nodiscard]] bool permits(const sockaddr_storage& address) const {
        return insideTestNamespace || isLoopback(address);
    }
};

// One HTTP proxy request. CONNECT opens a tunnel to the target; any other
// method forwards the request (absolute-form "http://" URL) to the target,
// rewritten into origin form with "Connection: close", so that one client
// connection carries one request.
struct HttpProxyRequest {
    bool tunnel = false;
    ProxyTarget target;
    std::string upstreamHead;  // forwarding only: the head to send to the target

    friend bool operator==(const HttpProxyRequest&, const HttpProxyRequest&) = default;
};

// Reads a request head that ends with its blank line ("\r\n\r\n"). Nothing
// for a request that the proxy cannot serve (the client gets 400): a
// malformed request line or header, a version other than HTTP/1.0 and
// HTTP/1.1, a target that is not "host:port" for CONNECT or not an "http://"
// URL otherwise.
[[nodiscard]] std::optional<HttpProxyRequest> parseHttpProxyRequest(std::string_view head);

// SOCKS5 (RFC 1928) reply codes the proxy sends.
enum class SocksReply : std::uint8_t {
    succeeded = 0,
    generalFailure = 1,
    notAllowed = 2,
    hostUnreachable = 4,
    connectionRefused = 5,
    commandNotSupported = 7,
    addressTypeNotSupported = 8,
};

// The greeting: version 5, the number of methods, the methods.
struct SocksGreeting {
    std::size_t length = 0;         // bytes it took
    bool offersNoAuthentication = false;
};
// Nothing while more bytes are needed; throws std::invalid_argument when the
// bytes are not a SOCKS5 greeting.
[[nodiscard]] std::optional<SocksGreeting> parseSocksGreeting(std::string_view bytes);

// The request: version 5, command, reserved 0, address type, address, port.
struct SocksRequest {
    std::size_t length = 0;  // bytes it took
    std::uint8_t command = 0;
    std::optional<ProxyTarget> target;  // nothing for an unknown address type
};
// Nothing while more bytes are needed; throws std::invalid_argument when the
// bytes are not a SOCKS5 request.
[[nodiscard]] std::optional<SocksRequest> parseSocksRequest(std::string_view bytes);

inline constexpr std::uint8_t socksConnect = 1;

// The reply to a request, with the proxy's own address for the connection
// (or 0.0.0.0:0 when there is none).
[[nodiscard]] std::string socksReply(SocksReply reply, const sockaddr_storage* bound = nullptr);

}  // namespace tarnel::standin
