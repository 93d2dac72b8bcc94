#pragma once

#include <sys/types.h>

#include <filesystem>

#include "common/base/clock.hpp"
#include "common/base/unique_fd.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/ipc/value.hpp"
#include "platform/ipc/wire.hpp"

namespace tarnel::ipc {

// The caller's end of one connection to a service. Every wait ends at a
// deadline on the clock's uptime; every failure throws IPCError:
//   connectFailed     nothing accepts connections at the path (or the socket cannot be made)
//   untrustedService  the service runs as another user than the expected one
//   refused           the service closed the connection before its hello
//   interrupted       the service closed it after the hello, without the reply
//   timedOut          the deadline passed first
//   invalidRequest    the request cannot be encoded (not UTF-8, over the cap); nothing was sent
//   invalidReply      the service sent something that is not a valid hello or reply
// After any failure but invalidRequest the connection is closed, and later
// calls on it report interrupted.
class ClientConnection {
public:
    // Connects to the socket, checks through SO_PEERCRED that the process
    // listening there runs as `expectedServiceUser` (root in production) and
    // waits for the hello. A full listen backlog is waited out until the
    // deadline.
    [[nodiscard]] static ClientConnection open(const std::filesystem::path& socketPath, double deadlineUptime,
                                               uid_t expectedServiceUser = 0,
                                               const Clock& clock = SystemClock::shared());

    // Sends one request and reads exactly one reply.
    [[nodiscard]] Dictionary call(const Request& request, double deadlineUptime);

    // The service's process identifier, as SO_PEERCRED gave it.
    [[nodiscard]] pid_t serviceProcessIdentifier() const noexcept { return servicePid_; }

private:
    ClientConnection(UniqueFd socket, pid_t servicePid, const Clock& clock)
        : socket_(std::move(socket)), servicePid_(servicePid), clock_(&clock) {}
    [[noreturn]] void fail(IPCError::Case errorCase);

    UniqueFd socket_;
    pid_t servicePid_;
    const Clock* clock_;
};

// One call on a connection of its own: open, send the request, read the
// reply, close. Throws IPCError as ClientConnection does.
[[nodiscard]] Dictionary call(const std::filesystem::path& socketPath, const Request& request, double deadlineUptime,
                              uid_t expectedServiceUser = 0, const Clock& clock = SystemClock::shared());

}  // namespace tarnel::ipc
