// tunnel-server: the far end of the stand-in runtime's packet tunnel, run in a
// network namespace of its own ("server"). Every UDP datagram received on
// --listen is an IP packet from the client; it is written into this side's TUN
// interface, from where the kernel forwards it with NAT (masquerade) out of any
// other interface. Packets the kernel routes back into the TUN go to the
// client that sent the last datagram. A DNS responder on the TUN's address,
// port 53 (UDP), answers every A query with --dns-answer.
//
//   tunnel-server --listen ADDRESS:PORT --tun-address 172.19.0.2/30 --dns-answer 198.51.100.9
//
// Runs until SIGTERM or SIGINT. Refuses (exit 2) in the machine's own network
// namespace: it turns on forwarding and adds a NAT table.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/unique_fd.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "platform/network_isolation.hpp"
#include "standins/sing-box/configuration.hpp"
#include "standins/sing-box/socket_address.hpp"
#include "standins/sing-box/tun_device.hpp"

namespace tarnel::standin {
namespace {

constexpr int kUsage = 2;

// One line "tunnel-server: <text>" on the descriptor, in one write.
void say(int descriptor, std::string_view text) {
    const std::string line = "tunnel-server: " + std::string(text) + "\n";
    (void)!::write(descriptor, line.data(), line.size());
}

struct Options {
    sockaddr_storage listen{};
    InterfacePrefix tunAddress;
    in_addr dnsAnswer{};
};

std::optional<Options> parseOptions(const std::vector<std::string>& arguments) {
    std::map<std::string, std::string> values;
    for (std::size_t i = 0; i + 1 < arguments.size(); i += 2) values[arguments[i]] = arguments[i + 1];
    if (arguments.size() != 6 || values.size() != 3 || !values.contains("--listen") ||
        !values.contains("--tun-address") || !values.contains("--dns-answer")) {
        return std::nullopt;
    }
    Options options;
    const std::string& listen = values["--listen"];
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    std::uint16_t port = 0;
    const char* portEnd = listen.data() + listen.size();
    const auto [stop, error] = std::from_chars(listen.data() + colon + 1, portEnd, port);
    if (error != std::errc() || stop != portEnd || port == 0) return std::nullopt;
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const auto address = numericAddress(host, port);
    const auto prefix = InterfacePrefix::parse(values["--tun-address"]);
    if (!address || !prefix || prefix->family != AF_INET ||
        ::inet_pton(AF_INET, values["--dns-answer"].c_str(), &options.dnsAnswer) != 1) {
        return std::nullopt;
    }
    options.listen = *address;
    options.tunAddress = *prefix;
    return options;
}

BoundedCommandResult runTool(const std::filesystem::path& tool, std::vector<std::string> arguments,
                             std::optional<std::string> input) {
    const Clock& clock = SystemClock::shared();
    const double deadline = clock.uptime() + 10.0;
    return BoundedCommandRunner::run({tool, std::move(arguments)},
                                     {.standardInput = std::move(input), .standardErrorToOutput = true}, 1 << 20,
                                     [deadline](double uptime) {
                                         if (uptime >= deadline) throw SystemError("run a tool", ETIMEDOUT);
                                     },
                                     clock);
}

// The network of an IPv4 prefix, "172.19.0.0/30".
std::string networkOf(const InterfacePrefix& prefix) {
    const std::uint32_t mask = prefix.length == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix.length);
    in_addr network{htonl(ntohl(prefix.ipv4.s_addr) & mask)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &network, text, sizeof text);
    return std::string(text) + "/" + std::to_string(prefix.length);
}

// Forwarding on, and the tunnel's addresses masqueraded when they leave by
// another interface.
void enableForwarding(const InterfacePrefix& prefix, const std::string& tunName) {
    // A sysctl file takes one plain write; it cannot be replaced by a rename.
    const UniqueFd forwarding(::open("/proc/sys/net/ipv4/ip_forward", O_WRONLY | O_CLOEXEC));
    if (!forwarding || ::write(forwarding.get(), "1\n", 2) != 2) throw SystemError("turn on IPv4 forwarding", errno);
    const std::string script = "table ip tarnel_tunnel_server\ndelete table ip tarnel_tunnel_server\n"
                               "table ip tarnel_tunnel_server {\n  chain postrouting {\n"
                               "    type nat hook postrouting priority 100; policy accept;\n"
                               "    ip saddr " + networkOf(prefix) + " oifname != \"" + tunName +
                               "\" masquerade\n  }\n}\n";
    const auto result = runTool("/usr/sbin/nft", {"-f", "-"}, script);
    if (result.terminationStatus != 0) throw SystemError("nft: " + result.output, EINVAL);
}

// The answer to one DNS query: every A question gets `answer`, anything else
// an empty answer; nothing for what is not a query.
std::optional<std::string> dnsAnswer(const unsigned char* query, std::size_t size, in_addr answer) {
    if (size < 12 || (query[2] & 0x80) != 0 || query[4] != 0 || query[5] != 1) return std::nullopt;
    std::size_t at = 12;
    while (at < size && query[at] != 0) at += query[at] + 1u;
    if (at + 5 > size) return std::nullopt;
    const std::size_t questionEnd = at + 5;
    const bool typeA = query[at + 1] == 0 && query[at + 2] == 1;
    std::string reply(reinterpret_cast<const char*>(query), questionEnd);
    reply[2] = static_cast<char>(0x80 | (query[2] & 0x01));  // a response, recursion desired as asked
    reply[3] = static_cast<char>(0x80);                      // recursion available, no error
    reply[6] = 0;
    reply[7] = typeA ? 1 : 0;
    reply[8] = reply[9] = reply[10] = reply[11] = 0;
    if (typeA) {
        const unsigned char record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        reply.append(reinterpret_cast<const char*>(record), sizeof record);
        reply.append(reinterpret_cast<const char*>(&answer.s_addr), 4);
    }
    return reply;
}

UniqueFd udpSocket(const sockaddr_storage& address) {
    UniqueFd socket(::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) throw SystemError("open a UDP socket", errno);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), lengthOf(address)) != 0) {
        throw SystemError("bind " + describe(address), errno);
    }
    return socket;
}

