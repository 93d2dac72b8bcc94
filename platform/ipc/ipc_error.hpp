#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/base/error.hpp"

namespace tarnel::ipc {

// How a call over the IPC channel failed, as its caller must tell the
// failures apart: a service that is not there, one that turned the caller
// away, one that went away in the middle of a call, one that took too long,
// and one that is not the service it must be.
class IPCError final : public Error {
public:
    enum class Case {
        // The socket could not be opened or connected (no service listens
        // there, the path is too long, ...); carries the system's errno.
        connectFailed,
        // The service closed the connection before its hello: it did not
        // admit this caller.
        refused,
        // The service closed an admitted connection without the reply.
        interrupted,
        // The deadline passed before the hello or the reply arrived.
        timedOut,
        // The process at the other end runs as another user than the one the
        // caller trusts (root in production); carries that user id.
        untrustedService,
        // The request cannot be sent: a text that is not UTF-8, or a frame
        // larger than the cap.
        invalidRequest,
        // The service sent a frame that is not a valid hello or reply.
        invalidReply,
        // The socket directory is not owned by the service's user, or others
        // may write to it, so another user could replace the socket.
        unsafeSocketDirectory,
    };

    explicit IPCError(Case errorCase) : case_(errorCase) {}
    static IPCError connectFailed(int errnoValue) {
        IPCError error(Case::connectFailed);
        error.errno_ = errnoValue;
        return error;
    }
    static IPCError untrustedService(uid_t userIdentifier) {
        IPCError error(Case::untrustedService);
        error.userIdentifier_ = userIdentifier;
        return error;
    }

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    // The errno of connectFailed; 0 for the other cases.
    [[nodiscard]] int errnoValue() const noexcept { return errno_; }
    // The service's user id for untrustedService; 0 for the other cases.
    [[nodiscard]] uid_t userIdentifier() const noexcept { return userIdentifier_; }

    [[nodiscard]] std::string message() const override;
    [[nodiscard]] std::string_view typeBaseName() const noexcept override { return "IPCError"; }

private:
    Case case_;
    int errno_ = 0;
    uid_t userIdentifier_ = 0;
};

}  // namespace tarnel::ipc
