#include "standins/sing-box/packet_tunnel.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "common/base/clock.hpp"
#include "common/base/error.hpp"
#include "common/base/json.hpp"
#include "common/process/bounded_command_runner.hpp"
#include "standins/sing-box/output.hpp"
#include "standins/sing-box/socket_address.hpp"

namespace tarnel::standin {
namespace {

std::filesystem::path ipTool() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    throw SystemError("find the ip tool", ENOENT);
}

// Runs `ip` with the arguments for at most 10 s; its exit status and output.
BoundedCommandResult ip(std::vector<std::string> arguments) {
    const Clock& clock = SystemClock::shared();
    const double deadline = clock.uptime() + 10.0;
    return BoundedCommandRunner::run(
        {ipTool(), std::move(arguments)}, {.standardInput = std::nullopt, .standardErrorToOutput = true}, 1 << 20,
        [deadline](double uptime) {
            if (uptime >= deadline) throw SystemError("run ip", ETIMEDOUT);
        },
        clock);
}

void ipOrThrow(std::vector<std::string> arguments) {
    const auto result = ip(arguments);
    if (result.terminationStatus != 0) {
        std::string command = "ip";
        for (const auto& argument : arguments) command += " " + argument;
        throw SystemError(command + ": " + result.output, EINVAL);
    }
}

}  // namespace

PacketTunnel::PacketTunnel(const TunInbound& inbound, const std::string& interfaceName, int tunDescriptor,
                           const sockaddr_storage& server)
    : tun_(tunDescriptor), server_(server) {
    socket_ = UniqueFd(::socket(server.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket_) throw SystemError("open the tunnel's UDP socket", errno);
    stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (!stop_) throw SystemError("open an eventfd", errno);
    if (inbound.autoRoute) routeIntoTheInterface(inbound, interfaceName);
    thread_ = std::thread([this] { forward(); });
    report("tunnel: " + interfaceName + " carried to " + describe(server_));
}

PacketTunnel::~PacketTunnel() {
    const std::uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    for (const auto& destination : exclusionRoutes_) (void)ip({"route", "del", destination});
}

void PacketTunnel::routeIntoTheInterface(const TunInbound& inbound, const std::string& interfaceName) {
    // The server's path before the tunnel: where the exclusions go too.
    std::string server = describe(server_);
    server = server.substr(0, server.rfind(':'));
    if (!server.empty() && server.front() == '[') server = server.substr(1, server.size() - 2);
    const auto found = ip({"-j", "route", "get", server});
    std::vector<std::string> path;
    if (found.terminationStatus == 0) {
        const json::Value routes = json::parse(found.output, json::TopLevel::array);
        if (!routes.empty()) {
            const json::ObjectReader route(routes[0], "route");
            if (const auto gateway = route.optionalString("gateway")) path = {"via", *gateway};
            if (const auto device = route.optionalString("dev")) path.insert(path.end(), {"dev", *device});
        }
    }
    if (path.empty()) {
        // Routed into the interface, the server's own datagrams would go round in a loop.
        report("tunnel: no route to the server " + server + "; the traffic is not routed into " + interfaceName);
        return;
    }
    {
        std::vector<std::string> destinations{server_.ss_family == AF_INET ? server + "/32" : server + "/128"};
        for (const auto& prefix : inbound.routeExclusions) destinations.push_back(prefix.text);
        for (const auto& destination : destinations) {
            if (destination.find(':') != std::string::npos) continue;  // IPv4 only
            std::vector<std::string> arguments{"route", "add", destination};
            arguments.insert(arguments.end(), path.begin(), path.end());
            // A route that exists already (a connected network) keeps its own path.
            if (ip(arguments).terminationStatus == 0) exclusionRoutes_.push_back(destination);
        }
    }
    for (const char* half : {"0.0.0.0/1", "128.0.0.0/1"}) ipOrThrow({"route", "add", half, "dev", interfaceName});
}

void PacketTunnel::forward() {
    std::array<unsigned char, 65536> packet{};
    std::array<pollfd, 3> watched{pollfd{tun_, POLLIN, 0}, pollfd{socket_.get(), POLLIN, 0},
                                  pollfd{stop_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            report("tunnel: poll failed: " + SystemError("poll", errno).message());
            return;
        }
        if (watched[2].revents != 0) return;
        if (watched[0].revents & POLLIN) {
            const ssize_t size = ::read(tun_, packet.data(), packet.size());
            // A datagram that cannot be sent is a lost packet, as on any path.
            if (size > 0) {
                (void)::sendto(socket_.get(), packet.data(), static_cast<std::size_t>(size), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&server_), lengthOf(server_));
            }
        }
        if (watched[1].revents & POLLIN) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            const ssize_t size = ::recvfrom(socket_.get(), packet.data(), packet.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
            // Only the server's datagrams enter the interface.
            if (size > 0 && describe(from) == describe(server_)) {
                (void)!::write(tun_, packet.data(), static_cast<std::size_t>(size));
            }
        }
    }
}

}  // namespace tarnel::standin
