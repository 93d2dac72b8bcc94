#include "platform/ipc/ipc_error.hpp"

#include <cstring>

namespace tarnel::ipc {

std::string IPCError::message() const {
    switch (case_) {
    case Case::connectFailed: {
        char buffer[256];
        const char* text = strerror_r(errno_, buffer, sizeof buffer);  // GNU variant
        return std::string("The IPC service could not be reached: ") + text + ".";
    }
    case Case::refused:
        return "The IPC service refused the connection.";
    case Case::interrupted:
        return "The IPC connection was interrupted before the reply.";
    case Case::timedOut:
        return "The IPC service did not respond in time.";
    case Case::untrustedService:
        return "The IPC service runs as user " + std::to_string(userIdentifier_) + ", not as the expected user.";
    case Case::invalidRequest:
        return "The IPC request cannot be sent.";
    case Case::invalidReply:
        return "The IPC service sent an invalid message.";
    case Case::unsafeSocketDirectory:
        return "The IPC socket directory is not owned by the service's user or is writable by others.";
    }
    return {};
}

}  // namespace tarnel::ipc