int serve(const Options& options) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    const UniqueFd signals(::signalfd(-1, &stop, SFD_CLOEXEC));
    if (!signals) throw SystemError("signalfd", errno);

    TunDevice device = TunDevice::create();
    device.assign(options.tunAddress);
    device.bringUp();
    enableForwarding(options.tunAddress, device.name());
    const UniqueFd tunnel = udpSocket(options.listen);
    sockaddr_storage dnsAddress{};
    auto* dns4 = reinterpret_cast<sockaddr_in*>(&dnsAddress);
    dns4->sin_family = AF_INET;
    dns4->sin_addr = options.tunAddress.ipv4;
    dns4->sin_port = htons(53);
    const UniqueFd dns = udpSocket(dnsAddress);
    say(2, device.name() + " with " + options.tunAddress.text + ", listening on " +
           describe(options.listen));
    say(1, "ready");

    std::optional<sockaddr_storage> client;
    std::array<unsigned char, 65536> packet{};
    std::array<pollfd, 4> watched{pollfd{device.descriptor(), POLLIN, 0}, pollfd{tunnel.get(), POLLIN, 0},
                                  pollfd{dns.get(), POLLIN, 0}, pollfd{signals.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw SystemError("poll", errno);
        }
        if (watched[3].revents != 0) return 0;
        if (watched[0].revents & POLLIN) {
            const ssize_t size = ::read(device.descriptor(), packet.data(), packet.size());
            if (size > 0 && client) {
                (void)::sendto(tunnel.get(), packet.data(), static_cast<std::size_t>(size), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&*client), lengthOf(*client));
            }
        }
        if (watched[1].revents & POLLIN) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t size = ::recvfrom(tunnel.get(), packet.data(), packet.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &length);
            if (size > 0) {
                client = from;
                (void)!::write(device.descriptor(), packet.data(), static_cast<std::size_t>(size));
            }
        }
        if (watched[2].revents & POLLIN) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t size = ::recvfrom(dns.get(), packet.data(), packet.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &length);
            if (size <= 0) continue;
            if (const auto reply = dnsAnswer(packet.data(), static_cast<std::size_t>(size), options.dnsAnswer)) {
                (void)::sendto(dns.get(), reply->data(), reply->size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&from), length);
            }
        }
    }
}

}  // namespace
}  // namespace tarnel::standin

int main(int argc, char** argv) {
    using namespace tarnel::standin;
    const auto options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        say(2, "usage: tunnel-server --listen ADDRESS:PORT --tun-address A.B.C.D/N --dns-answer A.B.C.D");
        return kUsage;
    }
    if (!tarnel::NetworkIsolation::inSeparateNamespace()) {
        say(2, "refusing to run in the machine's own network namespace");
        return kUsage;
    }
    try {
        return serve(*options);
    } catch (const tarnel::Error& error) {
        say(2, error.message());
        return 1;
    }
}
