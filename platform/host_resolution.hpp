#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

namespace tarnel {

// Resolves a host name with the system's resolver (getaddrinfo with
// AI_ADDRCONFIG, any family, no service) to the socket addresses of every
// family it has, in the resolver's order; nothing when it cannot be resolved
// (a name holding a NUL byte included). Blocks for as long as the resolver
// takes: callers that need a bound run it on a worker of their own.
[[nodiscard]] std::optional<std::vector<sockaddr_storage>> resolveWithSystem(const std::string& host);

}  // namespace tarnel
