#pragma once

#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/base/unique_fd.hpp"
#include "standins/sing-box/configuration.hpp"

namespace tarnel::standin {

// The traffic of one TUN interface, carried the simplest way there is: every
// IP packet read from the interface goes to the server as one UDP datagram,
// and every datagram from the server is written back into the interface as a
// packet (standins/tunnel-server is the other end).
//
// With auto_route the namespace's IPv4 traffic is routed into the interface
// by two half-default routes ("0.0.0.0/1" and "128.0.0.0/1", more specific
// than any default route), while the route exclusions and the server keep the
// path the server had before. The half-default routes go with the interface;
// the exclusion routes are removed by the destructor. Made only inside a
// network namespace of a test (the caller checks).
class PacketTunnel {
public:
    // Throws SystemError when the socket or a route cannot be made.
    PacketTunnel(const TunInbound& inbound, const std::string& interfaceName, int tunDescriptor,
                 const sockaddr_storage& server);
    ~PacketTunnel();
    PacketTunnel(const PacketTunnel&) = delete;
    PacketTunnel& operator=(const PacketTunnel&) = delete;

private:
    void routeIntoTheInterface(const TunInbound& inbound, const std::string& interfaceName);
    void forward();

    int tun_;
    sockaddr_storage server_;
    UniqueFd socket_;
    UniqueFd stop_;
    std::vector<std::string> exclusionRoutes_;
    std::thread thread_;
};

}  // namespace tarnel::standin
