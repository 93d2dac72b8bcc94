#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/tunnel/tunnel_health_probe.hpp"

namespace tarnel {

// Asks one DNS server for the A records of a name over UDP: one query, an
// answer within 2 s or none. The driver's resolver for the traffic checks'
// names, so that they are asked of a server in the test's namespace and
// never of the machine's.
class UdpHostResolver final : public HostResolver {
public:
    // `server`: an IPv4 literal, asked on port 53.
    explicit UdpHostResolver(std::string server) : server_(std::move(server)) {}

    [[nodiscard]] std::vector<std::string> resolve(const std::string& host) const override;

private:
    std::string server_;
};

}  // namespace tarnel
